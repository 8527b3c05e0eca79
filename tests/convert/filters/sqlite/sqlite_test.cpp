// SQLite databases through the registry, made here with SQLite itself: the
// tables by name with their columns and rows, SQLite's own and full-text
// shadow tables and views left out, found by content under any name, and
// damage said without losing the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Makes a database at path from SQL statements; the journal is not left beside it.
std::string MakeDatabase(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
  return path;
}

constexpr char kMessages[] =
    "CREATE TABLE contacts (id INTEGER PRIMARY KEY, name TEXT, phone TEXT, photo BLOB);"
    "INSERT INTO contacts VALUES (1, 'Anna Müller', '+41 44 123', x'89504E47'), (2, 'Łucja Nowak', NULL, NULL);"
    "CREATE TABLE messages (id INTEGER PRIMARY KEY, sender INTEGER, body TEXT, sent REAL);"
    "INSERT INTO messages VALUES (1, 1, 'See you at the harbour.\nBring the map.', 1.5),"
    " (2, 2, 'Ferry leaves at\t7', 2.25);"
    "CREATE TABLE empty (x TEXT);"
    "CREATE VIRTUAL TABLE search USING fts5(body);"
    "INSERT INTO search VALUES ('indexed words only');"
    "CREATE VIEW everything AS SELECT body FROM messages;";

TEST(Sqlite, TablesByNameWithTheirColumnsAndRows) {
  test::TempDir dir;
  // Any name: found by its first bytes.
  const std::string db = MakeDatabase((dir.path() / "chat.db").string(), kMessages);
  FilterText t = ExtractFilterText(test::Builtins(), db);
  EXPECT_TRUE(t.problem.empty()) << t.problem;
  EXPECT_EQ(t.reader, "sqlite");
  // Binary values and empty ones at the end of a row are left out; a line
  // break or tab inside a value is a space; the full-text index's own
  // tables, the virtual table, the view and the empty table add nothing.
  EXPECT_EQ(t.text,
            "contacts\n"
            "id\tname\tphone\tphoto\n"
            "1\tAnna Müller\t+41 44 123\n"
            "2\tŁucja Nowak\n"
            "messages\n"
            "id\tsender\tbody\tsent\n"
            "1\t1\tSee you at the harbour. Bring the map.\t1.5\n"
            "2\t2\tFerry leaves at 7\t2.25\n");
  EXPECT_EQ(ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "copy.sqlite", test::ReadFile(db))).reader,
            "sqlite");
}

TEST(Sqlite, DamageAndOtherContentAreSaidAndTheRunGoesOn) {
  test::TempDir dir;
  const std::string bytes = test::ReadFile(MakeDatabase((dir.path() / "a.sqlite").string(), kMessages));
  FilterText text = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "notes.sqlite", "plain words\n"));
  EXPECT_TRUE(text.text.empty() || text.reader != "sqlite");
  FilterText cut = ExtractFilterText(test::Builtins(),
                                     test::WriteFile(dir.path() / "cut.sqlite", bytes.substr(0, bytes.size() / 2)));
  EXPECT_FALSE(cut.problem.empty());
  // A write-ahead log beside the database is not read, and that is said.
  test::WriteFile(dir.path() / "a.sqlite-wal", "log");
  EXPECT_THAT(ExtractFilterText(test::Builtins(), dir.path() / "a.sqlite").problem, HasSubstr("write-ahead log"));
  // Bytes changed anywhere: each copy reads or gives a reason.
  std::uint32_t seed = 7;
  for (int i = 0; i < 200; ++i) {
    std::string mutated = bytes;
    for (int k = 0; k < 8; ++k) {
      seed = seed * 1103515245u + 12345u;
      mutated[16 + (seed >> 8) % (mutated.size() - 16)] = static_cast<char>(seed >> 24);
    }
    ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "m.sqlite", mutated));
  }
}

}  // namespace
}  // namespace quarn

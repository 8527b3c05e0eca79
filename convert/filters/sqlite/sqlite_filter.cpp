#include "convert/filters/sqlite/sqlite_filter.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/item_lines.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    return nullptr;
  }
  return Statement(s);
}

// A name as an SQL identifier: in double quotes, each quote doubled.
std::string Quoted(std::string_view name) {
  std::string q = "\"";
  for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

// A file URI for path, every byte that is not plainly safe escaped.
std::string FileUri(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  // As it is on disk: no lock, no journal, nothing written beside it.
  return uri + "?immutable=1";
}

// Reads one table; false, with the reason, when it cannot be read.
bool ReadTable(sqlite3* db, const std::string& name, TextSink& sink, std::string& problem) {
  const Statement rows = Prepare(db, "SELECT * FROM main." + Quoted(name));
  if (!rows) {
    problem = sqlite3_errmsg(db);
    return false;
  }
  const int count = sqlite3_column_count(rows.get());
  std::vector<std::string> names(static_cast<std::size_t>(count)), cells(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const char* n = sqlite3_column_name(rows.get(), i);
    names[static_cast<std::size_t>(i)] = CellOnOneLine(n ? n : "");
  }
  TableLines lines(sink, CellOnOneLine(name), std::move(names));
  int rc = SQLITE_ROW;
  while (!sink.full() && (rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
    for (int i = 0; i < count; ++i) {
      std::string& cell = cells[static_cast<std::size_t>(i)];
      cell.clear();
      const int type = sqlite3_column_type(rows.get(), i);
      if (type == SQLITE_NULL || type == SQLITE_BLOB) continue;  // binary values are no text
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), i));
      if (text)
        cell = CellOnOneLine(std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(rows.get(), i))));
    }
    lines.Row(cells);
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    problem = std::string("reading stopped: ") + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

class SqliteFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (SniffContent(path).filter != "sqlite") return ExtractResult::UnknownFormat("not a SQLite database");
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(FileUri(path).c_str(), &raw,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    const std::unique_ptr<sqlite3, DbClose> db(raw);
    if (opened != SQLITE_OK)
      return ExtractResult::Failed(std::string("the database cannot be opened: ") + sqlite3_errstr(opened));
    // A hostile schema may not run functions or change the file; what the
    // text needs is plain reading.
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);

    // Ordinary tables in the order they were made; SQLite's own and the
    // shadow tables a full-text index keeps its words in are listed as
    // other kinds.
    const Statement list = Prepare(db.get(),
                                   "SELECT t.name FROM pragma_table_list AS t JOIN main.sqlite_schema AS s "
                                   "ON s.type = 'table' AND s.name = t.name "
                                   "WHERE t.schema = 'main' AND t.type = 'table' "
                                   "AND t.name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY s.rowid");
    if (!list) return ExtractResult::Failed(std::string("the database is damaged: ") + sqlite3_errmsg(db.get()));
    std::vector<std::string> tables;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(list.get())) == SQLITE_ROW) {
      const auto* n = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0));
      if (n) tables.emplace_back(n);
    }
    if (rc != SQLITE_DONE)
      return ExtractResult::Failed(std::string("the database is damaged: ") + sqlite3_errmsg(db.get()));

    std::vector<std::string> reasons;
    for (const std::string& table : tables) {
      if (sink.full()) break;
      std::string problem;
      if (!ReadTable(db.get(), table, sink, problem))
        reasons.push_back("table \"" + CellOnOneLine(table) + "\" was not read whole: " + problem);
    }
    struct stat wal {};
    if (::stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0)
      reasons.push_back("the changes kept in its write-ahead log beside it are not read");
    return ExtractResult::PartlyRead(reasons);
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateSqliteFilter() { return std::make_unique<SqliteFilter>(); }

}  // namespace quarn

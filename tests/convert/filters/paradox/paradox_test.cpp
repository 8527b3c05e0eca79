// Paradox tables through the registry, made here with pxlib's writer: the
// field names, then a record a line in the table's code page, every kind of
// field as text, memos from the memo file beside the table (short ones
// from the record itself, long ones from blocks of their own), and damage,
// encryption or other content under the name said without losing the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

extern "C" {
#include <paradox.h>
}

namespace quarn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct Column {
  const char* name;
  int type;
  int length;
  int decimals = 0;  // places after the point of a BCD number
};

// Fills one field of a record through pxlib's encoders.
using Put = void (*)(pxdoc_t* px, char* field, int length, int row);

// Writes a table at path (and its memo file, for memo fields) with one
// record a row; each column's value comes from put(row).
void MakeTable(const std::string& path, const std::string& memo, float code_page,
               const std::vector<Column>& columns, const std::vector<Put>& put, int rows) {
  pxdoc_t* px = PX_new();
  ASSERT_NE(px, nullptr);
  auto* fields = static_cast<pxfield_t*>(px->malloc(px, columns.size() * sizeof(pxfield_t), "fields"));
  std::memset(fields, 0, columns.size() * sizeof(pxfield_t));
  int size = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    fields[i].px_fname = PX_strdup(px, columns[i].name);
    fields[i].px_ftype = static_cast<char>(columns[i].type);
    fields[i].px_flen = columns[i].length;
    fields[i].px_fdc = columns[i].decimals;
    size += columns[i].length;
  }
  ASSERT_GE(PX_create_file(px, fields, static_cast<int>(columns.size()), path.c_str(), pxfFileTypNonIndexDB), 0);
  PX_set_value(px, "codepage", code_page);
  if (!memo.empty()) {
    pxblob_t* blob = PX_new_blob(px);
    ASSERT_GE(PX_create_blob_file(blob, memo.c_str()), 0);
    px->px_blob = blob;
  }
  std::vector<char> record(static_cast<std::size_t>(size));
  for (int r = 0; r < rows; ++r) {
    std::fill(record.begin(), record.end(), '\0');
    int offset = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (put[i]) put[i](px, record.data() + offset, columns[i].length, r);
      offset += columns[i].length;
    }
    PX_put_record(px, record.data());
  }
  PX_close(px);
  PX_delete(px);
}

// Rows 0 to 2 hold values; row 3 none, so it adds no line.
const std::vector<Column> kShop = {{"Name", pxfAlpha, 16},  {"Born", pxfDate, 4},     {"Qty", pxfLong, 4},
                                   {"Weight", pxfNumber, 8}, {"Paid", pxfCurrency, 8}, {"Ok", pxfLogical, 1},
                                   {"Small", pxfShort, 2},   {"At", pxfTime, 4},       {"Stamp", pxfTimestamp, 8},
                                   {"Notes", pxfMemoBLOb, 15}};

std::string LongMemo() {
  std::string s;
  for (int i = 0; s.size() < 6000; ++i) s += "line " + std::to_string(i) + " of a long memo\r\n";
  return s;
}

const std::vector<Put> kShopValues = {
    [](pxdoc_t* px, char* f, int n, int r) {
      // windows-1252 bytes, as the table's code page says.
      const char* names[] = {"M\xFCller & Co", "Dubois", "Stra\xDF" "e 5"};
      if (r < 3) PX_put_data_alpha(px, f, n, const_cast<char*>(names[r]));
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r < 2) PX_put_data_long(px, f, n, 737120 + r);  // days: 1 is the first of January of the year 1
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r < 3) PX_put_data_long(px, f, n, r == 2 ? -40 : 12 + r);
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r < 3) PX_put_data_double(px, f, n, r == 0 ? 7.25 : 0.5 * r);
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r < 3) PX_put_data_double(px, f, n, 199.9 - r);
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r < 2) PX_put_data_byte(px, f, n, static_cast<char>(r == 0));
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r == 1) PX_put_data_short(px, f, n, -7);
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r == 0) PX_put_data_long(px, f, n, (14 * 3600 + 30 * 60 + 5) * 1000);
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      if (r == 0) PX_put_data_double(px, f, n, 737120.0 * 86400000.0 + 8 * 3600000.0);
    },
    [](pxdoc_t* px, char* f, int n, int r) {
      static const std::string long_memo = LongMemo();
      const std::string memo = r == 0 ? "short" : r == 1 ? "A memo longer than its record keeps\nof it." : long_memo;
      if (r < 3) PX_put_data_blob(px, f, n, const_cast<char*>(memo.data()), static_cast<int>(memo.size()));
    },
};

std::string LongMemoCell() {
  std::string s = LongMemo();
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') continue;
    out += s[i] == '\n' ? ' ' : s[i];
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

TEST(Paradox, FieldNamesThenARecordALineWithEveryKindOfField) {
  test::TempDir dir;
  const std::string table = (dir.path() / "shop.db").string();
  MakeTable(table, (dir.path() / "shop.mb").string(), 1252, kShop, kShopValues, 4);
  FilterText t = ExtractFilterText(test::Builtins(), table);
  EXPECT_TRUE(t.problem.empty()) << t.problem;
  EXPECT_EQ(t.reader, "paradox");
  EXPECT_EQ(t.text,
            "Name\tBorn\tQty\tWeight\tPaid\tOk\tSmall\tAt\tStamp\tNotes\n"
            "Müller & Co\t2019-03-02\t12\t7.25\t199.90\tYes\t\t14:30:05\t2019-03-02 08:00:00\tshort\n"
            "Dubois\t2019-03-03\t13\t0.5\t198.90\tNo\t-7\t\t\tA memo longer than its record keeps of it.\n"
            "Straße 5\t\t-40\t1\t197.90\t\t\t\t\t" +
                LongMemoCell() + "\n");

  // Without its memo file: the start a record keeps of each memo, and why.
  test::TempDir alone;
  FilterText cut = ExtractFilterText(test::Builtins(), test::WriteFile(alone.path() / "shop.db", test::ReadFile(table)));
  EXPECT_THAT(cut.text, HasSubstr("\tshort\n"));
  EXPECT_THAT(cut.text, HasSubstr("\tA mem\n"));  // the five bytes the record keeps
  EXPECT_THAT(cut.problem, HasSubstr("\"shop.mb\" is not beside it"));
  EXPECT_THAT(SideFiles(table), ElementsAre((dir.path() / "shop.mb").string()));
}

TEST(Paradox, TextInTheTablesCodePageDecimalNumbersAndATableWithoutRecords) {
  test::TempDir dir;
  const std::vector<Column> names = {{"Fio", pxfAlpha, 20}};
  const std::vector<Put> cyrillic = {[](pxdoc_t* px, char* f, int n, int r) {
    // "Иван" and "Ольга" in code page 866.
    const char* v[] = {"\x88\xA2\xA0\xAD", "\x8E\xAB\xEC\xA3\xA0"};
    PX_put_data_alpha(px, f, n, const_cast<char*>(v[r]));
  }};
  MakeTable((dir.path() / "dos.db").string(), "", 866, names, cyrillic, 2);
  EXPECT_EQ(test::Extracted((dir.path() / "dos.db").string()), "Fio\nИван\nОльга\n");
  // Numbers kept as binary-coded decimals, with their places after the point.
  const std::vector<Column> decimals = {{"Amount", pxfBCD, 17, 2}};
  const std::vector<Put> amounts = {[](pxdoc_t* px, char* f, int, int r) {
    const char* v[] = {"1234.56", "-0.5", "0"};
    PX_put_data_bcd(px, f, 2, const_cast<char*>(v[r]));
  }};
  MakeTable((dir.path() / "bcd.db").string(), "", 1252, decimals, amounts, 3);
  EXPECT_EQ(test::Extracted((dir.path() / "bcd.db").string()), "Amount\n1234.56\n-0.50\n0.00\n");
  MakeTable((dir.path() / "empty.db").string(), "", 1252, names, cyrillic, 0);
  FilterText empty = ExtractFilterText(test::Builtins(), (dir.path() / "empty.db").string());
  EXPECT_EQ(empty.text, "");
  EXPECT_TRUE(empty.problem.empty()) << empty.problem;
}

// A table of many data blocks: every record, in the order of the blocks'
// chain, whatever the header counts.
TEST(Paradox, TheRecordsOfEveryBlockInTheirOrder) {
  test::TempDir dir;
  const std::vector<Column> columns = {{"Row", pxfAlpha, 24}, {"N", pxfLong, 4}};
  const std::vector<Put> values = {
      [](pxdoc_t* px, char* f, int n, int r) {
        const std::string name = "row " + std::to_string(r);
        PX_put_data_alpha(px, f, n, const_cast<char*>(name.c_str()));
      },
      [](pxdoc_t* px, char* f, int n, int r) { PX_put_data_long(px, f, n, r * 7); }};
  MakeTable((dir.path() / "many.db").string(), "", 1252, columns, values, 3000);
  std::string expected = "Row\tN\n";
  for (int r = 0; r < 3000; ++r) expected += "row " + std::to_string(r) + "\t" + std::to_string(r * 7) + "\n";
  EXPECT_EQ(test::Extracted((dir.path() / "many.db").string()), expected);
  // A header that counts no records (a program ended before it closed the
  // table): what the blocks hold is read all the same.
  std::string stale = test::ReadFile(dir.path() / "many.db");
  stale.replace(6, 4, 4, '\0');
  EXPECT_EQ(test::Extracted(test::WriteFile(dir.path() / "stale.db", stale)), expected);
}

// ".db" is also the name of applications' SQLite databases and of Windows'
// thumbnail caches: a SQLite database is read by its own filter, and what
// no filter reads is refused with a reason.
TEST(Paradox, OtherContentUnderTheNameGoesToItsOwnFilter) {
  test::TempDir dir;
  const std::string chat = (dir.path() / "chat.db").string();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(chat.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE m (body TEXT); INSERT INTO m VALUES ('see you at noon');", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  FilterText sql = ExtractFilterText(test::Builtins(), chat);
  EXPECT_EQ(sql.reader, "sqlite");
  EXPECT_EQ(sql.text, "m\nbody\nsee you at noon\n");
  EXPECT_TRUE(sql.problem.empty()) << sql.problem;
  FilterText words = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "notes.db", "plain words\n"));
  EXPECT_EQ(words.text, "");
  EXPECT_THAT(words.problem, HasSubstr("not a Paradox table"));
}

TEST(Paradox, DamageAndEncryptionAreSaidAndNeverHang) {
  test::TempDir dir;
  const std::string table = (dir.path() / "shop.db").string();
  MakeTable(table, (dir.path() / "shop.mb").string(), 1252, kShop, kShopValues, 4);
  const std::string bytes = test::ReadFile(table);
  const std::string memo = test::ReadFile(dir.path() / "shop.mb");

  // A password's key in either place of the header: the library would try
  // to decrypt with it (and go round for ever on a wrong one).
  for (std::size_t at : {std::size_t{0x25}, std::size_t{0x5C}}) {
    std::string locked = bytes;
    locked[at] = '\x5A';
    FilterText t = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "locked.db", locked));
    EXPECT_EQ(t.text, "");
    EXPECT_THAT(t.problem, HasSubstr("password-protected"));
  }
  // A data block that names itself as the next: the chain is broken.
  std::string loop = bytes;
  const std::size_t first = 0x800;  // the header's size: the first block follows it
  loop[first] = '\x01';
  loop[first + 1] = '\0';
  EXPECT_THAT(ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "loop.db", loop)).problem,
              HasSubstr("chain of data blocks is broken"));
  // Cut short: what is there, or a reason.
  FilterText cut =
      ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "cut.db", bytes.substr(0, bytes.size() / 2)));
  EXPECT_TRUE(!cut.text.empty() || !cut.problem.empty());
  // Bytes changed in the header, the field list, the records and the memo
  // file: each copy reads or gives a reason.
  std::uint32_t seed = 5;
  for (int i = 0; i < 300; ++i) {
    std::string mutated = bytes, memo_mutated = memo;
    std::string& target = i % 3 == 0 ? memo_mutated : mutated;
    for (int k = 0; k < 6; ++k) {
      seed = seed * 1103515245u + 12345u;
      const std::size_t span = &target == &mutated && i % 2 == 0 ? 0x900 : target.size();
      target[(seed >> 8) % span] = static_cast<char>(seed >> 24);
    }
    test::WriteFile(dir.path() / "m.mb", memo_mutated);
    ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "m.db", mutated));
  }
}

}  // namespace
}  // namespace quarn

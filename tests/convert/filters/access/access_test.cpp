// Access databases through the registry, over the samples
// tests/data/access/make_samples.py writes (no tool here writes the format),
// as Access 2000-2003 and as Access 97 write them:
// the users' tables by name with their fields and rows, the catalogue's own
// and system tables left out, and damage that costs a table or the whole
// database but never the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "convert/filter.h"
#include "convert/filters/sniff.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/access/" + name; }

TEST(Access, TheUsersTablesByNameWithTheirFieldNamesAndRows) {
  FilterText t = ExtractFilterText(test::Builtins(), Sample("contacts.mdb"));
  EXPECT_TRUE(t.problem.empty()) << t.problem;
  EXPECT_EQ(t.reader, "access");
  // Empty fields keep their place but for the last ones; a memo's line
  // breaks and tab become one space each; dates at midnight lose the time;
  // currency to two decimals; Yes/No fields as Access shows them.  A table
  // of no rows and the system tables add nothing.
  EXPECT_EQ(t.text,
            "Customers\n"
            "ID\tName\tCity\tJoined\tActive\tBalance\tNotes\n"
            "1\tAnna Müller\tZürich\t2019-03-01\tYes\t1250.50\tPrefers letters. Call before noon. Never on Fridays.\n"
            "2\tOlivier Dubois\t\t2021-11-23\tNo\n"
            "3\tŁucja Nowak\tKraków\t\tYes\t0.00\tMet at the fair in Poznań.\n"
            "Orders\n"
            "OrderId\tCustomer\tAmount\tShipped\n"
            "1001\tAnna Müller\t99.75\t2022-05-17 14:30:00\n"
            "1002\tŁucja Nowak\t12.5\t2023-01-02\n");
  // Access 97 (Jet 3): text in the database's code page.
  EXPECT_EQ(test::Extracted(Sample("access97.mdb")),
            "Customers\n"
            "ID\tName\tCity\tJoined\tActive\tBalance\tNotes\n"
            "1\tAnna Müller\tZürich\t2019-03-01\tYes\t1250.50\tPrefers letters. Call before noon. Never on Fridays.\n"
            "2\tOlivier Dubois\t\t2021-11-23\tNo\n"
            "3\tLucía Núñez\tKraków\t\tYes\t0.00\tMet at the fair in Málaga.\n"
            "Orders\n"
            "OrderId\tCustomer\tAmount\tShipped\n"
            "1001\tAnna Müller\t99.75\t2022-05-17 14:30:00\n"
            "1002\tLucía Núñez\t12.5\t2023-01-02\n");
  // Found by content under another name, and named by its first bytes.
  test::TempDir dir;
  const std::string bytes = test::ReadFile(Sample("contacts.mdb"));
  FilterText renamed = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "contacts.old", bytes));
  EXPECT_EQ(renamed.reader, "access");
  EXPECT_THAT(renamed.text, HasSubstr("Łucja Nowak\tKraków"));
  EXPECT_THAT(test::Extracted(test::WriteFile(dir.path() / "backup.dat", bytes)), HasSubstr("Łucja Nowak\tKraków"));
  EXPECT_EQ(SniffHead(bytes.substr(0, 64)).filter, "access");
}

TEST(Access, DamageCostsTheTableOrTheDatabaseButNeverTheRun) {
  // The catalogue sends one table to a page that defines none: the others are read.
  FilterText bad = ExtractFilterText(test::Builtins(), Sample("bad-table.mdb"));
  EXPECT_THAT(bad.text, HasSubstr("Orders\nOrderId\tCustomer\tAmount\tShipped\n1001\t"));
  EXPECT_THAT(bad.text, Not(HasSubstr("Customers")));
  EXPECT_THAT(bad.problem, HasSubstr("\"Customers\" was not read"));
  FilterText cut = ExtractFilterText(test::Builtins(), Sample("truncated.mdb"));
  EXPECT_TRUE(cut.text.empty());
  EXPECT_THAT(cut.problem, HasSubstr("damaged"));
  test::TempDir dir;
  FilterText text = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "notes.mdb", "plain words\n"));
  EXPECT_TRUE(text.text.empty() || text.reader != "access");
  // Bytes changed in the definitions, the catalogue and the maps of pages:
  // each copy reads or gives a reason, in this process.  The library's own
  // reading walks a damaged map of pages past its end.
  const std::string database = test::ReadFile(Sample("contacts.mdb"));
  std::uint32_t seed = 2024;
  for (int i = 0; i < 300; ++i) {
    std::string mutated = database;
    for (int k = 0; k < 12; ++k) {
      seed = seed * 1103515245u + 12345u;
      mutated[4096 * 2 + (seed >> 8) % (4096 * 5)] = static_cast<char>(seed >> 24);
    }
    ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "m.mdb", mutated));
  }
}

}  // namespace
}  // namespace quarn

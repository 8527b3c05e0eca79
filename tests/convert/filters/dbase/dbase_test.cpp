// dBASE and FoxPro tables through the registry, over the samples
// tests/data/dbase/make_samples.py writes: the field names, then a record a
// line in the table's code page (named by the language driver byte, by the
// .cpg file beside it, or found from the bytes), memos from the memo file,
// and damage or a missing memo file said without losing the rest.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/dbase/" + name; }

TEST(Dbase, FieldNamesThenARecordALineInTheTablesCodePage) {
  // dBASE III: windows-1252 found from the bytes, memos from the .dbt, the
  // deleted record left out, empty fields at the end dropped.
  FilterText clients = ExtractFilterText(test::Builtins(), Sample("clients.dbf"));
  EXPECT_TRUE(clients.problem.empty()) << clients.problem;
  EXPECT_EQ(clients.reader, "dbase");
  EXPECT_EQ(clients.text,
            "NAME\tCITY\tJOINED\tACTIVE\tBALANCE\tNOTES\n"
            "Anna Müller\tZürich\t2019-03-01\tYes\t1250.50\tPrefers letters. Call before noon. Never on Fridays.\n"
            "François Dubois\t\t2021-11-23\tNo\n"
            "Jürgen Weiß\tKöln\t\t\t-3.75\tMet at the trade fair in Köln; ordered the café tables.\n");
  // Visual FoxPro's binary fields; a memo that holds a picture is no text;
  // the _NullFlags system field is not shown.
  EXPECT_EQ(test::Extracted(Sample("stock.dbf")),
            "ITEM\tQTY\tPRICE\tWEIGHT\tUPDATED\tDESCR\n"
            "Shelf\t12\t199.90\t7.25\t2022-05-17 14:30:00\tOak shelf, oiled. Ships flat.\n"
            "Poster\t-3\t4.5678\t0.5\t2022-05-18\n"
            "Lamp\t0\t0.00\t1\t\tLampe für den Schreibtisch\n");
  EXPECT_EQ(test::Extracted(Sample("cities.dbf")), "NAME\tPOP\nKraków\t800653\nZürich\t421878\nΑθήνα\t643452\n");
  EXPECT_EQ(test::Extracted(Sample("kontakty.dbf")), "FIO\tGOROD\nИван Петров\tМосква\nОльга Смирнова\tКазань\n");
  EXPECT_EQ(test::Extracted(Sample("dos.dbf")), "NAME\nGärtnerei Blümel\nStraße 5\n");
}

TEST(Dbase, DamageAndAMissingMemoFileAreSaidAndTheRestIsRead) {
  FilterText cut = ExtractFilterText(test::Builtins(), Sample("truncated.dbf"));
  EXPECT_THAT(cut.text, HasSubstr("Anna Müller\tZürich"));
  EXPECT_THAT(cut.problem, HasSubstr("cut short: 2 of its 4 records"));
  test::TempDir dir;
  const std::string table = test::ReadFile(Sample("clients.dbf"));
  FilterText alone = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "clients.dbf", table));
  EXPECT_THAT(alone.text, HasSubstr("Jürgen Weiß\tKöln\t\t\t-3.75\n"));
  EXPECT_THAT(alone.problem, HasSubstr("\"clients.dbt\" is not beside it"));
  FilterText text = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "notes.dbf", "plain words\n"));
  EXPECT_TRUE(text.text.empty());
  // Bytes changed in the header, the field list and the records, and memo
  // numbers that point anywhere: each copy reads or gives a reason.
  const std::string memo = test::ReadFile(Sample("clients.dbt"));
  std::uint32_t seed = 99;
  for (int i = 0; i < 300; ++i) {
    std::string mutated = table;
    for (int k = 0; k < 6; ++k) {
      seed = seed * 1103515245u + 12345u;
      mutated[(seed >> 8) % mutated.size()] = static_cast<char>(seed >> 24);
    }
    test::WriteFile(dir.path() / "m.dbt", memo);
    ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "m.dbf", mutated));
  }
}

TEST(Dbase, TheMemoAndCodePageFilesAreTheTablesSideFiles) {
  EXPECT_THAT(SideFiles(Sample("clients.dbf")), ElementsAre(Sample("clients.dbt")));
  EXPECT_THAT(SideFiles(Sample("cities.dbf")), ElementsAre(Sample("cities.cpg")));
  EXPECT_THAT(SideFiles(Sample("dos.dbf")), ElementsAre());
  EXPECT_THAT(SideFiles(Sample("clients.dbt")), ElementsAre());
}

}  // namespace
}  // namespace quarn

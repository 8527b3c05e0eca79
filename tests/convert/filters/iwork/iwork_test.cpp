// Apple iWork documents through the registry and filter host.  No tool here
// writes them, so the tests read the shared corpus's files (copied to a
// scratch folder) and skip when it is absent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

// The text of a corpus file, copied under name; nullopt without the corpus.
std::optional<FilterText> Corpus(const test::TempDir& dir, const char* rel, const char* name) {
  const std::filesystem::path source = std::filesystem::path(QUARN_CORPUS) / "inputs" / rel;
  if (!std::filesystem::exists(source)) return std::nullopt;
  const std::filesystem::path copy = dir.path() / name;
  std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
  return ExtractFilterText(test::Builtins(), copy.string());
}

TEST(Iwork, PagesOldAndNewPackages) {
  test::TempDir dir;
  auto old_xml = Corpus(dir, "pages/tika/testPages.pages", "old.pages");
  auto protobuf = Corpus(dir, "pages/libetonyek/pages5-file.pages", "new.pages");
  if (!old_xml || !protobuf) GTEST_SKIP() << "no corpus";
  EXPECT_THAT(old_xml->text, HasSubstr("Sample pages document"));
  EXPECT_THAT(old_xml->text, HasSubstr("Column one\tColumn two\tColumn three"));  // a table row
  EXPECT_TRUE(protobuf->problem.empty()) << protobuf->problem;
  EXPECT_FALSE(protobuf->text.empty());
}

TEST(Iwork, NumbersSheetsAreNamedRows) {
  test::TempDir dir;
  auto sheet = Corpus(dir, "numbers/numbers-parser/test-1.numbers", "sheet.numbers");
  if (!sheet) GTEST_SKIP() << "no corpus";
  EXPECT_TRUE(sheet->problem.empty()) << sheet->problem;
  // The table's name, then its rows; the empty corner cell keeps its place.
  EXPECT_THAT(sheet->text, HasSubstr("ZZZ_Table_1\n\tYYY_COL_1\tYYY_COL_2\nYYY_ROW_1\tYYY_1_1\tYYY_1_2\n"));
}

TEST(Iwork, KeynoteSlidesInOrderWithNotes) {
  test::TempDir dir;
  auto slides = Corpus(dir, "key/tika/testKeynote.key", "slides.key");
  if (!slides) GTEST_SKIP() << "no corpus";
  const std::string& t = slides->text;
  EXPECT_THAT(t, HasSubstr("A sample presentation"));
  EXPECT_LT(t.find("Slide 1"), t.find("Slide 3"));
  EXPECT_THAT(t, HasSubstr("A nice note"));
}

}  // namespace
}  // namespace quarn

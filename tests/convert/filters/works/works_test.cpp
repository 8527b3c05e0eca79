// Works, Lotus and Quattro documents through the registry and filter host,
// over the samples tests/data/works/make_samples.py writes and, when it is
// there, the corpus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/works/" + name; }

TEST(Works, LotusSheetIsNamedRowsOfTabSeparatedCells) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("sheet.wk1"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  // The empty third column keeps its place; numbers show as they are.
  EXPECT_EQ(test::Extracted(Sample("sheet.wk1")),
            "Sheet1\nItem\tCount\t\tPrice\nApples\t12\t\t0.5\nPears\t7\t\t1.25\n");
}

TEST(Works, FoundByContentWhenNamedAsAnExcelWorkbook) {
  EXPECT_EQ(test::Extracted(Sample("sheet_named.xls")), test::Extracted(Sample("sheet.wk1")));
}

TEST(Works, ADamagedSheetIsReportedNotSentRoundTheFilters) {
  // Regression: a file that begins as Lotus but that libwps refuses went to
  // the Macintosh reader, whose sniffing sent it back, without end.
  FilterText r = ExtractFilterText(test::Builtins(), Sample("truncated.wk1"));
  EXPECT_THAT(r.problem, HasSubstr("damaged"));
}

TEST(Works, CorpusWordProcessorFiles) {
  const std::filesystem::path corpus = std::filesystem::path(QUARN_CORPUS) / "inputs/wps";
  if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  const std::filesystem::path copy = dir.path() / "works.wps";
  std::filesystem::copy_file(corpus / "tika/testWORKSWordProcessor3.0.wps", copy);
  FilterText r = ExtractFilterText(test::Builtins(), copy.string());
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_THAT(r.text, HasSubstr("This is an example document made with Microsoft Works Word Processor 7.0"));
}

}  // namespace
}  // namespace quarn

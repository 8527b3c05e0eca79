// DjVu documents through the registry and filter host, over the samples
// tests/data/djvu/make_samples.sh writes with djvulibre's tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/djvu/" + name; }

TEST(Djvu, HiddenTextLayerLineByLine) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("text.djvu"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("text.djvu")), "Hidden text layer\nsecond line\nÜberschrift zwei\n");
}

TEST(Djvu, PagesWithoutATextLayerAreReadByOcr) {
  SetConversionOptions({});
  FilterText r = ExtractFilterText(test::Builtins(), Sample("words.djvu"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_THAT(r.text, HasSubstr("only text recognition can read"));
  // A page that shows no words (a black bar) gives nothing, and no complaint.
  r = ExtractFilterText(test::Builtins(), Sample("scanned.djvu"));
  EXPECT_EQ(r.text.substr(0, r.text.find_last_not_of(' ') + 1), "Hidden text layer\nsecond line\nÜberschrift zwei\n");
  EXPECT_TRUE(r.problem.empty()) << r.problem;
}

TEST(Djvu, ScansNotReadWhenOcrIsOffAreCounted) {
  ConversionOptions off;
  off.ocr = false;
  SetConversionOptions(off);
  FilterText r = ExtractFilterText(test::Builtins(), Sample("scanned.djvu"));
  EXPECT_THAT(r.text, HasSubstr("Hidden text layer"));
  EXPECT_EQ(r.problem,
            "1 of 2 pages are scans without a text layer that OCR did not read (text recognition (OCR) is turned off)");
  EXPECT_THAT(ExtractFilterText(test::Builtins(), Sample("words.djvu")).problem, HasSubstr("1 of 1 pages"));
  SetConversionOptions({});
}

TEST(Djvu, FoundByContentAndDamageSaysWhy) {
  test::TempDir dir;
  const std::filesystem::path named = dir.path() / "scan.pdf";
  std::filesystem::copy_file(Sample("text.djvu"), named);
  EXPECT_EQ(test::Extracted(named.string()), test::Extracted(Sample("text.djvu")));
  EXPECT_THAT(ExtractFilterText(test::Builtins(), Sample("truncated.djvu")).problem, HasSubstr("cannot be read"));
}

}  // namespace
}  // namespace quarn

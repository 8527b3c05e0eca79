// Safari's web archives through the registry, over the samples
// tests/data/webarchive/make_samples.py writes: the page in the character
// set the archive names, its frames, a PDF Safari showed, and archives that
// hold no page or are damaged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/webarchive/" + name; }

TEST(WebArchive, ThePageThenItsFramesWithoutWhatLiesBesideThem) {
  for (const char* name : {"page.webarchive", "page-xml.webarchive"}) {
    FilterText t = ExtractFilterText(test::Builtins(), Sample(name));
    EXPECT_TRUE(t.problem.empty()) << name << ": " << t.problem;
    EXPECT_EQ(t.reader, "webarchive");
    // Latin-1 that only the archive declares; the title as a web page's.
    EXPECT_THAT(t.text, HasSubstr("Harbour café news\nFerry timetable\nThe café on the pier opens at seven."));
    EXPECT_THAT(t.text, Not(HasSubstr("hidden")));
    EXPECT_THAT(t.text, Not(HasSubstr("margin")));
  }
  // The frame follows the page, without its title.
  const std::string page = test::Extracted(Sample("page.webarchive"));
  EXPECT_THAT(page, HasSubstr("opens at seven.\n Tide table inside a frame."));
  EXPECT_THAT(page, Not(HasSubstr("Frame title")));
}

TEST(WebArchive, OtherPagesAreReadByTheirKindAndDamageIsSaid) {
  FilterText pdf = ExtractFilterText(test::Builtins(), Sample("document.webarchive"));
  EXPECT_THAT(pdf.text, HasSubstr("The body of page one."));
  FilterText picture = ExtractFilterText(test::Builtins(), Sample("picture.webarchive"));
  EXPECT_TRUE(picture.text.empty());
  EXPECT_FALSE(picture.problem.empty());
  FilterText truncated = ExtractFilterText(test::Builtins(), Sample("truncated.webarchive"));
  EXPECT_TRUE(truncated.text.empty());
  EXPECT_THAT(truncated.problem, HasSubstr("damaged"));
  test::TempDir dir;
  FilterText other = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "x.webarchive", "plain words\n"));
  EXPECT_TRUE(other.text.empty() || other.reader != "webarchive");
}

}  // namespace
}  // namespace quarn

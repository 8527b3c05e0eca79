// StarOffice and OpenOffice.org 1 XML files through the OpenDocument filter,
// over the samples tests/data/package/make_staroffice_samples.py writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/package/" + name; }

TEST(StarOfficeXml, TextWithListsNotesTablesBoxesAndComments) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("text.sxw"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("text.sxw")),
            "Old heading\nFirst\ttabbed and   spaced1.\n1. Alpha\n2. Beta\n\u2022 Dot\nA1\tB1\n"
            "Anchor here.\nBoxed words\nCommented text.\n 1 Footnote text.\n A remark.\n");
}

TEST(StarOfficeXml, SheetsByNameWithRepeatsAndValues) {
  EXPECT_EQ(test::Extracted(Sample("sheet.sxc")), "Prices\nTea\t3.50\n\nx\tx\t42\nSecond\nMore\n");
}

TEST(StarOfficeXml, SlidesWithTheirNotes) {
  EXPECT_EQ(test::Extracted(Sample("slides.sxi")), "Slide one title\nSpeaker note one\n Slide two body\n");
}

TEST(StarOfficeXml, PasswordProtectedDocumentsSaySo) {
  EXPECT_THAT(ExtractFilterText(test::Builtins(), Sample("encrypted.sxw")).problem, ::testing::HasSubstr("password"));
}

}  // namespace
}  // namespace quarn

// The OpenDocument filter through the registry and filter host, over the
// samples that tests/data/package/odf/make_samples.py writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/package/odf/" + name; }

FilterText Extract(const std::string& path) { return ExtractFilterText(test::Builtins(), path); }

TEST(OdfText, BodyThenHeadersFootnotesEndnotesComments) {
  FilterText r = Extract(Sample("text.odt"));
  EXPECT_FALSE(r.incomplete) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("text.odt")),
            "Heading One\n"
            "First   paragraph\ttabbed\nsecond line.\n"
            "Kept text added.\n"  // the tracked deletion "GONE" is left out
            "Apple\nBanana\nNested\n"
            "A1\tB1 more\n"
            "x\tx\t\tD2\n"
            "Before n1 n2 n3 n4 after\tlast\n"  // a nested table's rows stand apart in their cell
            "See note1 and endi.\n"
            "Anchor here too.\n"
            "Boxed text\n"  // the text box follows the paragraph it is anchored in
            "Table 1: caption\n"
            "Ελληνικά 日本語 العربية 😀\n"
            "The capital 東京(とうきょう) is large.\n"  // a reading after its base
            " Page header\nPage 1\n"  // two master pages share the header: written once
            " 1 Footnote body.\n"
            " i Endnote body.\n"
            " A comment.\n");
}

TEST(OdfText, ListItemsStartWithTheirNumberOrBullet) {
  // Automatic and named list styles, levels shown with their parents',
  // headers and second paragraphs unlabelled, continued and restarted lists,
  // start values, and a list whose style is not defined; then headings
  // numbered by the outline style.
  EXPECT_EQ(test::Extracted(Sample("lists.odt")),
            "Header, no label\n1. One\n2. Two\nSecond paragraph, no label\n2.a) Sub\n2.b) Sub\n(IV Deep\n"
            "Between\n3. Three\n1. Again one\n9. Nine\n"
            "\u2022 Dot\n\u25AA Hollow\nNo style\n"
            "1. Introduction\n1.1. Scope\nUnnumbered level\n1.2. Terms\nPreface, no number\n2. Method\n"
            "2.5. Restarted\n1. Listed heading\n");
}

TEST(OdfText, FormulaObjectsAreReadInTheirParagraph) {
  EXPECT_EQ(test::Extracted(Sample("formula.odt")), "Energy E = mc\u00B2 and mass.\nNext line.\n");
}

// Metadata and pictures are left out; soft hyphens leave their word whole.
TEST(OdfText, FlatXmlSkipsMetadataAndImages) {
  FilterText r = Extract(Sample("text.fodt"));
  EXPECT_FALSE(r.incomplete) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("text.fodt")),
            "Flat heading\nFlat body text, hyphenated.\nAfter image\n Page header\nPage 1\n");
}

TEST(OdfText, FlatFilesReadTheirObjectsInPlaceAndLeaveDeletedTextOut) {
  // Newer writers keep deleted text between its change marks; flat files
  // keep objects (here a chart) as documents inside the frame that shows
  // them.  A chart shows its title, series names and categories, not the
  // numbers it plots.
  // List items whose text was deleted show no bullet; an empty one still does.
  EXPECT_EQ(test::Extracted(Sample("changes.fodt")),
            "Kept added text.\n\u2022 Kept item\n\u2022 \nChart here.\nSales by region\n\tNorth\tSouth\nQ1\nQ2\n");
  EXPECT_EQ(test::PipelineText(Sample("chart.fods")), "Data\nRegion\tSales by region North South Q1 Q2\n");
}

TEST(OdfSheet, SheetNamesVisibleValuesAndRepeats) {
  // A million repeated empty rows of 16384 cells: nothing written for them.
  FilterText r = Extract(Sample("sheet.ods"));
  EXPECT_FALSE(r.incomplete) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("sheet.ods")),
            "Числа\n"
            "Item\tPrice\tDate\n"
            "Tea 🍵\t3.50\t15/03/2024\n"
            "\n"
            "7\t7\tTRUE\t42\n"  // a cell without paragraphs shows its value
            "Second\n"
            "\t\t\tfar\n"
            " Checked by hand\n");
}

TEST(OdfSheet, FilledCellsAfterLongEmptyRunsKeepTheirColumn) {
  // Runs of a billion empty cells and rows cost nothing; a filled cell after
  // one lands in its column, or in the last column a row keeps.
  FilterText r = Extract(Sample("wide.ods"));
  EXPECT_FALSE(r.incomplete) << r.problem;
  EXPECT_EQ(r.text, "Wide\nfirst" + std::string(200, '\t') + "col 201\n\n" + std::string(32767, '\t') + "last\n");
}

TEST(OdfSheet, HeadersAndFootersOfThePagesSheetsPrintWith) {
  // The default sheet-name header and "Page 1" footer are page furniture;
  // a master page no sheet prints with is not written.  Cells written with
  // their value only show it through their data style.
  EXPECT_EQ(test::Extracted(Sample("headers.ods")),
            "Plain\n"
            "Default pages\n"
            "Values\n"
            "1,234,567.89\t-1,234.50 \u20AC\t99.00 \u20AC\t12.5%\tFriday, 15 March 2024\t02:05 PM\t2 3/4\tTRUE\t0.3\n"
            " Quarterly budget draft\nPrepared by Finance\n");
}

TEST(OdfSlides, FootersListLabelsAndMasterText) {
  // Footer and fixed date declared for a slide, once per slide that shows
  // them; bullets inherited through the frame's presentation style; text
  // on the master (typed around fields too) once, for masters that show.
  EXPECT_EQ(test::Extracted(Sample("features.odp")),
            "Slide one\n"
            "\u25CF Inherited bullet\n\u2013 Inherited dash\n"
            "1. Step\na) Detail\nb) More\n2. Step\nI Roman\n"
            "Company footer\nSpring 2024\n"
            "Notes one\n"
            " Slide two\n"
            " Printed on paper\nMaster logo text\n");
}

TEST(OdfSlides, PagesInOrderEachWithItsNotesAndNoMasterText) {
  std::string want;
  for (int i = 1; i <= 12; ++i) {
    std::string n = std::to_string(i);
    want += "Slide " + n + " title\nPoint " + n + "a\nPoint " + n + "b\nNotes for slide " + n + "\n ";
  }
  want.pop_back();
  EXPECT_EQ(test::Extracted(Sample("slides.odp")), want);
}

TEST(OdfSlides, SlideNumberFieldsAreNotText) {
  EXPECT_EQ(test::Extracted(Sample("fields.odp")), "Slide of , dated 5 March 2024\n");
}

TEST(OdfDamaged, RefusedOrCutWithAReason) {
  FilterText enc = Extract(Sample("encrypted.odt"));
  EXPECT_THAT(enc.text, IsEmpty());
  EXPECT_THAT(enc.problem, HasSubstr("password"));

  // Cut short: the parts before the cut are read, and said to be incomplete.
  FilterText trunc = Extract(Sample("truncated.odt"));
  EXPECT_EQ(trunc.text.rfind("Heading One\n", 0), 0u) << trunc.text;
  EXPECT_TRUE(trunc.incomplete);
  EXPECT_THAT(trunc.problem, HasSubstr("damaged"));

  FilterText junk = Extract(Sample("not_odf.odt"));
  EXPECT_THAT(junk.text, IsEmpty());
  EXPECT_THAT(junk.problem, Not(IsEmpty()));

  // The text before the break is kept and said to be incomplete.
  FilterText bad = Extract(Sample("malformed.odt"));
  EXPECT_TRUE(bad.incomplete);
  EXPECT_THAT(bad.problem, HasSubstr("damaged"));
  EXPECT_EQ(bad.text.rfind("Before the break.\nBefore the break.\n", 0), 0u);
  EXPECT_THAT(bad.text, Not(HasSubstr("Broken here")));
}

TEST(OdfHostile, BombsCostOnlyTheirFile) {
  FilterText zip = Extract(Sample("zip_bomb.odt"));
  EXPECT_TRUE(zip.incomplete);
  EXPECT_THAT(zip.problem, HasSubstr("bomb"));
  EXPECT_EQ(zip.text.rfind("Start\n", 0), 0u);

  // 1048576 rows of 16384 filled cells: cut at the repeat budget, not at the
  // text limit, and said so.
  FilterText rows = Extract(Sample("rows_bomb.ods"));
  EXPECT_TRUE(rows.incomplete);
  EXPECT_THAT(rows.problem, HasSubstr("repeated"));
  EXPECT_LE(rows.text.size(), std::size_t{65} << 20);
  EXPECT_EQ(rows.text.rfind("Bomb\nx\tx\t", 0), 0u);

  FilterText xxe = Extract(Sample("external_entity.odt"));
  EXPECT_THAT(xxe.text, HasSubstr("Safe"));
  EXPECT_THAT(xxe.text, Not(HasSubstr("root:")));
}

TEST(OdfMislabelled, ABookNamedOdtIsReadAsABook) {
  test::TempDir dir;
  std::filesystem::copy_file(Sample("book.epub"), dir.path() / "book.odt");
  EXPECT_THAT(test::Extracted((dir.path() / "book.odt").string()), HasSubstr("Chapter A"));
}

}  // namespace
}  // namespace quarn

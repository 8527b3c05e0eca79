// The PDF text library's reading order and word forms, over the samples of
// tests/data/convert/pdf/make_layout_samples.py: columns drawn line by line
// across the page, words placed apart without spaces, letter-spaced titles,
// words drawn over themselves, drop caps, text off the page, form fields'
// values, hyphenation at line ends, right-to-left scripts and ligatures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "pdfinfo/pdfinfo.h"
#include "tests/support/pdf_samples.h"

namespace {

using quarn::testing::PdfSample;
using ::testing::HasSubstr;
using ::testing::Not;

int Collect(void* user, int, const char* text, size_t size, unsigned) {
  static_cast<std::string*>(user)->append(text, size);
  return 0;
}

std::string PagesOf(const std::string& name) {
  std::string text;
  char error[256] = "";
  EXPECT_EQ(PdfExtractPages(PdfSample(name).c_str(), Collect, &text, error, sizeof error), PDFINFO_OK) << error;
  return text;
}

TEST(PageText, ColumnsDrawnLineByLineAcrossAreReadOneAfterTheOther) {
  EXPECT_EQ(PagesOf("interleaved_columns.pdf"),
            "A title across both columns\n"
            "Left column line one about apples\nand pears growing in the garden\n"
            "of the old house near the river.\nThe second paragraph of the left\n"
            "column goes on for a while too.\n\n"
            "Right column starts with oranges\nand lemons from the southern\n"
            "market that opens every morning.\nIts second paragraph also has\n"
            "several lines of plain words.\n\n"
            "A closing line across the page after both columns end here.\n\n");
}

TEST(PageText, HyphenationBreaksAreJoinedRealHyphensStay) {
  const std::string text = PagesOf("hyphenation.pdf");
  EXPECT_THAT(text, HasSubstr("Extraordinarily long international\nwords need hyphenation\nin narrow columns.\n"));
  for (const char* compound : {"tax-free", "state-of-the-art", "long-term", "twenty-first-century", "follow-up"})
    EXPECT_THAT(text, HasSubstr(compound));
  for (const char* broken : {"inter-", "hy-", "col-", "stateof", "twentyfirst", "followup"})
    EXPECT_THAT(text, Not(HasSubstr(broken)));
}

TEST(PageText, WordsSetApartWithoutSpacesAndAccentsDrawnApart) {
  // Positioned words get their spaces; kerning, a slanted letter's room and
  // the even gaps of letter-spaced text do not split a word.  Accents drawn
  // on their own follow their letter as its combining mark.
  EXPECT_EQ(PagesOf("drawn_spaces.pdf"),
            "The role of mentorship in tight type.\n\nkerning\n\nPR\n\nSPACED TITLE\n\n"
            "prote\u0301ge\u0301 cafe\u0301\n\n");
}

TEST(PageText, WordsDrawnOverThemselvesAreReadOnce) {
  // Fake bold and shadows are read once and a sentence that a doubled word
  // broke is whole; a word only partly over another and letters that repeat
  // closely stay; another page keeps its own copy.
  EXPECT_EQ(PagesOf("overprints.pdf"),
            "Fake bold heading\n\nShadowed words\n\nOnly one bold word here.\n\nSubmarine\nSubmit\n\n"
            "Hillbilly skiing, 1111 iii\n\nFake bold heading\n\n");
}

TEST(PageText, DropCapsStartTheirParagraphsFirstWord) {
  // Drawn after their lines (as LibreOffice does) and before them; a cap
  // that is a word of its own and a large label before a question keep
  // their space.
  const std::string text = PagesOf("drop_caps.pdf");
  EXPECT_THAT(text, HasSubstr("A heading line\n\nOnce upon a time"));
  EXPECT_THAT(text, HasSubstr("\nA small word stands first"));
  EXPECT_THAT(text, Not(HasSubstr("\nO\n")));
  EXPECT_THAT(text, Not(HasSubstr("\nnce")));
  EXPECT_EQ(PagesOf("drop_caps_drawn_first.pdf"),
            "THE FERRY left at seven, and the harbour\noffice opened its doors soon after,\n"
            "as it does every morning of the year.\n\n"
            "Q What does a ticket for the early\nferry cost on a weekday?\nFour euros, and children travel free.\n\n");
}

TEST(PageText, TextOffThePageIsNotReadUnlessThePageShowsNone) {
  EXPECT_EQ(PagesOf("off_page.pdf"), "Visible words on the page.\n\nHalfway\n\nEvery word is above the box.\n\n");
}

TEST(PageText, FormFieldValuesFollowTheirLabels) {
  // Values the viewer draws from the form (no appearance streams, or a
  // stale empty one): each after its label on the same line, a multi-line
  // value a line each; the check box's Zapf Dingbats code is its check
  // mark, not "3"; a hidden field shows nothing.
  EXPECT_EQ(PagesOf("form.pdf"),
            "Name: Jane Q. Example\n\nSubscribe: \u2713\n\nCountry: Norway\n\nAddress: 12 High Street\nSpringfield\n\n");
}

TEST(PageText, MarkedContentGivesTheTextItsGlyphsStandFor) {
  // ActualText spans: characters nobody could map, an emoji drawn as one
  // glyph, two glyphs for one letter and a hyphen for nothing read as the
  // span says, without a gap where glyphs were left out; a span over two
  // lines stays as drawn, and of spans within a span the outer one counts.
  EXPECT_EQ(PagesOf("actual_text.pdf"),
            "Missing: \u4E16\u754C\n\nFlag: \U0001F1E9\U0001F1EA end\n\nFewer: c\u0153ur\n\nCooperate\n\n"
            "Two\n\nlines\n\nOuter\n\n");
}

TEST(PageText, LetterSpacedTitlesAreWords) {
  // A short run and small letters set evenly apart stay as drawn.
  EXPECT_EQ(PagesOf("letter_spaced.pdf"),
            "ANNUAL REPORT 2024\n\nCONTENTS\n\nspaced out words\n\nwith x y z w v as variables\n\nN O\n\n");
}

TEST(PageText, RightToLeftScriptsInReadingOrder) {
  EXPECT_EQ(PagesOf("right_to_left.pdf"),
            "\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd, \u05d6\u05d4\u05d5 \u05d8\u05e7\u05e1\u05d8 "
            "\u05d1\u05e2\u05d1\u05e8\u05d9\u05ea.\n\n"
            "\u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645\u060c \u0647\u0630\u0627 "
            "\u0646\u0635 \u0639\u0631\u0628\u064a 2024.\n\n"
            "Mixed: English then \u05e2\u05d1\u05e8\u05d9\u05ea \u05d7\u05d3\u05e9\u05d4 then English.\n\n");
}

TEST(PageText, MarksStayOnTheirLettersAndDigitsReadLeftToRight) {
  // Pointed Hebrew and vowelled Arabic, whose marks the producer draws
  // before their letters (the marks of one letter come in the order it drew
  // them, turned round: dagesh before sheva, shadda before fatha);
  // Arabic-Indic and Persian digits in Arabic text; a left-to-right line
  // with pointed words in it.
  EXPECT_EQ(PagesOf("right_to_left_marks.pdf"),
            "\u05d1\u05bc\u05b0\u05e8\u05b5\u05d0\u05e9\u05c1\u05b4\u05d9\u05ea "
            "\u05d1\u05bc\u05b8\u05e8\u05b8\u05d0 \u05d0\u05b1\u05dc\u05b9\u05d4\u05b4\u05d9\u05dd.\n\n"
            "\u0627\u064e\u0644\u0652\u0639\u064e\u0631\u064e\u0628\u0650\u064a\u0651\u064e\u0629\u064f "
            "\u0644\u064f\u063a\u064e\u0629\u064c \u062c\u064e\u0645\u0650\u064a\u0644\u064e\u0629\u064c.\n\n"
            "\u0627\u0644\u0633\u0639\u0631 \u0661\u0662\u0663 \u0631\u064a\u0627\u0644\u0627 \u0648 "
            "\u06f4\u06f5\u06f6 \u062a\u0648\u0645\u0627\u0646.\n\n"
            "In English: \u05e2\u05b4\u05d1\u05b0\u05e8\u05b4\u05d9\u05ea and "
            "\u0627\u0644\u0652\u0639\u064e\u0631\u064e\u0628\u0650\u064a\u0651\u064e\u0629 are pointed.\n\n");
}

TEST(PageText, RightToLeftWordsSetApartByPositionKeepTheirSpaces) {
  // Words drawn from their left end with no space glyphs between them: a
  // gap is a space, a mark drawn before its letter stays on it across the
  // gap, and a running head drawn in three pieces (middle, left, right)
  // reads as three words; words drawn from their right end, in reading
  // order, are set apart too.  A left-to-right line that MuPDF breaks
  // around an Arabic word drawn from its right end stays one line, and the
  // word's lam-alef, one glyph standing for two letters (a marked span's
  // text), keeps them in order; words drawn upside down read as words.
  EXPECT_EQ(PagesOf("rtl_positioned.pdf"),
            "\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd\n\n"
            "\u0628\u0650\u0633\u0645\u0650 \u0627\u0644\u0644\u064e\u0647\u0650\n\n"
            "\u05e1\u05e4\u05e8 \u05e2\u05de\u05d5\u05d3 2 \u05e4\u05e8\u05e7\n\n"
            "\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd\n\n"
            "The word \u0633\u0644\u0627\u0645 means peace.\n\n"
            "\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd\n\n");
}

TEST(PageText, PresentationFormsAreTheirLetters) {
  // Arabic in its shaped forms (initial, medial and final letters, lam-alef
  // inside a word and alone, the ligature of the name of God) and Hebrew
  // letters with their points and the alef-lamed ligature come out as the
  // letters they stand for, in reading order, on their own lines and in a
  // left-to-right line.
  EXPECT_EQ(PagesOf("right_to_left_forms.pdf"),
            "\u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645.\n\n"
            "\u0627\u0644\u0633\u0644\u0627\u0645 \u0639\u0644\u064a\u0643\u0645 \u0644\u0627 "
            "\u0627\u0644\u0644\u0647.\n\n"
            "\u05e9\u05c1\u05dc\u05d5\u05dd \u05d0\u05dc.\n\n"
            "In English: \u0645\u0631\u062d\u0628\u0627 means hello.\n\n");
}

TEST(PageText, LigaturesAreTheirLetters) {
  const std::string text = PagesOf("ligatures.pdf");
  for (const char* words : {"first floor offers", "efficient and baffling style", "still fine"})
    EXPECT_THAT(text, HasSubstr(words));
  for (const char* ligature : {"\uFB00", "\uFB01", "\uFB02", "\uFB03", "\uFB04", "\uFB05", "\uFB06"})
    EXPECT_THAT(text, Not(HasSubstr(ligature)));
}

}  // namespace

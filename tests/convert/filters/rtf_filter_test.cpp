// The RTF filter over small hand-written samples, through the registry and
// the text pipeline, plus hostile input built on the fly.
#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/filter.h"
#include "convert/filters/builtin.h"
#include "convert/registry.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

std::string Data(const std::string& name) { return std::string(QUARN_TEST_DATA) + "/convert/" + name; }

std::string TextOf(const std::string& path, bool* incomplete = nullptr) { return test::PipelineText(path, incomplete); }

using TempDir = test::ScratchTest;

TEST(Rtf, ParagraphsSpecialCharactersAndSkippedDestinations) {
  bool incomplete = true;
  std::string text = TextOf(Data("rtf/paragraphs.rtf"), &incomplete);
  EXPECT_FALSE(incomplete);
  EXPECT_EQ(text,
            "First paragraph with bold text.\n"
            "Second line\nafter a break\ttabbed.\n"
            "Quotes: \u2018a\u2019 \u201Cb\u201D \u2014 \u2013 \u2022 caf\u00E9 non\u00A0break hy\u2011phen optional\n"
            "Object result\n"
            "Binary end\n");
  for (const char* hidden : {"Secret", "HIDDEN", "Arial", "Normal", "Hand", "Excel"})
    EXPECT_EQ(text.find(hidden), std::string::npos) << hidden;
}

TEST_F(TempDir, ShapesShowTheirTextButNotTheirPropertiesOrFallback) {
  const std::string path = Write(
      "shape.rtf",
      "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\pard Before the shape.\\par"
      "{\\shp{\\*\\shpinst\\shpleft0\\shptop0{\\sp{\\sn shapeType}{\\sv 202}}"
      "{\\sp{\\sn fillColor}{\\sv 16777215}}{\\shptxt \\pard Inside the box\\par\\pard Second box line\\par}"
      "{\\shp{\\*\\shpinst{\\sp{\\sn wzName}{\\sv Inner}}{\\shptxt Nested text\\par}}}}"
      "{\\shprslt{\\*\\do\\dobxcolumn{\\dptxbx{\\dptxbxtext Fallback copy\\par}}}}}"
      "\\pard After the shape. {\\shp{\\*\\shpinst{\\sp{\\sn shapeType}{\\sv 136}}"
      "{\\sp{\\sn gtextUNICODE}{\\sv Word Art Title}}{\\sp{\\sn gtextFont}{\\sv Arial Black}}}}Last.\\par}");
  // A WordArt shape shows the text it draws, on a line of its own.
  EXPECT_EQ(TextOf(path), "Before the shape.\nInside the box\nSecond box line\nNested text\nAfter the shape. \n"
                          "Word Art Title\nLast.\n");
}

// A page scanned and saved as RTF: pictures and no words.  Word writes each
// picture as itself ({\*\shppict{\pict\pngblip ...}}) and again as a
// metafile for older readers ({\nonshppict ...}); a picture shape keeps its
// picture as a property.  Documents with words keep their pictures unread.
TEST_F(TempDir, ABodyOfPicturesOnlyIsReadByOcr) {
  const std::string png = test::ReadFile(std::filesystem::path(QUARN_IMAGE_SAMPLES) / "sans-150.png");
  const std::string png2 = test::ReadFile(std::filesystem::path(QUARN_IMAGE_SAMPLES) / "times-150.png");
  ASSERT_FALSE(png.empty());
  auto hex = [](const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      out.push_back(digits[static_cast<unsigned char>(bytes[i]) >> 4]);
      out.push_back(digits[static_cast<unsigned char>(bytes[i]) & 15]);
      if (i % 64 == 63) out += "\r\n";
    }
    return out;
  };
  const std::string picture = "{\\*\\shppict{\\pict{\\*\\picprop{\\sp{\\sn wzName}{\\sv Picture 1}}}"
                              "{\\*\\blipuid 0123456789abcdef0123456789abcdef}\\picw100\\pich50\\pngblip\r\n" +
                              hex(png) + "}}{\\nonshppict{\\pict\\wmetafile8\\picw100 0100090000}}";
  const std::string shape = "{\\shp{\\*\\shpinst{\\sp{\\sn shapeType}{\\sv 75}}{\\sp{\\sn pib}{\\sv {\\pict\\jpegblip "
                            "ffd8ff}}}}}";  // a picture too small to be read: passed over
  const std::string scan = Write("scan.rtf", "{\\rtf1\\ansi\\pard\\par\\pard " + picture + "\\par " + shape +
                                                 "{\\shp{\\*\\shpinst{\\sp{\\sn pib}{\\sv {\\pict\\pngblip " +
                                                 hex(png2) + "}}}}}\\par}");
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("rtf", scan, sink);
  ASSERT_EQ(r.status, ExtractResult::Status::kOk) << r.reason;
  const std::string text = sink.Joined();
  EXPECT_EQ(sink.recognized_pages(), 2u) << text;
  EXPECT_LT(text.find("harbour office"), text.find("garden committee")) << text;
  EXPECT_NE(text.find("garden committee"), std::string::npos) << text;

  TextSink words;
  ASSERT_EQ(ExtractWithBuiltin("rtf", Write("words.rtf", "{\\rtf1\\ansi\\pard Figure 1\\par " + picture + "}"), words)
                .status,
            ExtractResult::Status::kOk);
  EXPECT_EQ(words.Joined(), "Figure 1\n");
  EXPECT_EQ(words.recognized_pages(), 0u);
}

TEST_F(TempDir, ListLabelsAreTidiedAndNeverSplitARow) {
  const std::string path = Write(
      "lists.rtf",
      "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}{\\f1 Symbol;}}"
      "{\\listtext\\pard\\plain  1.\\tab}\\ls1 One\\par"
      "{\\pntext \\'95\\tab}Old style\\par"
      "\\trowd\\pard\\intbl{\\listtext\\pard\\plain \\u8226\\'95\\tab}In a cell\\cell Next\\cell\\row"
      "\\pard After.\\par}");
  EXPECT_EQ(TextOf(path), "1. One\n\u2022 Old style\n\u2022 In a cell\tNext\nAfter.\n");
}

TEST_F(TempDir, TrackedDeletionsAreLeftOutAndTheirMarksKept) {
  // As a word processor writes revisions: deleted runs in their own groups,
  // a whole deleted paragraph, \plain ending a deletion, \deleted0.
  const std::string path = Write(
      "changes.rtf",
      "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\*\\revtbl{Unknown;}{Ann;}}"
      "\\pard The meeting is on {\\deleted\\revauthdel1 Monday}{\\revised\\revauth1 Tuesday} at noon.\\par"
      "{\\deleted\\revauthdel1 A paragraph removed whole.\\par}"
      "\\pard Price: {\\deleted caf\\'e9 \\u8364?10 }12 euros.\\par"
      "\\trowd\\pard\\intbl Cell {\\deleted old }kept\\cell {\\deleted\\deleted0 Shown}\\cell\\row"
      "\\pard The end{\\deleted\\plain  again}.\\par}");
  EXPECT_EQ(TextOf(path), "The meeting is on Tuesday at noon.\n\nPrice: 12 euros.\nCell kept\tShown\nThe end again.\n");
}

TEST_F(TempDir, NotesAndCommentsMarkedIgnorableAreReadAndSymbolBulletsShown) {
  // Footnotes written as {\*\footnote}, a comment ({\*\annotation}) with
  // its author and date, and list bullets drawn from a symbol font.
  const std::string path = Write(
      "notes.rtf",
      "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}{\\f1\\fcharset2 Symbol;}}"
      "\\pard Body{\\super\\chftn{\\*\\footnote\\chftn\\pard Note words.}} and more"
      "{\\*\\atnid A}{\\*\\atnauthor Ann}\\chatn{\\*\\annotation{\\*\\atndate 1}\\pard Comment words.}.\\par"
      "{\\listtext\\pard\\plain\\f1 \\u61623\\'b7\\tab}Item\\par"
      "{\\*\\unknownthing Hidden words}\\pard End.\\par}");
  EXPECT_EQ(TextOf(path), "Body[1] and more.\n\u2022 Item\nEnd.\n[1] Note words.\nComment words.\n");
}

TEST_F(TempDir, ACommentTakesNoNoteNumber) {
  // A comment anchored before the first footnote: the footnote is still
  // the first, and the endnote after it the second.
  const std::string path = Write(
      "comment_first.rtf",
      "{\\rtf1\\ansi\\pard Text{\\*\\atnid A}\\chatn{\\*\\annotation\\pard Remark.}"
      "{\\super\\chftn{\\*\\footnote\\chftn\\pard Foot.}}"
      "{\\super\\chftn{\\*\\footnote\\ftnalt\\chftn\\pard End.}}\\par}");
  EXPECT_EQ(TextOf(path), "Text[1][2]\nRemark.\n[1] Foot.\n[2] End.\n");
}

TEST(Rtf, TableRowsAreTabSeparatedLinesWithoutTrailingTabs) {
  EXPECT_EQ(TextOf(Data("rtf/table.rtf")),
            "Before\n"
            "Name\tAge\tCity\n"
            "Ann\t31\n"
            "\tTwo lines\tOslo\n"
            "After\n");
}

TEST(Rtf, UnicodeWithFallbackSkippingAndSurrogatePairs) {
  EXPECT_EQ(TextOf(Data("rtf/unicode.rtf")),
            "Greek \u03B1\u03B2, two fallbacks \u20AC euro, none \u2013dash, negative \uF0B7, emoji "
            "\U0001F600.\n");
}

TEST(Rtf, SingleAndDoubleByteCodePages) {
  EXPECT_EQ(TextOf(Data("rtf/cp1251.rtf")), "Привет, мир!\n");
  // Shift-JIS through the font's character set, including a pair whose
  // second byte is an escaped backslash; the Latin font goes back to the
  // document's code page.
  EXPECT_EQ(TextOf(Data("rtf/cp932.rtf")), "日本語のテキスト 表 Latin caf\u00E9\n");
}

TEST(Rtf, SymbolFontsShowTheCharactersTheirGlyphsAre) {
  // Text typed in the Symbol font reads as its Greek letters and signs, a
  // SYMBOL field (whose result is empty) as the character it inserts, a
  // Wingdings box as a box; list bullets from either font stay bullets (the
  // Wingdings one a small square) and a number in the Symbol font a number.
  EXPECT_EQ(TextOf(Data("rtf/symbols.rtf")),
            "\u2022 Typed in the Symbol font: \u03B1 + \u03B2 = \u03B3 and \u2265 5, then plain abg.\n"
            "\u25AA Inserted: \u03B1, \u00B0, \u00E9 and \u20AC.\n"
            "1. Unicode in the font: \u03B1\u03B2 and a box \u2611.\n");
}

TEST(Rtf, FieldResultsThenHeadersThenFootnotes) {
  EXPECT_EQ(TextOf(Data("rtf/fields.rtf")),
            "See the site now.\n"
            "Page 7 of text.[1]\n"
            "More[2].\n"
            "Running head\n"
            "[1] First note.\n"
            "[2] Second note.\n");
}

TEST_F(TempDir, IgnorableMarkInsideAGroupAndBinaryDataByItsCount) {
  // \* only marks a destination right after "{"; \binN data may hold braces.
  std::string path = Write("marks.rtf",
                           "{\\rtf1\\ansi {\\b bold \\*\\unknownword kept} after\\par\n"
                           "{\\*\\unknowndest hidden}text \\bin4 {}\\}end{\\pict\\bin6 }{}\\x}}\\par}")
                         .string();
  bool incomplete = true;
  EXPECT_EQ(TextOf(path, &incomplete), "bold kept after\ntext end\n");
  EXPECT_FALSE(incomplete);
}

std::string Le32(std::size_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
  return s;
}

// An OLE 1.0 embedded object as \objdata holds it, in hexadecimal.
std::string ObjData(const std::string& class_name, const std::string& native) {
  std::string bytes = Le32(0x0501) + Le32(2) + Le32(class_name.size() + 1) + class_name + std::string(1, '\0') +
                      Le32(0) + Le32(0) + Le32(native.size()) + native;
  std::string hex;
  static const char* kDigits = "0123456789abcdef";
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
    if (hex.size() % 128 == 0) hex += "\r\n";
  }
  return hex;
}

TEST_F(TempDir, EmbeddedObjectsAreReadByTheirOwnFilter) {
  // A workbook (its native data a compound file) and a packaged text file.
  std::ifstream in(std::string(QUARN_TEST_DATA) + "/ole/extras.xls", std::ios::binary);
  std::string workbook((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string file = "Packaged words inside.\n";
  std::string package = std::string("\x02\x00", 2) + "notes.txt" + std::string(1, '\0') + "C:\\notes.txt" +
                        std::string(1, '\0') + std::string("\x00\x00\x03\x00", 4) + Le32(13) + "C:\\tmp\\n.txt" +
                        std::string(1, '\0') + Le32(file.size()) + file;
  std::string path = Write("objects.rtf", "{\\rtf1\\ansi Before.\\par\n"
                                          "{\\object\\objemb{\\*\\objclass Excel.Sheet.8}{\\*\\objdata " +
                                              ObjData("Excel.Sheet.8", workbook) +
                                              "}{\\result {\\pict\\wmetafile8 0102}}}\\par\n"
                                              "{\\object\\objemb{\\*\\objdata " +
                                              ObjData("Package", package) + "}}After.\\par}")
                         .string();
  std::string text = TextOf(path);
  std::size_t before = text.find("Before."), cells = text.find("Cell text\nText in a box"),
              packaged = text.find("Packaged words inside."), after = text.find("After.");
  ASSERT_NE(cells, std::string::npos) << text;
  ASSERT_NE(packaged, std::string::npos) << text;
  EXPECT_LT(before, cells);
  EXPECT_LT(cells, packaged);
  EXPECT_LT(packaged, after);
}

TEST_F(TempDir, PhoneticGuideFieldWithoutResultShowsBaseAndReading) {
  std::string path = Write("ruby.rtf",
                           "{\\rtf1\\ansi\\uc1 Capital: {\\field{\\*\\fldinst { EQ \\\\* jc2 \\\\o\\\\ad(\\\\s\\\\up 9("
                           "\\u12392\\'3f\\u12358\\'3f\\u12365\\'3f\\u12423\\'3f\\u12358\\'3f),\\u26481\\'3f\\u20140\\'3f)}}"
                           "{\\fldrslt {}}} is large. {\\field{\\*\\fldinst PAGE}{\\fldrslt 3}}\\par}")
                         .string();
  EXPECT_EQ(TextOf(path), "Capital: \u6771\u4eac(\u3068\u3046\u304d\u3087\u3046) is large. 3\n");
}

TEST(Rtf, TruncatedDocumentKeepsItsTextAndSaysIncomplete) {
  bool incomplete = false;
  EXPECT_EQ(TextOf(Data("rtf/truncated.rtf"), &incomplete), "Kept text\nCut in the mi\n");
  EXPECT_TRUE(incomplete);
}

TEST_F(TempDir, RtfNestingBeyondTheCapIsBoundedAndIncomplete) {
  std::string deep = "{\\rtf1 start ";
  for (int i = 0; i < 200000; ++i) deep += "{x";
  for (int i = 0; i < 200000; ++i) deep += "}";
  deep += " end}";
  bool incomplete = false;
  auto t0 = std::chrono::steady_clock::now();
  std::string text = TextOf(Write("deep.rtf", deep), &incomplete);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_TRUE(incomplete);
  EXPECT_EQ(text.substr(0, 6), "start ");
  EXPECT_EQ(text.substr(text.size() - 5), " end\n");
}

TEST_F(TempDir, RtfNotStartingWithTheSignatureIsRefused) {
  std::string p = Write("plain.rtf", "just words, not rtf");
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("rtf", p, sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kUnknownFormat);
  EXPECT_FALSE(r.reason.empty());
  // A \bin count beyond the end of the file is a truncated document.
  TextSink sink2;
  r = ExtractWithBuiltin("rtf", Write("bin.rtf", "{\\rtf1 a{\\pict\\bin999999 xyz"), sink2);
  EXPECT_EQ(r.status, ExtractResult::Status::kIncomplete);
  EXPECT_EQ(sink2.Joined().substr(0, 2), "a\n");
}

}  // namespace
}  // namespace quarn

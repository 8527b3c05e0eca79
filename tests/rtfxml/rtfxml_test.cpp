// The RTF and XML filters over small hand-written samples, through the
// registry and the text pipeline, plus hostile input built on the fly.
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

namespace quarn {
namespace {

namespace fs = std::filesystem;

std::string Data(const std::string& name) { return std::string(QUARN_TEST_DATA) + "/" + name; }

FilterText Extract(const std::string& path) {
  Registry registry;
  registry.AddBuiltins();
  return ExtractFilterText(registry, path);
}

// The text as the pipeline delivers it, without the separators it puts
// around chunks.
std::string TextOf(const std::string& path, bool* incomplete = nullptr) {
  FilterText t = Extract(path);
  if (incomplete) *incomplete = t.incomplete;
  std::string s = ThinSpaces(t.text);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  return s;
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quarn-rtfxml-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  fs::path dir_;
};

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
      "\\pard After the shape.\\par}");
  EXPECT_EQ(TextOf(path),
            "Before the shape.\nInside the box\nSecond box line\nNested text\nAfter the shape.\n");
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

TEST(Rtf, FieldResultsThenHeadersThenFootnotes) {
  EXPECT_EQ(TextOf(Data("rtf/fields.rtf")),
            "See the site now.\n"
            "Page 7 of text.[1]\n"
            "More[2].\n"
            "Running head\n"
            "[1] First note.\n"
            "[2] Second note.\n");
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

TEST(Xml, MixedContentStaysOnOneLineAndBlocksBreak) {
  EXPECT_EQ(TextOf(Data("xml/mixed.xml")),
            "Война и мир\n"
            "Leo Tolstoy\n"
            "Read this one, twice.\n"
            "Raw <cdata> text\n"
            "Bold start & end\n");
}

TEST(Xml, Word2003ParagraphsTabsAndTables) {
  EXPECT_EQ(TextOf(Data("xml/word2003.xml")),
            "Hello world.\n"
            "Name\tValue\n"
            "kept\n"
            "A1\tB1\n"
            "\tB2\n"
            "Last\n");
}

TEST(Xml, SpreadsheetSheetsByNameWithIndexGaps) {
  EXPECT_EQ(TextOf(Data("xml/spreadsheet2003.xml")),
            "Prices\n"
            "Item\tCost\n"
            "Tea\t2.5\n"
            "\t\tgap\n"
            "wide\t\tafter\n"
            "Второй\n"
            "Rich text\n");
}

TEST(Xml, MalformedIsNeverReportedAsWhole) {
  FilterText t = Extract(Data("xml/malformed.xml"));
  EXPECT_TRUE(t.text.find_first_not_of(' ') == std::string::npos || t.incomplete);
  EXPECT_NE(t.problem.find("malformed at line 2"), std::string::npos) << t.problem;
}

// A small file broken early: the parser fails before it streams anything,
// yet the words it can recover are kept and the result says it is damaged.
TEST_F(TempDir, SmallDamagedFilesKeepTheWordsTheParserRecovers) {
  FilterText t = Extract(Write("mismatch.xml", "<root><a>one</a><b>two<c>three</b><d>four</d></root>"));
  EXPECT_TRUE(t.incomplete);
  for (const char* word : {"one", "two", "three", "four"}) EXPECT_NE(t.text.find(word), std::string::npos) << word;
  EXPECT_NE(t.problem.find("malformed at line 1"), std::string::npos) << t.problem;

  t = Extract(Write("unclosed.xml", "<root><a>only start"));
  EXPECT_TRUE(t.incomplete);
  EXPECT_NE(t.text.find("only start"), std::string::npos);

  t = Extract(Write("nothing.xml", "<<<>>>"));
  EXPECT_EQ(t.text.find_first_not_of(' '), std::string::npos);
  EXPECT_FALSE(t.problem.empty());
}

// Bytes the declared character set cannot decode end the text early, said
// so in the result; the XML library prints nothing of its own on the way.
TEST_F(TempDir, UndecodableBytesAreReportedNotPrinted) {
  const std::string path = Write("sjis.xml",
                                 "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<r><a>kept</a><a>\x87\x40</a></r>\n");
  const std::string log = (dir_ / "stderr.log").string();
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  const int to = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(to, 0);
  ::dup2(to, STDERR_FILENO);
  FilterText t = Extract(path);
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(to);
  EXPECT_NE(t.text.find("kept"), std::string::npos);
  EXPECT_TRUE(t.incomplete);
  EXPECT_EQ(fs::file_size(log), 0u);
}

TEST_F(TempDir, ExternalEntitiesAreNeverRead) {
  std::string secret = Write("secret.txt", "PLUGHXYZZY");
  std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret +
                    "\"><!ENTITY % p SYSTEM \"file://" + secret + "\"> %p;]>\n<r><a>before</a><a>&x;</a><a>after</a></r>\n";
  std::string text = TextOf(Write("xxe.xml", doc));
  EXPECT_EQ(text.find("PLUGH"), std::string::npos);
  EXPECT_NE(text.find("before"), std::string::npos);
  EXPECT_NE(text.find("after"), std::string::npos);
  // An external DTD is not fetched either.
  std::string dtd = Write("evil.dtd", "<!ENTITY y \"PLUGHXYZZY\">");
  std::string doc2 = "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"file://" + dtd + "\">\n<r>ok &y;</r>\n";
  EXPECT_EQ(TextOf(Write("dtd.xml", doc2)).find("PLUGH"), std::string::npos);
}

TEST_F(TempDir, BillionLaughsIsBounded) {
  std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  doc += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
  for (int i = 2; i <= 9; ++i) {
    doc += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) doc += "&lol" + std::to_string(i - 1) + ";";
    doc += "\">";
  }
  doc += "]>\n<lolz>start &lol9; end</lolz>\n";
  auto t0 = std::chrono::steady_clock::now();
  FilterText t = Extract(Write("lol.xml", doc));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_LT(t.text.size(), std::size_t{1} << 16);
  EXPECT_EQ(t.text.find("lollol"), std::string::npos);
  EXPECT_TRUE(t.text.find_first_not_of(' ') == std::string::npos || t.incomplete) << t.problem;
}

}  // namespace
}  // namespace quarn

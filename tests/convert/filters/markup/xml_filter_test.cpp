// The XML filter over small hand-written samples, through the registry and
// the text pipeline, plus hostile input (entities, damage) built on the fly.
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

std::string Data(const std::string& name) { return std::string(QUARN_TEST_DATA) + "/markup/" + name; }

FilterText Extract(const std::string& path) { return ExtractFilterText(test::Builtins(), path); }

std::string TextOf(const std::string& path, bool* incomplete = nullptr) { return test::PipelineText(path, incomplete); }

using TempDir = test::ScratchTest;

TEST(Xml, MixedContentStaysOnOneLineAndBlocksBreak) {
  EXPECT_EQ(TextOf(Data("xml/mixed.xml")),
            "Война и мир\n"
            "Leo Tolstoy\n"
            "Read this one, twice.\n"
            "Raw <cdata> text\n"
            "Bold start & end\n");
}

TEST(Xml, DeclaredEntitiesAreExpandedAndPreservedSpaceKept) {
  // Entities the document declares show their text (nested, with markup
  // dropped), the usual character names read as characters although their
  // DTD is never loaded, and an external entity shows nothing; a listing
  // marked xml:space="preserve" keeps its lines.
  FilterText r = Extract(Data("xml/entities_and_listings.xml"));
  EXPECT_FALSE(r.incomplete) << r.problem;
  EXPECT_EQ(test::Extracted(Data("xml/entities_and_listings.xml")),
            "Install Widget Pro 2.1 now.\n"
            "Caf\u00E9 \u2014 \u00A9 Velmor & co.\n"
            "if (ready) {\n"
            "    start();\n"
            "}\n"
            "Tip keep   two  spaces\n"
            "Back to normal.\n");
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

TEST(Xml, Word2003ListLabelsAsShownAndNotesAfterTheBody) {
  // Labels as Word showed them (a Symbol bullet as a bullet, Courier's "o"
  // as a hollow one); notes and comments read aside, a note's mark where it
  // stands and before its text.
  EXPECT_EQ(TextOf(Data("xml/word2003-lists-notes.xml")),
            "1. First step\n"
            "a) Detail\n"
            "\u2022 Bullet\n"
            "\u25e6 Hollow\n"
            "\u25aa Square\n"
            "Body with a note1 and more text.\n"
            "A1i\tB1\n"
            "Last\n"
            "1 The note.\n"
            "A remark.\n"
            "i Cell note.\n");
}

TEST(Xml, Word2003ListsWithoutWordsLabelsAreNumberedFromTheirDefinitions) {
  // Other writers leave Word's label out: it comes from the list's level
  // definitions, counted per list (a style's list properties count nothing).
  EXPECT_EQ(TextOf(Data("xml/word2003-own-lists.xml")),
            "1. First step\n"
            "1.a) Detail\n"
            "1.b) More detail\n"
            "2. Second step\n"
            "\u2022 Bullet\n"
            "\u25e6 Hollow\n"
            "IV Fourth in Roman\n"
            "Numbering turned off\n"
            "An undefined list\n"
            "(iii) Word's own label wins\n");
}

TEST_F(TempDir, Word2003PicturesBeforeTheBodyDoNotSilenceIt) {
  // w:binData in the document properties (a background) and in a run.
  std::string path = Write("pictures.xml",
                           "<?xml version=\"1.0\"?>\n<?mso-application progid=\"Word.Document\"?>\n"
                           "<w:wordDocument xmlns:w=\"http://schemas.microsoft.com/office/word/2003/wordml\">"
                           "<w:docPr><w:background><w:binData w:name=\"wordml://bg.png\">iVBORw0KGgo=</w:binData>"
                           "</w:background></w:docPr><w:body>"
                           "<w:p><w:r><w:t>Text after the picture.</w:t></w:r></w:p>"
                           "<w:p><w:r><w:pict><w:binData w:name=\"wordml://1.png\">AAAA</w:binData></w:pict></w:r>"
                           "<w:r><w:t>Second paragraph.</w:t></w:r></w:p>"
                           "</w:body></w:wordDocument>")
                         .string();
  EXPECT_EQ(TextOf(path), "Text after the picture.\nSecond paragraph.\n");
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

TEST(Xml, SpreadsheetValuesShowThroughTheirStylesAndCommentsFollowTheSheet) {
  // Named and coded number formats of the styles; a date without a date
  // style and a number whose style sets only the font stay as written.
  EXPECT_EQ(TextOf(Data("xml/spreadsheet2003-formats.xml")),
            "Report\n"
            "Day\tShare\tAmount\n"
            "3/14/2007\t25.50%\t1,234,567.50\n"
            "2007-03-15T00:00:00.000\t3\n"
            "Ann: the first day\n"
            "Second\n"
            "More\n");
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

// A document declared (or taken) as UTF-8 whose bytes are another code page
// is read in that code page, and UTF-8 declared as a single-byte code page as
// UTF-8; UTF-8 with one damaged character stays UTF-8.
TEST_F(TempDir, DeclaredUtf8ThatIsNotIsReadInTheCodePageOfItsBytes) {
  const std::string latin = "<doc><p>Gr\xFC\xDF" "e aus M\xFCnchen, caf\xE9 cr\xE8me</p></doc>\n";
  FilterText declared = Extract(Write("declared.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + latin));
  EXPECT_NE(declared.text.find("Grüße aus München, café crème"), std::string::npos) << declared.text;
  EXPECT_FALSE(declared.incomplete);
  FilterText bare = Extract(Write("bare.xml", latin));
  EXPECT_NE(bare.text.find("Grüße aus München, café crème"), std::string::npos) << bare.text;
  // Its own declaration of a single-byte code page is read as it stands,
  // unless the bytes are UTF-8 beyond ASCII.
  FilterText own = Extract(Write("own.xml", "<?xml version='1.0' encoding='ISO-8859-1'?>\n" + latin));
  EXPECT_NE(own.text.find("Grüße aus München, café crème"), std::string::npos) << own.text;
  FilterText utf8 = Extract(Write("utf8.xml", "<?xml version='1.0' encoding='ISO-8859-1'?>\n<doc>Grüße, café</doc>\n"));
  EXPECT_NE(utf8.text.find("Grüße, café"), std::string::npos) << utf8.text;
  FilterText damaged = Extract(Write(
      "damaged.xml", "<?xml version=\"1.0\"?>\n<r><a>\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82</a><a>\xFF</a></r>\n"));
  EXPECT_NE(damaged.text.find("Привет"), std::string::npos) << damaged.text;
  EXPECT_TRUE(damaged.incomplete);
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

TEST_F(TempDir, ManyLargeEntitiesStopAtTheDocumentsBudget) {
  // A thousand entities of 60 KB each, from one of 30 KB: 60 MB of text from
  // a file of 100 KB.  Expansion stops at its budget and says so.
  std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY b \"" + std::string(30000, 'x') + "\">";
  std::string body;
  for (int i = 0; i < 1000; ++i) {
    doc += "<!ENTITY e" + std::to_string(i) + " \"&b;&b;\">";
    body += "<p>&e" + std::to_string(i) + ";</p>";
  }
  doc += "]>\n<r><p>first</p>" + body + "<p>last</p></r>\n";
  auto t0 = std::chrono::steady_clock::now();
  FilterText t = Extract(Write("many.xml", doc));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_LT(t.text.size(), std::size_t{20} << 20);
  EXPECT_NE(t.text.find("first"), std::string::npos);
  EXPECT_NE(t.text.find("last"), std::string::npos);
  EXPECT_TRUE(t.incomplete) << t.problem;
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

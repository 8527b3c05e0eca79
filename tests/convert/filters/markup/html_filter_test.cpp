// The HTML filter through the real pipeline, and ExtractHtmlText as other
// filters call it.
#include "convert/filters/markup/html_filter.h"

#include <gtest/gtest.h>

#include <string>

#include "app/main.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using test::Extracted;
using test::TempDir;
using test::WriteFile;

const std::string kHtml = std::string(QUARN_TEST_DATA) + "/markup/html/";

TEST(HtmlFilter, StructureBecomesLines) {
  EXPECT_EQ(Extracted(kHtml + "structure.html"),
            "Structure & layout\n"
            "Main heading\n"
            "First paragraph spans two source lines, with bold and italicwords.\n"
            // Soft hyphens (an entity or the character) keep the word whole.
            "Entities: <tag> \"q\" été €5 😀 a b Hyphenation softly\n"
            "\u2022 Apples\n"
            "\u2022 Pears\n"
            "\u2022 Nested pear\n"
            "1. One\n"
            "2. Two\n"
            "Name\tQty (kg)\n"
            "Apples\t3\n"
            "Pears\t4\n"
            "line 1\n"
            "    indented   line 2\n"
            "Line\n"
            "break\n"
            "Term\n"
            "Definition\n"
            "Quoted\n"
            "End.\n");
}

TEST(HtmlFilter, CharsetFromMarkDeclarationOrDetection) {
  EXPECT_EQ(Extracted(kHtml + "meta_1251.html"), "Проверка\nСъешь же ещё этих мягких французских булок.\n");
  EXPECT_EQ(Extracted(kHtml + "meta_koi8r.html"), "КОИ\nДа, но фальшивый экземпляр!\n");
  EXPECT_EQ(Extracted(kHtml + "undeclared_1252.html"), "Café crème — déjà vu.\n");
  // The byte-order mark wins over the page's (wrong) declaration.
  EXPECT_EQ(Extracted(kHtml + "utf16le_bom.html"), "Grüße, 日本語\n");
}

TEST(HtmlFilter, DeepNestingKeepsAllText) {
  std::string deep_blocks, deep_inline;
  for (int i = 0; i < 10000; ++i) deep_blocks += "<div>", deep_inline += "<span><b>";
  deep_blocks += "deepest words";
  deep_inline += "inline depth";
  for (int i = 0; i < 10000; ++i) deep_blocks += "</div>", deep_inline += "</b></span>";
  std::string page = "<html><body><p>before</p>" + deep_blocks + deep_inline + "<p>after</p></body></html>";
  TextSink sink;
  ExtractResult r = ExtractHtmlText(page, "", sink);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(sink.Joined(), "before\ndeepest words\ninline depth\nafter\n");

  TempDir dir;
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "deep.html", page)), "before\ndeepest words\ninline depth\nafter\n");
}

TEST(HtmlFilter, ListItemsAreNumberedAsTheBrowserShowsThem) {
  // start, type and value, nested lists counting apart, and items outside
  // any list shown as bullets.
  TextSink sink;
  ASSERT_TRUE(ExtractHtmlText("<ol start=\"4\" type=\"i\"><li>four<ol type=\"A\"><li>a</li><li>b</li></ol></li>"
                              "<li>five</li><li value=\"9\">nine</li><li>ten</li></ol>"
                              "<ol start=\"x\"><li>bad start</li></ol><li>stray</li><menu><li>tool</li></menu>",
                              "", sink)
                  .ok());
  EXPECT_EQ(sink.Joined(), "iv. four\nA. a\nB. b\nv. five\nix. nine\nx. ten\n1. bad start\n\u2022 stray\n\u2022 tool\n");
}

TEST(HtmlFilter, AnItemsFirstParagraphFollowsItsLabel) {
  // Items whose text is in paragraphs, headings or other blocks: the first
  // block is on the label's line, later ones on lines of their own; an item
  // that starts with a table or a list, or holds nothing, keeps its label apart.
  TextSink sink;
  ASSERT_TRUE(ExtractHtmlText("<ul><li><p>Item one</p></li><li><div><p>Two</p></div><p>second para</p></li>"
                              "<li>  <pre>code</pre></li><li><table><tr><td>cell</td></tr></table></li>"
                              "<li><ul><li>inner</li></ul></li><li><p></p></li><li>Plain</li></ul>"
                              "<ol><li><h3>Heading item</h3></li></ol>",
                              "", sink)
                  .ok());
  EXPECT_EQ(sink.Joined(),
            "\u2022 Item one\n\u2022 Two\nsecond para\n\u2022 code\n\u2022 \ncell\n\u2022 \n\u2022 inner\n"
            "\u2022 \n\u2022 Plain\n1. Heading item\n");
}

TEST(HtmlFilter, CellsOfOneParagraphKeepTheirRowOnOneLine) {
  // Cells whose text is wrapped in paragraphs (as word processors and wikis
  // write them) stay tab-separated; a cell of several paragraphs keeps them
  // on lines of their own, as does text after a nested table.
  TextSink sink;
  ASSERT_TRUE(ExtractHtmlText("<table><tr><td><p>a</p></td><td><p>b</p></td></tr>"
                              "<tr><td><p>one</p><p>two</p></td><td>x</td></tr>"
                              "<tr><td>before<table><tr><td>in1</td><td>in2</td></tr></table>after</td>"
                              "<td><div><p>deep</p></div></td></tr>"
                              "<tr><td>L<ul><li><p>i1</p></li><li><p>i2</p></li></ul></td><td>last</td></tr></table>"
                              "<p>Out</p>",
                              "", sink)
                  .ok());
  EXPECT_EQ(sink.Joined(),
            "a\tb\none\ntwo\tx\nbefore\nin1\tin2\nafter\tdeep\nL\n\u2022 i1\n\u2022 i2\n\tlast\nOut\n");
}

TEST(HtmlFilter, PicturesShowTheirAlternativeTextButNotTheirFileName) {
  TextSink sink;
  ASSERT_TRUE(ExtractHtmlText("<p>A <img alt=\"red car\" src=\"car.jpg\"> and "
                              "<img alt=\" OEBPS/images/image0001.JPG \"><img alt=\"image001.png\"> end "
                              "<img alt=\"Fig. 2.png version\"> <img alt=\"v1.2\"></p>",
                              "", sink)
                  .ok());
  EXPECT_EQ(sink.Joined(), "A red car and end Fig. 2.png version v1.2\n");
}

TEST(HtmlFilter, XhtmlCdataIsTextWhereverTheReadsSplitIt) {
  const std::string head = "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>";
  TextSink small;
  ASSERT_TRUE(ExtractHtmlText(head + "a <![CDATA[x < y & <b>]]> b<!-- <![CDATA[ --> c</p></body></html>", "", small).ok());
  EXPECT_EQ(small.Joined(), "a x < y & <b> b c\n");

  // Pages are parsed in blocks of 256 KiB: put each marker across a block end.
  for (std::size_t back : {1, 4, 8, 10, 12}) {
    const std::size_t block = 256 * 1024;
    std::string filler(block - head.size() - back, 'f');
    std::string page = head + filler + "<![CDATA[1<2]]>" + " end</p></body></html>";
    TextSink sink;
    ASSERT_TRUE(ExtractHtmlText(page, "", sink).ok());
    std::string text = sink.Joined();
    EXPECT_EQ(text.substr(text.size() - 9), "f1<2 end\n") << back;
  }

}

TEST(HtmlFilter, NothingOfADoctypeIsEverTextWhereverTheReadsSplitIt) {
  const std::string doctype =
      "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" \"x.dtd\" [\n"
      "  <!ENTITY lol1 \"lol]>lol\">\n"
      "  <!-- a comment ]> with <!ENTITY fake \"no\"> -->\n"
      "  <!ENTITY % param \"p\">\n"
      "  <!ENTITY xxe SYSTEM 'file:///etc/passwd'>\n"
      "]>\n";
  const std::string head = "<?xml version=\"1.0\"?>";
  const std::string body = "<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>Hello &xxe; and &lol1; &amp; "
                           "&fake; world</p></body></html>";
  for (const std::string& prolog : {head, std::string()}) {  // XHTML, and a page read as HTML
    TextSink sink;
    ASSERT_TRUE(ExtractHtmlText(prolog + doctype + body, "", sink).ok());
    EXPECT_EQ(sink.Joined(), "Hello and & &fake; world\n");
  }
  // Pages are parsed in blocks of 256 KiB: put each part of the declaration
  // across a block end.
  const std::size_t block = 256 * 1024;
  for (std::size_t at = 0; at < doctype.size(); at += 13) {
    std::string page = head + "<!--" + std::string(block - head.size() - 7 - at, 'f') + "-->" + doctype + body;
    TextSink sink;
    ASSERT_TRUE(ExtractHtmlText(page, "", sink).ok());
    EXPECT_EQ(sink.Joined(), "Hello and & &fake; world\n") << at;
  }
}

TEST(HtmlFilter, MathMlFormulasAreOneLineInTheirParagraph) {
  TextSink sink;
  ASSERT_TRUE(ExtractHtmlText("<p>Einstein: <math><mi>E</mi><mo>=</mo><mi>m</mi><msup><mi>c</mi><mn>2</mn></msup>"
                              "</math>, famous.</p><p>Frac <m:math><m:mfrac><m:mn>1</m:mn><m:mi>x</m:mi></m:mfrac></m:math>"
                              "</p><p>after</p>",
                              "", sink)
                  .ok());
  EXPECT_EQ(sink.Joined(), "Einstein: E = mc\u00B2, famous.\nFrac 1/x\nafter\n");
}

TEST(HtmlFilter, HintAndByteOrderMarkForEmbeddedHtml) {
  const std::string cp1251 = "<p>\xCF\xF0\xE8\xE2\xE5\xF2</p>";  // "Привет"
  TextSink hinted;
  EXPECT_TRUE(ExtractHtmlText(cp1251, "windows-1251", hinted).ok());
  EXPECT_EQ(hinted.Joined(), "Привет\n");

  TextSink marked;
  EXPECT_TRUE(ExtractHtmlText("\xEF\xBB\xBF<p>caf\xC3\xA9</p>", "windows-1251", marked).ok());
  EXPECT_EQ(marked.Joined(), "café\n");
}

TEST(HtmlFilter, NestedTablesAndCellsKeepTheirRows) {
  TextSink sink;
  ExtractHtmlText(
      "<table><tr><td>a</td><td><table><tr><td>x</td><td>y</td></tr></table></td><td>b</td></tr>"
      "<tr><td>c<br>d</td><td>e</td></tr></table>",
      "", sink);
  EXPECT_EQ(sink.Joined(), "a\t\nx\ty\n\tb\nc d\te\n");
}

TEST(HtmlFilter, TextLimitStopsTheParser) {
  std::string page = "<html><body>";
  for (int i = 0; i < 20000; ++i) page += "<p>paragraph number " + std::to_string(i) + "</p>\n";
  TextSink sink(5000);
  ExtractResult r = ExtractHtmlText(page, "", sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kIncomplete);
  EXPECT_LE(sink.size(), 5000u);
}

TEST(HtmlFilter, BinaryDataIsRefused) {
  TempDir dir;
  std::string bytes(4096, '\0');
  for (std::size_t i = 0; i < bytes.size(); i += 3) bytes[i] = static_cast<char>(i * 7);
  ConvertResult r = ConvertFile(test::Builtins(), WriteFile(dir.path() / "junk.html", bytes), "");
  EXPECT_EQ(r.outcome, Outcome::kNoText);
  EXPECT_NE(r.reason.find("binary"), std::string::npos) << r.reason;
}

TEST(HtmlFilter, DeclarationsThatCannotBeTrueGiveWay) {
  TempDir dir;
  // "unicode" names UTF-16, which an ASCII declaration cannot be in: UTF-8.
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "unicode.html",
                                "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=unicode\">"
                                "</head><body><p>Grüße, 日本語</p></body></html>")),
            "Grüße, 日本語\n");
  // A page declaring UTF-8 whose bytes are windows-1251.
  const std::string russian = "Съешь же ещё этих мягких французских булок, да выпей же чаю. Широкая электрификация.";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "mislabelled.html",
                                "<html><head><meta charset=\"utf-8\"></head><body><p>" + russian +
                                    "</p></body></html>")),
            russian + "\n")
      << "control: a true declaration still holds";
  std::string cp1251;
  for (std::size_t i = 0; i < russian.size();) {
    // Cyrillic letters of the sample are U+0410..U+044F plus ё: their
    // windows-1251 bytes.
    auto c = static_cast<unsigned char>(russian[i]);
    if (c < 0x80) {
      cp1251 += static_cast<char>(c);
      ++i;
      continue;
    }
    char32_t cp = ((c & 0x1F) << 6) | (static_cast<unsigned char>(russian[i + 1]) & 0x3F);
    cp1251 += static_cast<char>(cp == 0x451 ? 0xB8 : cp - 0x410 + 0xC0);
    i += 2;
  }
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "cp1251.html",
                                "<html><head><meta charset=\"utf-8\"></head><body><p>" + cp1251 + "</p></body></html>")),
            russian + "\n");
  // The other way round: UTF-8 declared as a single-byte code page (a
  // template's old meta tag), given as a mail part's charset too; a page
  // truly in that code page keeps it.
  const std::string latin1 = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">"
                             "</head><body><p>";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "utf8-as-latin1.html", latin1 + "Grüße, café</p></body></html>")),
            "Grüße, café\n");
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "latin1.html", latin1 + "Gr\xFC\xDF" "e, caf\xE9</p></body></html>")),
            "Grüße, café\n");
  TextSink hinted;
  EXPECT_TRUE(ExtractHtmlText("<p>Grüße, café</p>", "iso-8859-1", hinted).ok());
  EXPECT_EQ(hinted.Joined(), "Grüße, café\n");
  TextSink plain;
  EXPECT_TRUE(ExtractHtmlText("<p>plain ASCII</p>", "iso-8859-1", plain).ok());
  EXPECT_EQ(plain.Joined(), "plain ASCII\n");
}

TEST(HtmlFilter, PicturesShowTheirAlternativeTextAndRubyItsReading) {
  TempDir dir;
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "alt.html",
                                "<p><img src=\"t.png\" alt=\"T\">he story of a <img src=\"c.png\" alt=\" red  car \">"
                                "<img src=\"spacer.gif\" alt=\"\"> and <img src=\"x.png\">more.</p>"
                                "<p>Capital: <ruby>東京\n<rp>(</rp><rt>とうきょう</rt><rp>)</rp></ruby> is big.</p>")),
            "The story of a red car and more.\nCapital: 東京(とうきょう) is big.\n");
}

TEST(HtmlFilter, ControlsStandApartMediaFallbackIsNeverShownQuotesAreMarked) {
  // A label, a field and a button written without white space between them
  // are three boxes, not one word; a button shows its caption; the field's
  // value and a hidden input are not the page's text; what a browser shows
  // only when it cannot play a video or audio is never shown.
  EXPECT_EQ(Extracted(kHtml + "controls_media_quotes.html"),
            "Order form\n"
            "Name Send now Clear Size\n"
            "Small\n"
            "Large\n"
            "Watch and listen closely.\n"
            "She said \u201Cit was \u2018fine\u2019 then\u201D and left.\n");
}

TEST(HtmlFilter, OneBranchOfASwitchAndNoHiddenNavigation) {
  // An e-book's content switch shows its first case in markup that is
  // understood (MathML), else its default, never both; a hidden navigation
  // list (the printed pages) is not shown.
  EXPECT_EQ(Extracted(kHtml + "epub_switch_nav.html"),
            "Switches\n"
            "1. Chapter One\n"
            "Unknown markup:\n"
            "default text\n"
            "A formula:\n"
            "x+1\n"
            "End.\n");
}

TEST(HtmlFilter, StrayEndTagsOfParagraphsAndBreaks) {
  // An end tag that ends nothing: </p> is an empty paragraph (the words
  // before and after it are on lines of their own), </br> a break (a space
  // in a table cell); another, such as </div>, changes nothing.
  EXPECT_EQ(Extracted(kHtml + "stray_end_tags.html"),
            "one\n"
            "two\n"
            "three\n"
            "bold words\n"
            "line\n"
            "\n"  // <br></br>: two breaks
            "break\n"
            "cell text more\n"
            "ab\n");
}

TEST(HtmlFilter, APageBreakOfAMobiBookPartsTheWords) {
  TextSink sink;
  ASSERT_TRUE(ExtractHtmlText("<p>The end.<mbp:pagebreak/>Chapter two</p><mbp:pagebreak/>Next", "", sink).ok());
  EXPECT_EQ(sink.Joined(), "The end.\nChapter two\nNext\n");
}

TEST(HtmlFilter, MarkersOfRevealedConditionalCommentsAreNotText) {
  // A page saved by an office program: "<![if !supportLists]>" and
  // "<![endif]>" show nothing, what they enclose is text, and a marker
  // inside a comment changes nothing.
  EXPECT_EQ(Extracted(kHtml + "office_conditional.html"), "\u00B7   First item\nText\nFootnote ref[1] here.\n \n");

  // Pages are parsed in blocks of 256 KiB: put a marker across each block end.
  const std::string head = "<html><body><p>";
  for (std::size_t back : {1, 3, 6, 9, 12}) {
    const std::size_t block = 256 * 1024;
    std::string page = head + std::string(block - head.size() - back, 'f') + "<![endif]>x<!-- <![if a]> -->y</p>";
    TextSink sink;
    ASSERT_TRUE(ExtractHtmlText(page, "", sink).ok());
    std::string text = sink.Joined();
    EXPECT_EQ(text.substr(text.size() - 4), "fxy\n") << back;
  }
}

TEST(HtmlFilter, DeclaredCharsetForms) {
  EXPECT_EQ(DeclaredHtmlCharset("<html><head><meta charset=utf-8>"), "utf-8");
  EXPECT_EQ(DeclaredHtmlCharset("<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=ISO-8859-2\">"),
            "iso-8859-2");
  EXPECT_EQ(DeclaredHtmlCharset("<meta name=x content=y><meta charset='koi8-r' />"), "koi8-r");
  EXPECT_EQ(DeclaredHtmlCharset("<?xml version=\"1.0\" encoding='windows-1250'?><html>"), "windows-1250");
  EXPECT_EQ(DeclaredHtmlCharset("<html><head><title>charset=x</title></head>"), "");
}

}  // namespace
}  // namespace quarn

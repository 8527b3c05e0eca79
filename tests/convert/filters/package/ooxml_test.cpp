// The Word, spreadsheet and presentation filters over small packages written
// by tests/data/package/ooxml/make.py: exact text for the samples, a clean refusal or
// a partial result said so for damaged and hostile ones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>

#include "convert/filter.h"
#include "convert/filters/builtin.h"
#include "convert/filters/common/list_label.h"
#include "convert/filters/markup/math_text.h"
#include "convert/filters/package/pptx_lists.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

std::string Data(const std::string& name) { return std::string(QUARN_TEST_DATA) + "/package/ooxml/" + name; }

struct Extracted {
  ExtractResult result;
  std::string text;
};

Extracted Extract(std::string_view filter, const std::string& path) {
  TextSink sink;
  Extracted r{ExtractWithBuiltin(filter, path, sink), {}};
  r.text = sink.Joined();
  return r;
}

TEST(Docx, BodyInOrderThenHeadersFootersNotesAndComments) {
  Extracted r = Extract("docx", Data("sample.docx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text,
            "Plain paragraph with \ta tab.\n"
            "Line one\nline two\n"
            "First item\nSecond item\n"
            "A1\tB1 more\t\tD1\n"
            "A2\tin1 in2\n"
            "Kept inserted\n"
            "Page 7 of 9\n"
            "Before box Inside the box\n"
            "Symbol \u03B1 e-mail-x \u03C0=\u03C1\u2265 \u2611 p\n"
            "Ελληνικά, 日本語, русский, עברית and 😀 emoji\n"
            "Note here1 and therei.\n"
            "Header text\nFooter text\n1 The footnote.\ni The endnote.\nA comment.\n");
}

TEST(Docx, RubyNoteMarksChartsDiagramsAndEmbeddedObjectsWhereTheyStand) {
  Extracted r = Extract("docx", Data("features.docx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text,
            "The capital 東京(とうきょう) is large.\n"
            // Footnotes lettered from "c" as the settings say; a custom mark
            // is the text that follows the reference.
            "Sourcesc vary\u2020.\n"
            "Figures:\nRevenue\n2019\n2020\nJan 2020\n1-Feb\nNorth\n"
            "Plan\nBuild\nShip\n"
            "Cell with Data Embedded cell 42\tnext\n"
            "c A lettered note.\n\u2020 A custom note.\n");
}

TEST(Docx, FormFieldsShowTheirBoxesAndChosenEntries) {
  // Word writes no result text for check boxes and drop-down lists: a box
  // ticked or by default ticked, one unticked against its default; the
  // chosen entry, else the first; a text field's result as it stands.
  Extracted r = Extract("docx", Data("form_fields.docx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text, "Member \u2612 guest \u2612 staff \u2610 end.\nOffice: Troms\u00f8, first: Oslo.\nName: Jane Doe.\n");
}

TEST(Docx, ImportedChunksAreReadWhereTheyStandByTheirContentType) {
  // Web page, RTF, web archive, a whole Word document and plain text, under
  // names that say nothing; one in a cell; a reference to nothing and one to
  // a missing part cost nothing.
  Extracted r = Extract("docx", Data("alt_chunks.docx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text,
            "Before the chunks.\n"
            "Title not shown\nImported web page.\nA\tB\n"
            "Imported RTF text.\n"
            "Imported web archive, caf\u00e9.\n"
            "Imported Word paragraph.\n"
            "Imported plain text.\n"
            "Cell Chunk in a cell\tnext\n"
            "After the chunks.\n");
}

TEST(Docx, NumberedParagraphsStartWithTheLabelAReaderSees) {
  // Levels count on and restart under their parent, instances start anew,
  // list styles number through basedOn, tracked changes' old properties and
  // undefined lists or levels give no label.
  Extracted r = Extract("docx", Data("lists.docx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text,
            "1. One\na) Sub a\nb) Sub b\n2. Two\na) Sub again\n(i) Deep\n3. Three\n"
            "Plain\n5. Five\n6. Six\n"
            "\u2022 Dot\n\u25AA Square\nNot a bullet\n"
            "A. Legal\n1.1. Legal child\nIV Roman\n"
            "No definition\nUndefined level\n"
            "B. In a cell\tnext\n");
}

TEST(Docx, ListNumbersInEachFormat) {
  using quarn::FormatListNumber;
  EXPECT_EQ(FormatListNumber(4, "decimal"), "4");
  EXPECT_EQ(FormatListNumber(7, "decimalZero"), "07");
  EXPECT_EQ(FormatListNumber(12, "decimalZero"), "12");
  EXPECT_EQ(FormatListNumber(1994, "upperRoman"), "MCMXCIV");
  EXPECT_EQ(FormatListNumber(4, "lowerRoman"), "iv");
  EXPECT_EQ(FormatListNumber(4000, "lowerRoman"), "4000");
  EXPECT_EQ(FormatListNumber(0, "upperRoman"), "0");
  EXPECT_EQ(FormatListNumber(26, "lowerLetter"), "z");
  EXPECT_EQ(FormatListNumber(28, "upperLetter"), "BB");
  EXPECT_EQ(FormatListNumber(100000, "lowerLetter"), "100000");
  EXPECT_EQ(FormatListNumber(3, "chineseCounting"), "3");
  EXPECT_EQ(FormatListNumber(3, "none"), "");
}

TEST(Docx, FormulasAreOneLineInTheirParagraph) {
  Extracted r = Extract("docx", Data("math.docx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text, "Area A = (a+b)/2\u22C5x\u00B2 holds.\n");
}

// Formula markup parsed from text, its root element handed to the reader.
std::string MathOf(const std::string& xml, bool omml) {
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET | XML_PARSE_HUGE),
      xmlFreeDoc);
  if (!doc) return "(not XML)";
  xmlNodePtr root = xmlDocGetRootElement(doc.get());
  return omml ? OmmlText(root) : MathMlText(root);
}

std::string Omml(const std::string& inner) {
  return MathOf("<m:oMath xmlns:m=\"http://schemas.openxmlformats.org/officeDocument/2006/math\">" + inner +
                    "</m:oMath>",
                true);
}
std::string R(const std::string& t) { return "<m:r><m:t>" + t + "</m:t></m:r>"; }

TEST(Math, OfficeMathStructuresReadInLinearForm) {
  EXPECT_EQ(Omml("<m:f><m:num>" + R("1") + "</m:num><m:den>" + R("n+1") + "</m:den></m:f>"), "1/(n+1)");
  EXPECT_EQ(Omml("<m:sSup><m:e>" + R("e") + "</m:e><m:sup>" + R("i\u03C0") + "</m:sup></m:sSup>"), "e^(i\u03C0)");
  EXPECT_EQ(Omml("<m:sSub><m:e>" + R("x") + "</m:e><m:sub>" + R("12") + "</m:sub></m:sSub>"), "x\u2081\u2082");
  EXPECT_EQ(Omml("<m:nary><m:naryPr><m:chr m:val=\"\u2211\"/></m:naryPr><m:sub>" + R("i=1") + "</m:sub><m:sup>" + R("n") +
                 "</m:sup><m:e>" + R("i") + "</m:e></m:nary>"),
            "\u2211_(i = 1)\u207F i");
  EXPECT_EQ(Omml("<m:rad><m:deg>" + R("3") + "</m:deg><m:e>" + R("x+1") + "</m:e></m:rad>"), "\u221B(x+1)");
  EXPECT_EQ(Omml("<m:rad><m:radPr><m:degHide m:val=\"1\"/></m:radPr><m:deg/><m:e>" + R("2") + "</m:e></m:rad>"),
            "\u221A2");
  EXPECT_EQ(Omml("<m:d><m:dPr><m:begChr m:val=\"[\"/><m:endChr m:val=\"]\"/><m:sepChr m:val=\",\"/></m:dPr><m:e>" +
                 R("a") + "</m:e><m:e>" + R("b") + "</m:e></m:d>"),
            "[a,b]");
  EXPECT_EQ(Omml("<m:func><m:fName>" + R("cos") + "</m:fName><m:e>" + R("x") + "</m:e></m:func>"), "cos x");
  EXPECT_EQ(Omml("<m:m><m:mr><m:e>" + R("1") + "</m:e><m:e>" + R("0") + "</m:e></m:mr><m:mr><m:e>" + R("0") +
                 "</m:e><m:e>" + R("1") + "</m:e></m:mr></m:m>"),
            "[1, 0; 0, 1]");
}

TEST(Math, MathMlReadInLinearFormWithoutItsAnnotations) {
  const std::string ns = "<math xmlns=\"http://www.w3.org/1998/Math/MathML\">";
  EXPECT_EQ(MathOf(ns + "<semantics><mrow><mi> x </mi><mo>\u2264</mo><mfrac><mn>1</mn><msqrt><mi>y</mi><mo>+</mo>"
                        "<mn>1</mn></msqrt></mfrac></mrow><annotation>x leq 1 over sqrt{y+1}</annotation></semantics></math>",
                   false),
            "x \u2264 1/\u221A(y+1)");
  EXPECT_EQ(MathOf(ns + "<munderover><mo>\u2211</mo><mrow><mi>k</mi><mo>=</mo><mn>0</mn></mrow><mi>m</mi></munderover>"
                        "<mover accent=\"true\"><mi>v</mi><mo>\u2192</mo></mover><mroot><mi>z</mi><mn>5</mn></mroot></math>",
                   false),
            "\u2211_(k = 0)^m v \u2192 \u2075\u221Az");
  EXPECT_EQ(MathOf(ns + "<mfenced open=\"{\" close=\"}\"><mi>a</mi><mi>b</mi></mfenced><mtable><mtr><mtd><mn>1</mn></mtd>"
                        "<mtd><mn>2</mn></mtd></mtr></mtable></math>",
                   false),
            "{a,b}[1, 2]");
  // Nesting far beyond any formula costs no more than the cap.
  std::string deep = ns;
  for (int i = 0; i < 5000; ++i) deep += "<mrow>";
  deep += "<mi>lost</mi>";
  for (int i = 0; i < 5000; ++i) deep += "</mrow>";
  EXPECT_EQ(MathOf(deep + "<mi>kept</mi></math>", false), "kept");
}

TEST(Math, AStreamedFormulaIsReadThroughButKeptOnlySoLarge) {
  std::string xml = "<r><math xmlns=\"http://www.w3.org/1998/Math/MathML\">";
  for (int i = 0; i < 150000; ++i) xml += "<mi>x</mi>";
  xml += "</math><after/></r>";
  std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> r(
      xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET), xmlFreeTextReader);
  ASSERT_TRUE(r);
  while (xmlTextReaderRead(r.get()) == 1 && !xmlStrEqual(xmlTextReaderConstLocalName(r.get()), BAD_CAST "math")) {
  }
  int status = 0;
  std::string text = ReadMathText(r.get(), MathKind::kMathMl, &status);
  EXPECT_EQ(status, 1);
  EXPECT_GT(text.size(), 60000u);
  EXPECT_LE(text.size(), 65536u);  // a formula is a line, not a document
  // The reader stands on the formula's end: the next element is the one after it.
  ASSERT_EQ(xmlTextReaderRead(r.get()), 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(xmlTextReaderConstLocalName(r.get())), "after");
}

TEST(Xlsx, SheetsInWorkbookOrderWithTheValuesShown) {
  // Cells as their number formats show them; drawings, charts (with number
  // and date categories, not values), diagrams, an embedded document and
  // comments after the rows.
  Extracted r = Extract("xlsx", Data("sample.xlsx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text,
            "Zahlen\n"
            "Name\t\tRich text\n"
            "3\t0.3\t1234567.5\t-0.0025\n"
            "3/15/2023\t2023-03-15 18:00\tday12.00\t12:00\t2/29/1900\n"
            "TRUE\tFALSE\t#DIV/0!\t6\tab\n"
            "\tinline\n"
            "10.68%\t-25.0%\t100%\t0%\t0.50%\n"
            "1,234,567\t-1,234.50\t-1,234.50 \u20AC\t2 3/4\t1.23E+05\tWednesday, March 15, 2023\t12 kg\t6:00 PM\t36:00\t"
            "123-45-6789\t1234567890123456\t9007199254740993\t$ 1,234.50\n"
            "Box line one\nBox line two\nChart title\nSales\nQ1\nQ2\n"
            "Revenue\n2019\n2020\nJan 2020\n1-Feb\nNorth\n"
            "Plan\nBuild\nShip\n"
            "Embedded document text\n"
            "A remark\n"
            "Текст\n"
            "東京\t😀 emoji\n");
}

TEST(Xlsx, DatesFollowThe1904SystemOfTheMainWorkbookProperties) {
  Extracted r = Extract("xlsx", Data("date1904.xlsx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text, "S\n1/1/1904\t1/1/1905\n3/5/2024\t43894\t2024-03-05 18:30\tsoon\n");
}

TEST(Xlsx, EscapedCharactersAndTextFormatsShowAsInTheSheet) {
  // "_xHHHH_" codes carry line ends, tabs and characters outside XML in
  // shared, inline and formula strings; text takes its format's text section.
  Extracted r = Extract("xlsx", Data("strings.xlsx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text,
            "S\n"
            "Line one Line two\tTab here _x0041_ stays\n"
            "Bell gone, \U0001F600 kept, \u00E9, _x12G4_ as is\n"
            "In line\tFormula result\n"
            "Ref: abc\tabc kg\t2.50\tRef: abc\tabc\n");
}

TEST(Xlsx, RichValuesShowTheirDisplayStringNotTheirStandInError) {
  // A linked data type shows its name, a picture in a cell nothing; a real
  // error and a cell whose metadata is missing keep their value.
  Extracted r = Extract("xlsx", Data("rich_values.xlsx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text, "S\nContoso Ltd\t\t#VALUE!\t#N/A\t1\n");
}

// Binary workbooks: the samples of make_xlsb.py, which LibreOffice reads
// as the same sheets.
TEST(Xlsb, SheetsInWorkbookOrderWithTheValuesShownAndComments) {
  Extracted r = Extract("xlsb", Data("sample.xlsb"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text,
            "Budget\n"
            "Item\tAmount\tShare\n"
            "Tea\t1,234.00\t25.00%\n"          // an inline string, an integer RK, a double, custom formats
            "Coffee\t12.5\t3\n"                // an RK in hundredths, a formula's cached number
            "\tTRUE\t#DIV/0!\n"                // a blank styled cell, a boolean, an error
            "Rich text\t\t\t3/15/2024\n"       // a rich string; a built-in date format
            "\tab\t#N/A\n"                     // a formula's cached string and error
            "Check the amount\n"                // the sheet's comment
            "Zweite \u00dcbersicht\n"
            "Gr\u00fc\u00dfe aus K\u00f6ln\t1.5\tFALSE\n"
            "\t\t\t\tfar column\n");
  Extracted dates = Extract("xlsb", Data("date1904.xlsb"));
  EXPECT_EQ(dates.text, "Dates\n3/15/2024\n");
}

TEST(Xlsb, DamageCostsOnlyWhatFollowsIt) {
  // A cell past the last column and a string longer than its record are
  // passed over; a record longer than the rest of the part ends the sheet.
  Extracted r = Extract("xlsb", Data("damaged.xlsb"));
  EXPECT_EQ(r.result.status, ExtractResult::Status::kIncomplete) << r.result.reason;
  EXPECT_EQ(r.text, "S\nkept\t\talso kept\n");
  EXPECT_THAT(r.result.reason, ::testing::HasSubstr("xl/worksheets/sheet1.bin is damaged"));

  // Each name reaches the reader its content calls for.
  test::TempDir dir;
  const fs::path xlsb_as_xlsx = dir.path() / "binary.xlsx", xlsx_as_xlsb = dir.path() / "xml.xlsb";
  fs::copy_file(Data("sample.xlsb"), xlsb_as_xlsx);
  fs::copy_file(Data("sample.xlsx"), xlsx_as_xlsb);
  EXPECT_EQ(test::Extracted(xlsb_as_xlsx.string()).substr(0, 7), "Budget\n");
  EXPECT_EQ(test::Extracted(xlsx_as_xlsb.string()), test::Extracted(Data("sample.xlsx")));
}

TEST(Pptx, SlidesInPresentationOrderEachWithItsNotes) {
  Extracted r = Extract("pptx", Data("sample.pptx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  std::string want = "Slide 1 title\nPoint 1\nc1\tc2\nПривет, 世界 🎉\n\u03B1+\u03B2 \u03C0 or p and a\nNote for slide 1\n";
  for (int i = 2; i <= 12; ++i) {
    want += "Slide " + std::to_string(i) + " title\nPoint " + std::to_string(i) + "\n";
    if (i % 2 == 1) want += "Note for slide " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(r.text, want);
}

TEST(Pptx, ListLabelsFootersDiagramsEmbeddedObjectsAndMasterText) {
  Extracted r = Extract("pptx", Data("features.pptx"));
  ASSERT_TRUE(r.result.ok()) << r.result.reason;
  // Bullets come from the master's text styles through the layout; numbers
  // count per level, restart under a new scheme or start, and skip empty
  // paragraphs; a symbol font's bullet becomes its look-alike.  The typed
  // footer is slide text; the date field and slide number are not.
  const std::string slide =
      "Agenda\n"
      "\u2022 First point\n\u2013 Sub point\nNo bullet\n"
      "1. Step one\na) Detail\nb) Detail two\n2. Step two\nI. Roman\nc. Third letter\n"
      "\u25AA Wingdings square\n"
      "Quarterly review, internal\n"
      "Revenue\n2019\n2020\nJan 2020\n1-Feb\nNorth\n"
      "Plan\nBuild\nShip\n"
      "Data\nEmbedded cell\t42\n";
  EXPECT_EQ(r.text.substr(0, slide.size()), slide);
  // The Excel 97-2003 object, then the notes without the notes page's header
  // and footer boxes.
  EXPECT_NE(r.text.find("Tea\t2.5"), std::string::npos) << r.text;
  // Comments follow their slide's notes, in the older and the newer form.
  const std::string end =
      "Speaker notes here\n"
      "Closing words\n"
      "Reviewer asks for a date\n"
      "Full-bleed picture slide\n"
      "Reply: agreed\nModern comment text\n"
      // Text placed on the layout and master outside placeholders, once;
      // the layout only a slide hiding master shapes uses is not shown.
      "Layout tagline\nAcme Corporation confidential\n";
  ASSERT_GE(r.text.size(), end.size());
  EXPECT_EQ(r.text.substr(r.text.size() - end.size()), end);
  EXPECT_EQ(r.text.find("Embedded cell"), r.text.rfind("Embedded cell")) << "an object shown twice is read once";
  for (const char* absent : {"Click to edit", "Master footer prompt", "Unused layout text", "3/15/2023",
                             "Notes master header", "Notes footer", "Secret property title", "Property Author"})
    EXPECT_EQ(r.text.find(absent), std::string::npos) << absent;
}

TEST(Pptx, AutomaticNumberSchemesAndSymbolFontBullets) {
  using pptx::AutoNumberLabel;
  EXPECT_EQ(AutoNumberLabel("arabicPeriod", 12), "12.");
  EXPECT_EQ(AutoNumberLabel("alphaLcParenBoth", 3), "(c)");
  EXPECT_EQ(AutoNumberLabel("alphaUcParenR", 28), "BB)");
  EXPECT_EQ(AutoNumberLabel("romanUcPeriod", 4), "IV.");
  EXPECT_EQ(AutoNumberLabel("romanLcParenR", 9), "ix)");
  EXPECT_EQ(AutoNumberLabel("arabicPlain", 7), "7");
  EXPECT_EQ(AutoNumberLabel("arabic1Minus", 2), "2-");
  EXPECT_EQ(AutoNumberLabel("circleNumDbPlain", 3), "\u2462");
  EXPECT_EQ(AutoNumberLabel("circleNumWdBlackPlain", 25), "25");
  EXPECT_EQ(AutoNumberLabel("thaiAlphaPeriod", 5), "5.");
  pptx::Bullet b;
  b.kind = pptx::Bullet::Kind::kChar;
  b.text = "\u00A7";
  b.font = "Wingdings";
  EXPECT_EQ(pptx::BulletText(b), "\u25AA");
  b.text = "\u00B7";
  b.font = "Symbol";
  EXPECT_EQ(pptx::BulletText(b), "\u2022");
  b.text = "\u2013";
  b.font = "Arial";
  EXPECT_EQ(pptx::BulletText(b), "\u2013");
  b.text.clear();
  EXPECT_EQ(pptx::BulletText(b), "\u2022");
}

TEST(Ooxml, EmbeddedObjectsNestedWithoutEndCostOnlyTheirDepth) {
  // Thirteen presentations (and Word documents) each embedding the next:
  // read to a bounded depth, then left.
  for (auto [filter, file, words] : {std::tuple{"pptx", "self_embedding.pptx", "Nested slide"},
                                     std::tuple{"docx", "self_embedding.docx", "Nested paragraph"}}) {
    Extracted r = Extract(filter, Data(file));
    ASSERT_TRUE(r.result.ok()) << r.result.reason;
    std::size_t copies = 0;
    for (std::size_t at = r.text.find(words); at != std::string::npos; at = r.text.find(words, at + 1)) ++copies;
    EXPECT_GE(copies, 2u) << file;
    EXPECT_LE(copies, 8u) << file;
  }
}

TEST(Ooxml, RegisteredExtensionsReachTheFiltersThroughThePipeline) {
  Registry registry;
  registry.AddBuiltins();
  fs::path dir = fs::path(QUARN_BINARY_DIR) / "ooxml_pipeline";
  fs::create_directories(dir);
  // A mislabelled package goes to the filter its content belongs to.
  fs::copy_file(Data("sample.xlsx"), dir / "sheet.docm", fs::copy_options::overwrite_existing);
  fs::copy_file(Data("sample.pptx"), dir / "show.ppsx", fs::copy_options::overwrite_existing);
  FilterText sheet = ExtractFilterText(registry, (dir / "sheet.docm").string());
  EXPECT_NE(sheet.text.find("TRUE\tFALSE"), std::string::npos) << sheet.problem;
  FilterText show = ExtractFilterText(registry, (dir / "show.ppsx").string());
  EXPECT_NE(show.text.find("Slide 12 title"), std::string::npos) << show.problem;
  EXPECT_FALSE(show.incomplete);
  // Office 2003 XML under an Office Open XML name, as programs that export
  // "Excel" or "Word" files write it, is read as the XML it is.
  test::WriteFile(dir / "export.xlsx",
                  "<?xml version=\"1.0\"?><Workbook xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\" "
                  "xmlns:ss=\"urn:schemas-microsoft-com:office:spreadsheet\"><Worksheet ss:Name=\"Report\"><Table>"
                  "<Row><Cell><Data ss:Type=\"String\">Total</Data></Cell><Cell><Data ss:Type=\"Number\">42</Data>"
                  "</Cell></Row></Table></Worksheet></Workbook>");
  test::WriteFile(dir / "letter.docx",
                  "<?xml version=\"1.0\"?><w:wordDocument xmlns:w=\"http://schemas.microsoft.com/office/word/2003/wordml\">"
                  "<w:body><w:p><w:r><w:t>Dear reader</w:t></w:r></w:p></w:body></w:wordDocument>");
  EXPECT_EQ(ExtractFilterText(registry, (dir / "export.xlsx").string()).text, "Report\nTotal\t42\n");
  EXPECT_EQ(ExtractFilterText(registry, (dir / "letter.docx").string()).text, "Dear reader\n");
}

using ScratchDir = test::ScratchTest;

TEST_F(ScratchDir, FlatXmlPackagesReadAsTheDocumentsTheyHold) {
  // One XML file of every part (Word's "Word XML Document", PowerPoint's
  // "XML Presentation"), named .xml: the same text as the package.
  Registry registry;
  registry.AddBuiltins();
  for (auto [flat, package] : {std::pair{"flat-document.xml", "sample.docx"}, {"flat-presentation.xml", "sample.pptx"}}) {
    FilterText from_flat = ExtractFilterText(registry, Data(flat));
    FilterText from_package = ExtractFilterText(registry, Data(package));
    EXPECT_FALSE(from_flat.incomplete) << flat << ": " << from_flat.problem;
    EXPECT_FALSE(from_flat.text.empty()) << flat;
    EXPECT_EQ(from_flat.text, from_package.text) << flat;
  }
  // Damage costs what it breaks: a file cut short keeps the parts before
  // the cut; one without parts is refused with a reason.
  std::string bytes = test::ReadFile(Data("flat-document.xml"));
  const std::size_t header = bytes.find("<pkg:part pkg:name=\"/word/header1.xml\"");
  ASSERT_NE(header, std::string::npos);
  const std::size_t document = bytes.find("<pkg:part pkg:name=\"/word/document.xml\"");
  ASSERT_LT(document, header);
  FilterText cut = ExtractFilterText(registry, Write("cut.xml", bytes.substr(0, header + 60)).string());
  EXPECT_TRUE(cut.incomplete);
  EXPECT_NE(cut.text.find("Plain paragraph with"), std::string::npos) << cut.problem;
  // Damage in the middle (a tag left open in the header's part): the parts
  // after it are read too, from the tree the parser recovers.
  std::string broken = bytes;
  broken.insert(header + 60, "<w:p><w:r>");
  const std::size_t footer_part = broken.find("<pkg:part pkg:name=\"/word/footer1.xml\"");
  ASSERT_NE(footer_part, std::string::npos);
  FilterText middle = ExtractFilterText(registry, Write("middle.xml", broken).string());
  EXPECT_TRUE(middle.incomplete);
  EXPECT_NE(middle.text.find("Plain paragraph with"), std::string::npos) << middle.problem;
  EXPECT_NE(middle.text.find("1 The footnote."), std::string::npos) << middle.text;
  const std::string empty = "<?xml version=\"1.0\"?><pkg:package xmlns:pkg=\"http://schemas.microsoft.com/office/2006/xmlPackage\"/>";
  TextSink sink;
  ExtractResult none = ExtractWithBuiltin("docx", Write("none.docx", empty).string(), sink);
  EXPECT_EQ(none.status, ExtractResult::Status::kFailed);
  EXPECT_EQ(none.reason, "the XML file holds no package parts");
}

TEST_F(ScratchDir, PackagesWithoutTheirDirectoryAreReadFromTheirEntries) {
  // Each package cut where its directory begins: every part is there, only
  // the index at the end is lost.  The text is the whole one, marked
  // incomplete; a package with nothing readable stays a failure.
  for (auto [filter, name] : {std::pair{"docx", "sample.docx"}, {"xlsx", "sample.xlsx"}, {"pptx", "sample.pptx"}}) {
    std::ifstream in(Data(name), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t directory = bytes.find("PK\x01\x02");
    ASSERT_NE(directory, std::string::npos) << name;
    const fs::path cut = Write(name, std::string_view(bytes).substr(0, directory));
    Extracted whole = Extract(filter, Data(name)), salvaged = Extract(filter, cut.string());
    EXPECT_EQ(salvaged.text, whole.text) << name;
    EXPECT_EQ(salvaged.result.status, ExtractResult::Status::kIncomplete) << name << ": " << salvaged.result.reason;
    EXPECT_THAT(salvaged.result.reason, ::testing::HasSubstr("the package is damaged")) << name;
  }
  const fs::path header_only = Write("header.docx", std::string("PK\x03\x04", 4) + std::string(26, '\xFF'));
  EXPECT_EQ(Extract("docx", header_only.string()).result.status, ExtractResult::Status::kFailed);
}

TEST(OoxmlHostile, DamagedPackagesFailOrSayTheyAreIncomplete) {
  Extracted bomb = Extract("docx", Data("bomb.docx"));
  EXPECT_EQ(bomb.result.status, ExtractResult::Status::kFailed);
  EXPECT_NE(bomb.result.reason.find("bomb"), std::string::npos) << bomb.result.reason;

  // Half a package (its directory lost with its second half): the parts
  // before the damage are read, and the text says it is incomplete.
  Extracted truncated = Extract("docx", Data("truncated.docx"));
  EXPECT_EQ(truncated.result.status, ExtractResult::Status::kIncomplete) << truncated.result.reason;
  EXPECT_THAT(truncated.result.reason, ::testing::HasSubstr("the package is damaged"));
  EXPECT_THAT(truncated.text, ::testing::StartsWith("Plain paragraph with \ta tab.\n"));

  Extracted malformed = Extract("docx", Data("malformed.docx"));
  EXPECT_FALSE(malformed.result.ok());
  if (!malformed.text.empty()) {
    EXPECT_EQ(malformed.result.status, ExtractResult::Status::kIncomplete);
  }
  EXPECT_THAT(malformed.result.reason,
              ::testing::HasSubstr("the part word/document.xml is not well-formed XML (line 1: "));

  // Nesting past the parser's depth is a limit, not malformed XML.
  Extracted deep = Extract("docx", Data("deep.docx"));
  EXPECT_EQ(deep.result.status, ExtractResult::Status::kIncomplete) << deep.result.reason;
  EXPECT_EQ(deep.text, "Shallow\n");
  EXPECT_EQ(deep.result.reason, "the body was read only in part: word/document.xml: nested deeper than 256 levels");

  // An external entity is never fetched nor expanded.
  Extracted entity = Extract("docx", Data("entity.docx"));
  EXPECT_EQ(entity.text.find("root:"), std::string::npos);
  EXPECT_NE(entity.text.find("Safe"), std::string::npos);
}

TEST(OoxmlHostile, NonPackagesAreRefusedWithAReason) {
  fs::path dir = fs::path(QUARN_BINARY_DIR) / "ooxml_hostile";
  fs::create_directories(dir);
  std::string empty = (dir / "empty.xlsx").string();
  { std::FILE* f = std::fopen(empty.c_str(), "wb"); std::fclose(f); }
  for (std::string_view filter : {"docx", "xlsx", "pptx"}) {
    Extracted r = Extract(filter, empty);
    EXPECT_EQ(r.result.status, ExtractResult::Status::kUnknownFormat) << filter;
    EXPECT_FALSE(r.result.reason.empty());
  }
  std::string bin = (dir / "noise.pptx").string();
  { std::FILE* f = std::fopen(bin.c_str(), "wb"); std::fputs("\x01\x02 not a package at all", f); std::fclose(f); }
  EXPECT_EQ(Extract("pptx", bin).result.status, ExtractResult::Status::kUnknownFormat);
}

// Encrypted packages are password-protected, but for one that Excel's own
// password opens (as Office opens it, without a question).
TEST(OoxmlHostile, EncryptedPackagesArePasswordProtected) {
  fs::path corpus = fs::path(QUARN_CORPUS) / "inputs";
  if (!fs::exists(corpus)) GTEST_SKIP() << "no corpus";
  int seen = 0;
  for (std::string_view fmt : {"docx", "xlsx", "pptx"}) {
    fs::path enc = corpus / fmt / "_encrypted";
    if (!fs::exists(enc)) continue;
    for (const auto& e : fs::recursive_directory_iterator(enc)) {
      if (!e.is_regular_file()) continue;
      fs::path copy = fs::path(QUARN_BINARY_DIR) / "ooxml_hostile" / e.path().filename();
      fs::create_directories(copy.parent_path());
      fs::copy_file(e.path(), copy, fs::copy_options::overwrite_existing);
      const auto r = Extract(fmt, copy.string());
      if (e.path().filename() == "protected_agile.docx") {
        EXPECT_EQ(r.result.status, ExtractResult::Status::kOk) << r.result.reason;
        EXPECT_EQ(r.text, "Agile protected document\n");
      } else {
        EXPECT_EQ(r.result.status, ExtractResult::Status::kPassword) << e.path();
      }
      ++seen;
    }
  }
  if (seen == 0) GTEST_SKIP() << "no encrypted samples";
}

}  // namespace
}  // namespace quarn

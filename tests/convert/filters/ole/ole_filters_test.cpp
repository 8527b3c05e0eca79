// The Office 97-2003 filters over small samples written by LibreOffice from
// the sources in tests/data/ole/src (make-samples.sh), and the content checks
// they share with the mail filter.
#include <gtest/gtest.h>

#include <unistd.h>

#include <gsf/gsf.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "app/main.h"
#include "convert/filters/builtin.h"
#include "tests/support/filter_support.h"
#include "convert/filters/sniff.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/ole/encrypted_package_filter.h"
#include "convert/filters/ole/ppt_filter.h"
#include "convert/filters/ole/xls_filter.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using Status = ExtractResult::Status;

// The mail samples live with the mail module's.
std::string Sample(const std::string& name) {
  const bool mail = name.ends_with(".eml");
  return std::string(QUARN_TEST_DATA) + (mail ? "/mail/" : "/ole/") + name;
}

using Extracted = test::BuiltinText;

Extracted ExtractSample(std::string_view filter, const std::string& path) { return test::ExtractWith(filter, path); }

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The shared corpus of real documents ($QUARN_CORPUS overrides where it is);
// the tests that read it skip when it is absent.
fs::path Corpus() {
  const char* env = std::getenv("QUARN_CORPUS");
  return env ? fs::path(env) : fs::path(QUARN_CORPUS);
}

using ScratchDir = test::ScratchTest;

TEST(WordFilter, BodyTablesFootnotesHeadersAndScripts) {
  Extracted e = ExtractSample("doc", Sample("sample.doc"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  // The footnote's reference and its mark are numbered as a reader sees them.
  EXPECT_NE(e.text.find("The first paragraph of the sample.1\n"
                        "Greek: Καλημέρα κόσμε. Russian: Привет, мир. Japanese: 日本語のテキスト.\n"
                        "Name\tCity\tScore\n"
                        "Anna\t\t42\n"  // the empty middle cell keeps its place
                        "Last paragraph after the table.\n"),
            std::string::npos)
      << e.text;
  // The footnote after the body, the header and footer after that.
  std::size_t body = e.text.find("Last paragraph"), note = e.text.find("1\tA footnote about the first paragraph.");
  std::size_t header = e.text.find("Quarterly header"), footer = e.text.find("Footer of the page");
  EXPECT_LT(body, note);
  EXPECT_LT(note, header);
  EXPECT_NE(footer, std::string::npos);
  // Field codes, note marks and control characters never leak into the text.
  for (char c : e.text) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t') << int(c);
}

TEST(WordFilter, ListParagraphsStartWithTheirLabel) {
  // Levels shown with their parents' numbers, letters and roman numbers,
  // bullets, a list inside a table cell, non-Latin items, and headings
  // numbered by their paragraph style.
  Extracted e = ExtractSample("doc", Sample("lists.doc"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text,
            "Steps:\n1. Первый шаг\n2. Second step\na) Sub one\nb) Sub two\n2.b.I. Deep\n3. 第三步\n"
            "Bullets:\n\u2022 Apples\n\u2022 Pears\n\u2022 In a cell\tPlain cell\n"
            "1. Numbered by its style\n2. Second heading\nThe end.\n");
}

TEST(WordFilter, TrackedChangesReadAsAccepted) {
  // Deleted words (some beyond ASCII, one in a table cell) are left out and
  // inserted ones kept, so the sentence reads as it would after review.
  // The endnote's reference and mark are numbered in Word's default style.
  Extracted e = ExtractSample("doc", Sample("changes.doc"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "The meeting is on Tuesday at noon.\nRemarks: none.\nCell kept\tNext\nThe end.i\n"
                    " i\tAn endnote.\n\n");
}

TEST(ExcelFilter, SheetsByNameRowsAndNumbersAsShown) {
  Extracted e = ExtractSample("xls", Sample("sample.xls"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Prices\n"
                        "Item\tPrice\tDate\n"
                        "Tea\t2.5\t2021-03-04\n"
                        "Кофе\t3\t\t1234567.125\n"),
            std::string::npos)
      << e.text;
  EXPECT_NE(e.text.find("统计\nShare\t25%\n"), std::string::npos) << e.text;
  EXPECT_LT(e.text.find("Prices"), e.text.find("统计"));
}

TEST(ExcelFilter, TextShowsThroughItsCellFormatsTextSection) {
  Extracted e = ExtractSample("xls", Sample("formats.xls"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Formats\nRef: abc\tflour kg\tplain\n"), std::string::npos) << e.text;
}

TEST(ExcelFilter, FormatsNumbersWithoutSpuriousDigits) {
  EXPECT_EQ(FormatCellNumber(3), "3");
  EXPECT_EQ(FormatCellNumber(-0.0), "0");
  EXPECT_EQ(FormatCellNumber(0.1 + 0.2), "0.3");
  EXPECT_EQ(FormatCellNumber(2.5), "2.5");
  EXPECT_EQ(FormatCellNumber(-1234.5678), "-1234.5678");
  EXPECT_EQ(FormatCellNumber(1e20), "1E+20");
  EXPECT_EQ(FormatCellNumber(123456789012), "123456789012");
}

TEST(PowerPointFilter, FieldStandInsAreNotText) {
  // The "*" a slide number field leaves in the text goes; typed ones stay.
  Extracted e = ExtractSample("ppt", Sample("fields.ppt"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Slide  of the deck\nStars * stay\n");
}

TEST(PowerPointFilter, SlidesInOrderEachFollowedByItsNotes) {
  Extracted e = ExtractSample("ppt", Sample("sample.ppt"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("First slide title\n"
                        "Body text with Ελληνικά and 中文\n"
                        "Notes of the first slide\n"),
            std::string::npos)
      << e.text;
  std::size_t second = e.text.find("Second slide title\n");
  EXPECT_LT(e.text.find("Notes of the first slide"), second);
  EXPECT_LT(second, e.text.find("Notes of the second slide"));
  EXPECT_EQ(e.text.find("Click to"), std::string::npos) << "master placeholders leaked";
}

TEST(OfficeFilters, DocumentPropertiesAreNotBodyText) {
  // Title, author and subject live in the summary information, not the text.
  for (auto [filter, file, body] : {std::tuple{"doc", "extras.doc", "Before the object."},
                                    std::tuple{"xls", "extras.xls", "Cell text"},
                                    std::tuple{"ppt", "extras.ppt", "Lists on a slide"}}) {
    Extracted e = ExtractSample(filter, Sample(file));
    ASSERT_EQ(e.result.status, Status::kOk) << file << ": " << e.result.reason;
    EXPECT_NE(e.text.find(body), std::string::npos) << file << ": " << e.text;
    for (const char* property : {"Property title", "Property author", "Title:", "Author:", "Subject:"})
      EXPECT_EQ(e.text.find(property), std::string::npos) << file << " shows " << property << ": " << e.text;
  }
}

TEST(PowerPointFilter, SlideParagraphsShowTheirNumbersAndBullets) {
  // Auto-numbered levels counting on across a sub-list, a list starting at
  // three, bullets, and a plain paragraph between them.
  Extracted e = ExtractSample("ppt", Sample("extras.ppt"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Lists on a slide\n"
                        "1. First step\n2. Second step\na) Detail one\nb) Detail two\n3. Third step\n"
                        "Plain paragraph\n\u2022 Apples\n\u2022 Pears\n"
                        "III. Third of the roman\nIV. Fourth of the roman\n"),
            std::string::npos)
      << e.text;
}

TEST(PowerPointFilter, ReviewersCommentsFollowTheirSlide) {
  // Comments live in a tag of PowerPoint 2002's extension: the text, not
  // the author.
  Extracted e = ExtractSample("ppt", Sample("extras.ppt"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  std::size_t slide = e.text.find("Embedded workbook\n"), comment = e.text.find("Check the totals\n");
  EXPECT_NE(comment, std::string::npos) << e.text;
  EXPECT_LT(slide, comment);
  EXPECT_EQ(e.text.find("Reviewer"), std::string::npos) << e.text;
}

TEST(OfficeFilters, EmbeddedWorkbooksAreReadWhereTheyAre) {
  // A workbook embedded on a slide (ExOleObjStg) comes with its slide; one
  // embedded in a Word document (ObjectPool) follows the body text.
  Extracted slides = ExtractSample("ppt", Sample("extras.ppt"));
  std::size_t slide = slides.text.find("Embedded workbook\n");
  std::size_t cells = slides.text.find("Embedded cell text\t4321");
  EXPECT_NE(slide, std::string::npos) << slides.text;
  EXPECT_NE(cells, std::string::npos) << slides.text;
  EXPECT_LT(slide, cells);
  Extracted doc = ExtractSample("doc", Sample("extras.doc"));
  std::size_t after = doc.text.find("After the object."), inner = doc.text.find("Cell inside the document\t8765");
  EXPECT_NE(inner, std::string::npos) << doc.text;
  EXPECT_LT(after, inner);
}

TEST(WordFilter, PhoneticGuideShowsBaseThenReading) {
  // An EQ \o field without a result, as ruby text is written to Word files.
  Extracted e = ExtractSample("doc", Sample("extras.doc"));
  EXPECT_NE(e.text.find("Capital: \u6771\u4eac(\u3068\u3046\u304d\u3087\u3046) is large."), std::string::npos)
      << e.text;
}

TEST(ExcelFilter, PageHeadersFootersAndTextBoxesFollowTheCells) {
  Extracted e = ExtractSample("xls", Sample("extras.xls"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Sheet1\nCell text\nText in a box\nLeft header\tCentre header\nFooter on the right\n"),
            std::string::npos)
      << e.text;
}

TEST(PowerPointFilter, TablesAreRowsOfTabSeparatedCells) {
  // A table is a group of cell shapes: rows by their tops, cells by their
  // left edges; a merged cell leaves the place it covers empty, and a cell's
  // paragraphs stay on its row.
  Extracted e = ExtractSample("ppt", Sample("tables.ppt"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text,
            "Prices\n"
            "Fruit\tPrice\tNote\n"
            "Apple\t1.20\tred crisp\n"
            "Spanning two\t\tlast\n"
            "\tOnly middle\t\n"
            "After the table\n");
}

TEST(ExcelFilter, ChartTitlesFollowTheCells) {
  // The chart's title first, then its axis titles; the values it plots are
  // the sheet's and are not repeated.
  Extracted e = ExtractSample("xls", Sample("charts.xls"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("2022\t15\t11\nYearly harvest\nYear of crop\nTonnes picked\n"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("Yearly harvest"), e.text.rfind("Yearly harvest")) << e.text;
}

TEST(WordFilter, FormFieldsAndNoteMarksShowAsWordShowsThem) {
  // A drop-down form field shows its selected entry, not its list, a check
  // box its box (crossed when checked); a footnote with a mark of its own
  // shows that mark, and the numbered ones around it count on without it.
  Extracted e = ExtractSample("doc", Sample("forms.doc"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Fruit chosen: Pear today.\n"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("Apple"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("Plum"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Numbered note1 and starred note\u2020 and another2.\n"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("1\tFirst plain note.\n\u2020\tDagger note.\n2\tSecond plain note.\n"), std::string::npos)
      << e.text;
  EXPECT_NE(e.text.find("Married \u2612 single \u2610 end.\n"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("See the example site now.\n"), std::string::npos) << e.text;
}

TEST(WordFilter, SymbolsShowTheCharacterTheyStandFor) {
  // Word keeps a symbol inserted from a font as "(" with the font and the
  // character in its run: the Symbol font's alpha and degree sign read as
  // the characters they show, and typed brackets stay.  Latin letters typed
  // in the Symbol font show as its Greek ones; digits and spaces stay; boxes
  // typed in Wingdings show as boxes.
  Extracted e = ExtractSample("doc", Sample("symbols.doc"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text,
            "Angle \u03b1 (in degrees) is small at 20\u00b0C.\n"
            "Typed in the Symbol font: \u03b1\u03b2\u03b3 = 90, then plain abg.\n"
            "Typed in Wingdings: \u2611 yes, \u2610 no.\n");
}

TEST(PowerPointFilter, TextInSymbolFontsShowsTheCharactersItsGlyphsAre) {
  // Greek letters typed in the Symbol font, boxes in Wingdings (as the
  // font's private-use characters); the runs around them stay as typed.
  Extracted e = ExtractSample("ppt", Sample("symbols.ppt"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Angles \u03b1\u03b2\u03b3 and sums\nDone \u2611 and open \u2610\n");
}

// Pictures of text and no words: a page scanned into a Word document (one
// picture inline, one anchored to the page) and slides that each show one.
TEST(OfficeFilters, ScansSavedAsDocumentsOrSlidesAreReadByOcr) {
  for (auto [filter, file] : {std::pair{"doc", "scan.doc"}, std::pair{"ppt", "scan.ppt"}}) {
    TextSink sink;
    ExtractResult r = ExtractWithBuiltin(filter, Sample(file), sink);
    ASSERT_EQ(r.status, Status::kOk) << file << ": " << r.reason;
    const std::string text = sink.Joined();
    EXPECT_NE(text.find("The harbour office opens at seven in the morning."), std::string::npos) << file << text;
    EXPECT_NE(text.find("should board through the lower deck"), std::string::npos) << file << text;
    EXPECT_LT(text.find("harbour"), text.find("bicycles")) << file;
    EXPECT_EQ(sink.recognized_pages(), 2u) << file;
  }
}

TEST(Mislabelled, ContentDecidesWhichFilterReads) {
  // A workbook named .doc is read as a workbook.
  Extracted book = ExtractSample("doc", Sample("workbook-named.doc"));
  ASSERT_EQ(book.result.status, Status::kOk) << book.result.reason;
  EXPECT_NE(book.text.find("Tea\t2.5"), std::string::npos);
  // RTF, HTML and OOXML named .doc go to their own filter when it is built
  // in; otherwise the Word filter refuses them without emitting anything.
  for (auto [file, filter, words] : {std::tuple{"rtf-named.doc", "rtf", "Rich text named like a Word file."},
                                     std::tuple{"html-named.doc", "html", "Web page named like a Word file."},
                                     std::tuple{"docx-named.doc", "docx", "The first paragraph of the sample."}}) {
    Extracted e = ExtractSample("doc", Sample(file));
    if (FindBuiltinFilter(filter)) {
      EXPECT_NE(e.text.find(words), std::string::npos) << file << ": " << e.text;
    } else {
      EXPECT_EQ(e.result.status, Status::kUnknownFormat) << file;
      EXPECT_TRUE(e.text.empty()) << file << ": " << e.text;
    }
  }
}

TEST_F(ScratchDir, TextUnderAnOfficeNameIsReadAsText) {
  // Programs export comma- or tab-separated values as "Excel" files, and
  // notes end up named .doc: their text is read (random bytes under these
  // names stay refused, below).
  struct Case {
    const char* filter;
    const char* name;
    std::string bytes, shown;
  };
  for (const Case& c : {Case{"xls", "export.xls", "Name,Amount\nTea,2.5\n", "Tea,2.5"},
                        Case{"xlsx", "export.xlsx", "Name,Amount\nTea,2.5\n", "Tea,2.5"},
                        Case{"xls", "tabs.xls", "Name\tAmount\nCaf\xe9\t3\n", "Caf\u00e9\t3"},  // windows-1252
                        Case{"doc", "note.doc", "A note.\n", "A note."},
                        Case{"pptx", "list.pptx", "\xEF\xBB\xBFSlide one\n", "Slide one"}}) {
    Extracted e = ExtractSample(c.filter, Write(c.name, c.bytes).string());
    EXPECT_EQ(e.result.status, Status::kOk) << c.name << ": " << e.result.reason;
    EXPECT_NE(e.text.find(c.shown), std::string::npos) << c.name << ": " << e.text;
  }
}

// Excel encrypts a workbook with a password of its own when the person set
// none (a protected structure, "read-only recommended"); such workbooks open
// without a question and are read like any other (samples written by
// encrypt.py from sample.xls: RC4, RC4 through the CryptoAPI, XOR; and an
// Excel 5/95 workbook of its own).
TEST(ExcelEncryption, WorkbooksEncryptedWithExcelsOwnPasswordAreRead) {
  const Extracted plain = ExtractSample("xls", Sample("sample.xls"));
  for (const char* name : {"protected.xls", "protected-cryptoapi.xls", "protected-xor.xls"}) {
    SCOPED_TRACE(name);
    Extracted e = ExtractSample("xls", Sample(name));
    EXPECT_EQ(e.result.status, Status::kOk) << e.result.reason;
    EXPECT_EQ(e.text, plain.text);
    // Another password does not open them: they are reported as locked.
    TextSink sink;
    EXPECT_EQ(CreateXlsFilter(u"another")->Extract(Sample(name), sink).status, Status::kPassword);
    EXPECT_TRUE(sink.Joined().empty());
  }
  // An Excel 5/95 workbook, obfuscated the only way that version knew: its
  // sheet's name and cells come back in the workbook's code page.
  Extracted old = ExtractSample("xls", Sample("protected-excel95.xls"));
  EXPECT_EQ(old.result.status, Status::kOk) << old.result.reason;
  EXPECT_EQ(old.text, "Regions\nQuarterly figures\nNorth\t1250.5\nSouth\t980\n");
  TextSink locked;
  EXPECT_EQ(CreateXlsFilter(u"Velvet")->Extract(Sample("protected-excel95.xls"), locked).status, Status::kPassword);
}

TEST_F(ScratchDir, DamagedEncryptedFilesCostOnlyThemselves) {
  std::mt19937 random(777);
  for (const char* name : {"protected.xls", "protected-cryptoapi.xls", "protected-xor.xls", "protected-excel95.xls",
                           "protected.ppt", "protected-standard.xlsx", "protected-agile.xlsx"}) {
    const std::string original = ReadAll(Sample(name));
    const std::string kind = fs::path(name).extension().string().substr(1);
    // Each package costs its key's many rounds of hashing: fewer of them.
    const int rounds = kind == "xlsx" ? 40 : 150;
    for (int round = 0; round < rounds; ++round) {
      std::string bytes = original;
      for (int k = 0; k < 4; ++k) bytes[random() % bytes.size()] = static_cast<char>(random());
      ExtractSample(kind, Write("damaged." + kind, bytes).string());
    }
  }
}

std::uint32_t Le32(const std::string& s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

// A workbook Excel encrypted with a password a person chose (a real one,
// from the shared corpus): read with that password, refused without it.
TEST(ExcelEncryption, ARealWorkbookOpensWithItsPasswordOnly) {
  const fs::path corpus = Corpus();
  const fs::path book = corpus / "inputs/xls/_encrypted/poi/password.xls";
  if (!fs::exists(book)) GTEST_SKIP() << "no corpus at " << corpus;
  TextSink with;
  ExtractResult r = CreateXlsFilter(u"password")->Extract(book.string(), with);
  EXPECT_EQ(r.status, Status::kOk) << r.reason;
  EXPECT_NE(with.Joined().find("A ZIP bomb is a variant of mail-bombing."), std::string::npos) << with.Joined();
  TextSink without;
  EXPECT_EQ(CreateXlsFilter()->Extract(book.string(), without).status, Status::kPassword);
  EXPECT_TRUE(without.Joined().empty());
  // The CryptoAPI keys, against a real document Word encrypted that way
  // (128-bit RC4; its header and verifier open its table stream, laid out
  // as in a workbook's FILEPASS record after the encryption's type).
  const fs::path doc = corpus / "inputs/doc/_encrypted/poi/password_password_cryptoapi.doc";
  CompoundFile file = OpenCompoundFile(doc.string());
  ASSERT_TRUE(file);
  std::optional<std::string> table = ReadCompoundStream(file.get(), "1Table");
  ASSERT_TRUE(table && table->size() > 0x200);
  const std::string header = table->substr(0, 12 + Le32(*table, 8) + 4 + 16 + 16 + 4 + 20);
  const std::string body = std::string("\x01\x00", 2) + header;
  const std::string filepass =
      std::string("\x2F\x00", 2) + static_cast<char>(body.size() & 0xFF) + static_cast<char>(body.size() >> 8) + body;
  std::string stream = filepass;
  EXPECT_TRUE(DecryptWorkbook(stream, 0, u"password"));
  EXPECT_FALSE(DecryptWorkbook(stream, 0, u"passw0rd"));
  EXPECT_FALSE(DecryptWorkbook(stream, 0, kExcelDefaultPassword));
}

TEST(ExcelEncryption, ARealObfuscatedWorkbookOpensWithItsPasswordOnly) {
  const fs::path corpus = Corpus();
  const fs::path book = corpus / "inputs/xls/_encrypted/poi/xor-encryption-abc.xls";
  if (!fs::exists(book)) GTEST_SKIP() << "no corpus at " << corpus;
  TextSink with;
  ExtractResult r = CreateXlsFilter(u"abc")->Extract(book.string(), with);
  EXPECT_EQ(r.status, Status::kOk) << r.reason;
  EXPECT_EQ(with.Joined(), "Sheet1\n1\n2\n3\n");
  TextSink without;
  EXPECT_EQ(CreateXlsFilter()->Extract(book.string(), without).status, Status::kPassword);
  EXPECT_TRUE(without.Joined().empty());
}

// PowerPoint encrypts a presentation that has only a password to modify
// with a password of its own; it opens without one and is read as the
// plain one is (sample written by encrypt.py from sample.ppt).
TEST(PowerPointEncryption, PresentationsEncryptedWithPowerPointsOwnPasswordAreRead) {
  const Extracted plain = ExtractSample("ppt", Sample("sample.ppt"));
  ASSERT_FALSE(plain.text.empty());
  Extracted e = ExtractSample("ppt", Sample("protected.ppt"));
  EXPECT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, plain.text);
  TextSink sink;
  EXPECT_EQ(CreatePptFilter(u"another")->Extract(Sample("protected.ppt"), sink).status, Status::kPassword);
  EXPECT_TRUE(sink.Joined().empty());
}

TEST(PowerPointEncryption, RealPresentationsOpenWithTheirPasswordsOnly) {
  const fs::path corpus = Corpus();
  const fs::path folder = corpus / "inputs/ppt/_encrypted/poi";
  if (!fs::exists(folder)) GTEST_SKIP() << "no corpus at " << corpus;
  const struct {
    const char* name;
    std::u16string_view password;
    const char* words;
  } files[] = {{"Password_Protected-hello.ppt", u"hello", "It only has the one slide"},
               {"cryptoapi-proc2356.ppt", u"crypto", "RC4 CryptoAPI Encryption password verification process"},
               {"ppt_with_png_encrypted.ppt", u"password", "Here is a PNG image:"}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    TextSink with;
    ExtractResult r = CreatePptFilter(f.password)->Extract((folder / f.name).string(), with);
    EXPECT_EQ(r.status, Status::kOk) << r.reason;
    EXPECT_NE(with.Joined().find(f.words), std::string::npos) << with.Joined();
    TextSink without;
    EXPECT_EQ(CreatePptFilter()->Extract((folder / f.name).string(), without).status, Status::kPassword);
    EXPECT_TRUE(without.Joined().empty());
  }
}

// A workbook Excel encrypted with its own password in either of Office
// 2007's ways opens as it is, under its own name or another (samples
// written by encrypt.py from the package filter's sample.xlsx).
TEST(PackageEncryption, WorkbooksEncryptedWithExcelsOwnPasswordAreRead) {
  const std::string book = std::string(QUARN_TEST_DATA) + "/package/ooxml/sample.xlsx";
  const Extracted plain = ExtractSample("xlsx", book);
  ASSERT_FALSE(plain.text.empty());
  for (const char* name : {"protected-standard.xlsx", "protected-agile.xlsx"}) {
    SCOPED_TRACE(name);
    for (const char* as : {"xlsx", "xls", "docx"}) {
      Extracted e = ExtractSample(as, Sample(name));
      EXPECT_EQ(e.result.status, Status::kOk) << as << ": " << e.result.reason;
      EXPECT_EQ(e.text, plain.text) << as;
    }
    TextSink sink;
    EXPECT_EQ(CreateEncryptedPackageFilter(u"another")->Extract(Sample(name), sink).status, Status::kPassword);
    EXPECT_TRUE(sink.Joined().empty());
  }
}

// Office 2007 and later documents kept encrypted: real ones of standard
// (AES-128, SHA-1) and agile (AES-256, SHA-512) encryption open with their
// passwords and not without; one was encrypted with Excel's own password
// and opens as it is; one whose compound file is cut short gives what its
// readable part holds.
TEST(PackageEncryption, RealPackagesOpenWithTheirPasswordsOnly) {
  const fs::path corpus = Corpus();
  if (!fs::exists(corpus / "inputs/docx/_encrypted")) GTEST_SKIP() << "no corpus at " << corpus;
  const struct {
    const char* name;
    std::u16string_view password;
    const char* words;
  } files[] = {{"docx/_encrypted/poi/bug53475-password-is-pass.docx", u"pass", "The is a password protected document."},
               {"docx/_encrypted/poi/bug53475-password-is-solrcell.docx", u"solrcell",
                "This is password protected Word document."},
               {"xlsx/_encrypted/poi/extenxls_pwd123.xlsx", u"pwd123", "Workday Implementation Spreadsheet"},
               {"xlsx/_encrypted/poi/protected_sha512.xlsx", u"this is a test", "Sheet1\nhere\tis\tsome\ntest\tdata"},
               {"docx/_encrypted/poi/protected_agile.docx", kExcelDefaultPassword, "Agile protected document"}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = (corpus / "inputs" / f.name).string();
    TextSink with;
    ExtractResult r = CreateEncryptedPackageFilter(f.password)->Extract(path, with);
    EXPECT_TRUE(r.ok() || r.status == Status::kIncomplete) << r.reason;
    EXPECT_NE(with.Joined().find(f.words), std::string::npos) << with.Joined();
    if (f.password == kExcelDefaultPassword) continue;
    TextSink without;
    EXPECT_EQ(CreateEncryptedPackageFilter()->Extract(path, without).status, Status::kPassword);
    EXPECT_TRUE(without.Joined().empty());
  }
}

TEST(Mislabelled, RandomBytesYieldNoTextAndAReason) {
  for (const char* filter : {"doc", "xls", "ppt", "eml"}) {
    Extracted e = ExtractSample(filter, Sample(std::string("random.") + filter));
    EXPECT_EQ(e.result.status, Status::kUnknownFormat) << filter;
    EXPECT_FALSE(e.result.reason.empty()) << filter;
    EXPECT_TRUE(e.text.empty()) << filter << ": " << e.text;
  }
}

// Cut and corrupted copies of every sample: any result is acceptable except
// a crash, a hang, or text that is not valid UTF-8 reported as whole.
TEST_F(ScratchDir, DamagedDocumentsCostOnlyThemselves) {
  std::mt19937 random(12345);
  for (const char* name : {"sample.doc", "sample.xls", "sample.ppt", "sample.eml", "extras.doc", "extras.xls",
                           "extras.ppt", "tables.ppt", "charts.xls", "forms.doc", "symbols.doc"}) {
    std::string original = ReadAll(Sample(name));
    std::string filter = std::string(name).substr(7);
    for (int round = 0; round < 60; ++round) {
      std::string bytes = original;
      if (round % 3 == 0) {
        bytes.resize(random() % bytes.size());
      } else {
        for (int flips = 0; flips < 1 + round; ++flips) bytes[random() % bytes.size()] = static_cast<char>(random());
      }
      fs::path p = Write("damaged." + filter, bytes);
      TextSink sink;
      ExtractResult r = ExtractWithBuiltin(filter, p.string(), sink);
      if (r.status != Status::kOk && r.status != Status::kIncomplete) {
        EXPECT_FALSE(r.reason.empty());
      }
    }
  }
}

// A compound file holding one stream.
void WriteCompound(const fs::path& path, const char* stream, const std::string& bytes) {
  GError* error = nullptr;
  GsfOutput* file = gsf_output_stdio_new(path.c_str(), &error);
  ASSERT_NE(file, nullptr);
  GsfOutfile* ole = gsf_outfile_msole_new(file);
  GsfOutput* out = gsf_outfile_new_child(ole, stream, FALSE);
  gsf_output_write(out, bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
  gsf_output_close(out);
  g_object_unref(out);
  gsf_output_close(GSF_OUTPUT(ole));
  g_object_unref(ole);
  g_object_unref(file);
}

// Documents Office encrypted for rights management are said to be
// protected: a package without a description of a password's encryption,
// and a 97-2003 document whose own streams hold only the notice shown where
// rights management is not available (its content is in DRMContent).
TEST_F(ScratchDir, DocumentsUnderRightsManagementAreProtected) {
  const fs::path package = Write("rights.docx", "");
  WriteCompound(package, "EncryptedPackage", std::string(4096, '\x5A'));
  Extracted e = ExtractSample("docx", package.string());
  EXPECT_EQ(e.result.status, Status::kPassword);
  EXPECT_EQ(e.result.reason, "the document is protected by rights management");
  for (const char* name : {"sample.doc", "sample.xls", "sample.ppt"}) {
    SCOPED_TRACE(name);
    const fs::path copy = Write(std::string("rights-") + name, ReadAll(Sample(name)));
    GError* error = nullptr;
    GsfInput* in = gsf_input_stdio_new(Sample(name).c_str(), &error);
    ASSERT_NE(in, nullptr);
    GsfInfile* from = gsf_infile_msole_new(in, &error);
    ASSERT_NE(from, nullptr);
    GsfOutput* file = gsf_output_stdio_new(copy.c_str(), &error);
    GsfOutfile* to = gsf_outfile_msole_new(file);
    for (int i = 0; i < gsf_infile_num_children(from); ++i) {
      GsfInput* child = gsf_infile_child_by_index(from, i);
      if (gsf_infile_num_children(GSF_INFILE(child)) < 0) {
        GsfOutput* out = gsf_outfile_new_child(to, gsf_input_name(child), FALSE);
        gsf_input_copy(child, out);
        gsf_output_close(out);
        g_object_unref(out);
      }
      g_object_unref(child);
    }
    GsfOutput* drm = gsf_outfile_new_child(to, "\tDRMContent", FALSE);
    const std::string sealed(2048, '\x33');
    gsf_output_write(drm, sealed.size(), reinterpret_cast<const guint8*>(sealed.data()));
    gsf_output_close(drm);
    g_object_unref(drm);
    gsf_output_close(GSF_OUTPUT(to));
    g_object_unref(to);
    g_object_unref(file);
    g_object_unref(from);
    g_object_unref(in);
    e = ExtractSample(fs::path(name).extension().string().substr(1), copy.string());
    EXPECT_EQ(e.result.status, Status::kPassword) << e.result.reason;
    EXPECT_EQ(e.result.reason, "the document is protected by rights management");
  }
}

// A PowerPoint record: its header (version and instance, type, length), then its data.
std::string PptRecord(uint16_t type, const std::string& data, uint16_t instance = 0, bool container = false) {
  std::string r;
  const uint16_t vi = static_cast<uint16_t>(instance << 4 | (container ? 0xF : 0));
  for (uint32_t v : {uint32_t{vi}, uint32_t{type}}) r += {static_cast<char>(v), static_cast<char>(v >> 8)};
  for (int i = 0; i < 4; ++i) r += static_cast<char>(data.size() >> (8 * i));
  return r + data;
}

// A table group whose cells sit at the given places, each holding text.
std::string PptTable(const std::vector<std::pair<int32_t, int32_t>>& places, const std::string& text) {
  auto le32 = [](int32_t v) {
    std::string b;
    for (int i = 0; i < 4; ++i) b += static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
    return b;
  };
  std::string property = std::string("\x9F\x03", 2) + le32(1);  // the table property, set
  std::string group = PptRecord(0xF004, PptRecord(0xF122, property, 1), 0, true);
  for (auto [left, top] : places) {
    std::string anchor = PptRecord(0xF00F, le32(left) + le32(top) + le32(left + 1) + le32(top + 1));
    std::string box = PptRecord(0xF00D, PptRecord(0x0F9F, le32(4)) + PptRecord(0x0FA8, text), 0, true);
    group += PptRecord(0xF004, anchor + box, 0, true);
  }
  return PptRecord(0xF003, group, 0, true);
}

TEST_F(ScratchDir, HostileSlideTablesCostLittle) {
  // Cells scattered over a huge grid, and tables nested in tables far
  // deeper than any slide: each read within a bounded time and output.
  std::vector<std::pair<int32_t, int32_t>> diagonal;
  for (int32_t i = 0; i < 50000; ++i) diagonal.emplace_back(i * 1000, i * 1000);
  std::string nested = PptTable({{0, 0}}, "core");
  for (int i = 0; i < 3000; ++i) {
    std::string property = std::string("\x9F\x03\x01\0\0\0", 6);
    nested = PptRecord(0xF003, PptRecord(0xF004, PptRecord(0xF122, property, 1), 0, true) +
                                   PptRecord(0xF004, PptRecord(0xF00D, "", 0, true) + nested, 0, true),
                       0, true);
  }
  for (const std::string& stream : {PptTable(diagonal, "x"), nested}) {
    fs::path p = dir_ / "hostile.ppt";
    WriteCompound(p, "PowerPoint Document", stream);
    const auto start = std::chrono::steady_clock::now();
    TextSink sink;
    ExtractWithBuiltin("ppt", p.string(), sink);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_LT(sink.size(), std::size_t{4} << 20);
  }
}

TEST_F(ScratchDir, ChartSheetsShowTheirTitlesButNotDataLabels) {
  // A workbook whose one sheet is a chart: its title and its series' name
  // are text; a data label shows a plotted value and is left out.
  auto record = [](uint16_t type, const std::string& data) {
    std::string r = {static_cast<char>(type), static_cast<char>(type >> 8), static_cast<char>(data.size()),
                     static_cast<char>(data.size() >> 8)};
    return r + data;
  };
  auto text = [&](const std::string& t) {  // SERIESTEXT: an id, then a short 8-bit string
    return record(0x100D, std::string(2, '\0') + static_cast<char>(t.size()) + '\0' + t);
  };
  const std::string begin = record(0x1033, ""), end = record(0x1034, "");
  auto label = [&](const std::string& t, char link) {  // TEXT, its block, what it belongs to
    const std::string link_record = record(0x1027, std::string(1, link) + std::string(5, '\0'));
    return record(0x1025, std::string(32, '\0')) + begin + text(t) + link_record + end;
  };
  auto bof = [&](char kind) { return record(0x0809, std::string("\0\x06", 2) + kind + std::string(13, '\0')); };
  const std::string name = "Chart1";
  std::string globals = bof(5);
  const std::size_t sheet_at = globals.size() + 4 + 8 + name.size() + 4;
  std::string sheet_entry = {static_cast<char>(sheet_at), static_cast<char>(sheet_at >> 8), 0, 0, 0, 2,
                             static_cast<char>(name.size()), 0};
  globals += record(0x0085, sheet_entry + name) + record(0x000A, "");
  std::string chart = bof(0x20) + record(0x1002, std::string(16, '\0')) + begin + label("Sales by month", 1) +
                      label("42", 4) + record(0x1003, std::string(12, '\0')) + begin +
                      record(0x1051, std::string("\0\x01", 2) + std::string(6, '\0')) + text("North") + end + end +
                      record(0x000A, "");
  fs::path p = dir_ / "chart-sheet.xls";
  WriteCompound(p, "Workbook", globals + chart);
  Extracted e = ExtractSample("xls", p.string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Chart1\nSales by month\nNorth\n");
}

TEST_F(ScratchDir, ProgramRoutesTheExtensionsToTheseFilters) {
  for (const char* name : {"sample.doc", "sample.xls", "sample.ppt", "sample.eml"}) {
    fs::path in = dir_ / name;
    fs::copy_file(Sample(name), in);
    fs::path out = dir_ / (std::string(name) + ".txt");
    ConvertResult r = ConvertFile(in.string(), out.string());
    ASSERT_TRUE(r.written()) << name << ": " << r.reason;
    EXPECT_GT(fs::file_size(out), 20u) << name;
  }
  // Content no filter reads writes nothing.
  fs::path random = dir_ / "random.ppt";
  fs::copy_file(Sample("random.ppt"), random);
  EXPECT_EQ(ConvertFile(random.string(), (dir_ / "random.txt").string()).outcome, Outcome::kNoText);
  EXPECT_FALSE(fs::exists(dir_ / "random.txt"));
}

}  // namespace
}  // namespace quarn

// The Office 97-2003 and mail filters over small samples written by
// LibreOffice from the sources in tests/data/legacy/src (make-samples.sh).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "app/main.h"
#include "convert/filters/builtin.h"
#include "convert/filters/eml_filter.h"
#include "convert/filters/sniff.h"
#include "convert/filters/xls_filter.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using Status = ExtractResult::Status;

std::string Sample(const std::string& name) { return std::string(QUARN_TEST_DATA) + "/legacy/" + name; }

struct Extracted {
  ExtractResult result;
  std::string text;
};

Extracted ExtractSample(std::string_view filter, const std::string& path) {
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin(filter, path, sink);
  return {r, sink.Joined()};
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarn-legacy-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Write(const std::string& name, std::string_view bytes) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  fs::path dir_;
};

TEST(WordFilter, BodyTablesFootnotesHeadersAndScripts) {
  Extracted e = ExtractSample("doc", Sample("sample.doc"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("The first paragraph of the sample.\n"
                        "Greek: Καλημέρα κόσμε. Russian: Привет, мир. Japanese: 日本語のテキスト.\n"
                        "Name\tCity\tScore\n"
                        "Anna\t\t42\n"  // the empty middle cell keeps its place
                        "Last paragraph after the table.\n"),
            std::string::npos)
      << e.text;
  // The footnote after the body, the header and footer after that.
  std::size_t body = e.text.find("Last paragraph"), note = e.text.find("A footnote about the first paragraph.");
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

TEST(ExcelFilter, FormatsNumbersWithoutSpuriousDigits) {
  EXPECT_EQ(FormatCellNumber(3), "3");
  EXPECT_EQ(FormatCellNumber(-0.0), "0");
  EXPECT_EQ(FormatCellNumber(0.1 + 0.2), "0.3");
  EXPECT_EQ(FormatCellNumber(2.5), "2.5");
  EXPECT_EQ(FormatCellNumber(-1234.5678), "-1234.5678");
  EXPECT_EQ(FormatCellNumber(1e20), "1e+20");
  EXPECT_EQ(FormatCellNumber(123456789012), "123456789012");
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

TEST(MailFilter, HeadersFirstThenPartsAttachmentsAndNestedMessages) {
  Extracted e = ExtractSample("eml", Sample("sample.eml"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text.rfind("From: Анна <anna@example.org>\n"
                         "To: Bob <bob@example.org>, carol@example.org\n"
                         "Cc: Dave <dave@example.org>\n"
                         "Date: Mon, 01 Mar 2021 10:30:00 +0100\n"
                         "Subject: Quarterly résumé\n",
                         0),
            0u)
      << e.text;
  // The plain rendering of the alternative, not both.
  EXPECT_NE(e.text.find("Hello Bob, the figures are attached. Greek: Καλημέρα."), std::string::npos);
  EXPECT_EQ(e.text.find("the HTML rendering"), std::string::npos);
  // Bytes invalid in the declared charset show as replacements; the words around survive.
  EXPECT_NE(e.text.find("Broken \xEF\xBF\xBD\xEF\xBF\xBD bytes before the last words survive."), std::string::npos)
      << e.text;
  // The attached document's own text, introduced by its name; other attachments by name only.
  std::size_t report = e.text.find("Attachment: report.doc\n");
  ASSERT_NE(report, std::string::npos);
  EXPECT_LT(report, e.text.find("Name\tCity\tScore"));
  EXPECT_NE(e.text.find("Attachment: chart.png"), std::string::npos);
  // The attached message: its headers, and its HTML-only body as text without scripts.
  std::size_t inner = e.text.find("Subject: The attached message");
  ASSERT_NE(inner, std::string::npos);
  EXPECT_LT(inner, e.text.find("Only HTML in here & nothing else."));
  EXPECT_EQ(e.text.find("hidden"), std::string::npos);
  EXPECT_EQ(e.text.find("<b>"), std::string::npos);
}

TEST_F(ScratchDir, MailFollowsNestedMessagesOnlySoDeep) {
  std::string message = "From: a@example.org\nSubject: level 0\n\ninnermost\n";
  for (int level = 1; level <= 30; ++level)
    message = "From: a@example.org\nSubject: level " + std::to_string(level) +
              "\nMIME-Version: 1.0\nContent-Type: message/rfc822\n\n" + message;
  Extracted e = ExtractSample("eml", Write("deep.eml", message).string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Subject: level 30"), std::string::npos);
  EXPECT_NE(e.text.find("nested too deeply"), std::string::npos);
  EXPECT_EQ(e.text.find("innermost"), std::string::npos);
}

TEST_F(ScratchDir, MailWithUnknownCharsetFallsBackVisibly) {
  std::string message =
      "From: a@example.org\nSubject: s\nContent-Type: text/plain; charset=x-no-such-charset\n\n"
      "caf\xE9 au lait\n";
  Extracted e = ExtractSample("eml", Write("odd.eml", message).string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("café au lait"), std::string::npos) << e.text;
}

TEST(MailHtml, BlocksBecomeLinesEntitiesAreDecoded) {
  TextSink sink;
  MailHtmlToText("<div>One&nbsp;&lt;two&gt;</div><style>p{}</style><p>Three &#x263A; &#233;</p>", "", sink);
  EXPECT_EQ(sink.Joined(), "One <two>\nThree ☺ é\n");
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
  for (const char* name : {"sample.doc", "sample.xls", "sample.ppt", "sample.eml"}) {
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

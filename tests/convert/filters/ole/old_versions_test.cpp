// The Office filters over files of older versions that no tool here writes:
// Excel 2 to 4 worksheets and workbooks, PowerPoint 4.0 and 95
// presentations and Word 6 numbered paragraphs.  Each test builds a minimal
// file of its own, record by record, as the versions lay them out.
#include <gsf/gsf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "convert/filters/builtin.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using Status = ExtractResult::Status;

std::string U16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)}; }
std::string U32(unsigned v) { return U16(v & 0xFFFF) + U16(v >> 16); }
std::string F64(double v) {
  std::string s(8, '\0');
  std::memcpy(s.data(), &v, 8);
  return s;
}
std::string Byte(unsigned v) { return std::string(1, static_cast<char>(v)); }
// A BIFF record: type, length, data.
std::string Record(unsigned type, const std::string& data) { return U16(type) + U16(static_cast<unsigned>(data.size())) + data; }
std::string Short(const std::string& s) { return Byte(static_cast<unsigned>(s.size())) + s; }

class OldVersions : public test::ScratchTest {
 protected:
  // Writes a compound file holding the named streams.
  std::string WriteCompound(const std::string& name, const std::vector<std::pair<std::string, std::string>>& streams) {
    std::string path = (dir_ / name).string();
    GError* error = nullptr;
    GsfOutput* out = gsf_output_stdio_new(path.c_str(), &error);
    EXPECT_NE(out, nullptr);
    if (!out) return path;
    GsfOutfile* ole = gsf_outfile_msole_new(out);
    for (const auto& [stream, bytes] : streams) {
      GsfOutput* child = gsf_outfile_new_child(ole, stream.c_str(), FALSE);
      gsf_output_write(child, bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
      gsf_output_close(child);
      g_object_unref(child);
    }
    gsf_output_close(GSF_OUTPUT(ole));
    g_object_unref(ole);
    g_object_unref(out);
    return path;
  }
};

TEST_F(OldVersions, Excel2WorksheetCellsFormulasAndPageHeader) {
  const std::string attr(3, '\0');  // no format: General
  std::string b = Record(0x0009, U16(2) + U16(0x0010));
  b += Record(0x0014, Short("&LLeft part&CPage &P of &N&R&\"Arial,Bold\"Right"));
  b += Record(0x0015, Short("&CFooter && more"));
  b += Record(0x0004, U16(0) + U16(0) + attr + Short("Old label"));
  b += Record(0x0003, U16(0) + U16(1) + attr + F64(2.5));
  b += Record(0x0002, U16(1) + U16(0) + attr + U16(42));
  b += Record(0x0006, U16(1) + U16(1) + attr + F64(7) + Byte(0) + Byte(0));
  b += Record(0x0006, U16(1) + U16(2) + attr + std::string(6, '\0') + U16(0xFFFF) + Byte(0) + Byte(0));
  b += Record(0x0007, Short("Formula text"));
  b += Record(0x0005, U16(2) + U16(0) + attr + Byte(1) + Byte(0));
  b += Record(0x000A, "");
  test::BuiltinText e = test::ExtractWith("xls", Write("excel2.xls", b).string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Old label\t2.5\n42\t7\tFormula text\nTRUE\nLeft part\tPage of\tRight\nFooter & more\n");
}

TEST_F(OldVersions, Excel4WorkbookReadsEachSheetByName) {
  // Globals with two BUNDLESHEET records pointing at the sheets after them.
  auto sheet = [](const std::string& label, double number) {
    return Record(0x0409, U16(4) + U16(0x0010) + U16(0)) +
           Record(0x0204, U16(0) + U16(0) + U16(0) + U16(static_cast<unsigned>(label.size())) + label) +
           Record(0x0203, U16(1) + U16(0) + U16(0) + F64(number)) + Record(0x000A, "");
  };
  const std::string first = sheet("First sheet cell", 12), second = sheet("Second sheet cell", 3.25);
  std::string globals = Record(0x0409, U16(4) + U16(0x0100) + U16(0));
  const std::size_t bundles = 2 * (4 + 4 + 2 + 1) + 5 + 4;  // the two BUNDLESHEET records below
  const std::size_t start = globals.size() + bundles + 4;
  globals += Record(0x008F, U32(static_cast<unsigned>(start)) + U16(0) + Short("Alpha"));
  globals += Record(0x008F, U32(static_cast<unsigned>(start + first.size())) + U16(0) + Short("Beta"));
  globals += Record(0x000A, "");
  ASSERT_EQ(globals.size(), start);
  test::BuiltinText e = test::ExtractWith("xls", Write("excel4.xls", globals + first + second).string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Alpha\nFirst sheet cell\n12\n Beta\nSecond sheet cell\n3.25\n");
}

TEST_F(OldVersions, Excel3WorksheetNamedTxtIsStillAWorksheet) {
  std::string b = Record(0x0209, U16(3) + U16(0x0010) + U16(0));
  b += Record(0x0204, U16(0) + U16(0) + U16(0) + U16(5) + "Third");
  b += Record(0x027E, U16(0) + U16(1) + U16(0) + U32((17u << 2) | 2));  // RK integer 17
  b += Record(0x000A, "");
  std::string path = Write("worksheet.txt", b).string();
  EXPECT_EQ(test::Extracted(path), "Third\t17\n");
}

TEST_F(OldVersions, PowerPoint4TextRunsWithoutMasterPrompts) {
  auto run = [](const std::string& text) { return std::string(6, '\0') + U16(1) + U32(static_cast<unsigned>(text.size())) + text; };
  std::string pp40 = "\xED\xDE\xAD\x0B" + U32(4) + std::string(40, '3');
  pp40 += run("Click to edit Master title style");
  pp40 += std::string(20, '\x33') + U16(1) + U32(0x7FFF0000) + std::string(12, '\x01');  // no text: a length past the end
  pp40 += run("Quarterly review");
  pp40 += std::string(30, '\0') + U16(1) + U32(3) + "\x01\x02\x03";  // not printable
  pp40 += run("First point\rSecond point");
  std::string path = WriteCompound("pp4.ppt", {{"PP40", pp40}, {"SummaryInformation", std::string(64, '\0')}});
  test::BuiltinText e = test::ExtractWith("ppt", path);
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Quarterly review\nFirst point\nSecond point\n");
}

TEST_F(OldVersions, PowerPoint95ReadsTheTextItKeepsForSearching) {
  // Its records have a 16-byte header the later reader does not follow.
  std::string records = U16(3) + U16(0) + U32(0xFFFF) + U32(16) + U32(0) + U16(0x07EE) + U16(0) + U32(0) + U32(0) + U32(0);
  std::string content = "Annual plan\r\rBudget \x96 draft\rStaff\r";
  std::string path = WriteCompound("pp95.ppt", {{"PowerPoint Document", records}, {"Text_Content", content}});
  test::BuiltinText e = test::ExtractWith("ppt", path);
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Annual plan\n\nBudget \u2013 draft\nStaff\n");
}

// A Word 6 document: FIB, 8-bit text at 512, one page of paragraph
// properties at 1024, the table of those pages at 1536.
std::string Word6Document(const std::vector<std::pair<std::string, std::string>>& paragraphs) {
  std::string text;
  for (const auto& [t, grpprl] : paragraphs) text += t + "\r";
  std::string fib(512, '\0');
  auto put = [&](std::size_t at, const std::string& bytes) { fib.replace(at, bytes.size(), bytes); };
  put(0, U16(0xA5DC) + U16(101) + U16(0) + U16(0x0409));
  put(0x18, U32(512) + U32(static_cast<unsigned>(512 + text.size())));
  put(0x34, U32(static_cast<unsigned>(text.size())));
  put(0xC0, U32(1536) + U32(10));
  std::string page(512, '\0');
  const std::size_t crun = paragraphs.size();
  std::size_t fc = 512, papx_at = 510;
  for (std::size_t i = 0; i < crun; ++i) {
    page.replace(4 * i, 4, U32(static_cast<unsigned>(fc)));
    fc += paragraphs[i].first.size() + 1;
    std::string papx = U16(0) + paragraphs[i].second;  // style 0, then the modifiers
    if (papx.size() % 2) papx += '\0';
    papx_at = (papx_at - papx.size() - 1) & ~std::size_t{1};
    page[papx_at] = static_cast<char>(papx.size() / 2);
    page.replace(papx_at + 1, papx.size(), papx);
    page[4 * (crun + 1) + 7 * i] = static_cast<char>(papx_at / 2);
  }
  page.replace(4 * crun, 4, U32(static_cast<unsigned>(fc)));
  page[511] = static_cast<char>(crun);
  std::string body = fib + text;
  body.resize(1024, '\0');
  return body + page + U32(512) + U32(static_cast<unsigned>(fc)) + U16(2);
}

// sprmPNLvlAnm and sprmPAnld: a level and a number format (nfc, the
// characters before and after the number, the start value, and the text).
std::string Numbered(int level, int nfc, const std::string& before, const std::string& after, int start = 1) {
  std::string anld = Byte(nfc) + Byte(static_cast<unsigned>(before.size())) + Byte(static_cast<unsigned>(after.size())) +
                     std::string(7, '\0') + U16(static_cast<unsigned>(start)) + std::string(8, '\0');
  std::string chars = before + after;
  chars.resize(32, '\0');
  anld += chars;
  return Byte(13) + Byte(static_cast<unsigned>(level)) + Byte(12) + Byte(static_cast<unsigned>(anld.size())) + anld;
}

TEST_F(OldVersions, Word6NumberedAndBulletedParagraphs) {
  const std::string bullet = Numbered(11, 23, "\xB7", "");  // a Symbol font bullet
  const std::string decimal = Numbered(10, 0, "", ".");
  std::string doc = Word6Document({{"Intro", ""},
                                   {"Chapter", Numbered(1, 1, "", ".")},
                                   {"Apples", bullet},
                                   {"Pears", bullet},
                                   {"Plain", Byte(5) + Byte(1)},  // centred, not numbered
                                   {"One", decimal},
                                   {"Two", decimal},
                                   {"Plain again", ""},
                                   {"Fresh", Numbered(10, 4, "(", ")", 3)}});
  std::string path = WriteCompound("word6.doc", {{"WordDocument", doc}});
  test::BuiltinText e = test::ExtractWith("doc", path);
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Intro\nI. Chapter\n\u2022 Apples\n\u2022 Pears\nPlain\n1. One\n2. Two\nPlain again\n(c) Fresh\n");
}

}  // namespace
}  // namespace quarn

// Bytes no XML may hold, in the parts of packages that writers made anyway:
// cleaned on their way to the parser so that the rest of the part is read,
// while well-formed parts and parts in other encodings pass unchanged.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "convert/filter.h"
#include "convert/filters/package/xml_bytes.h"
#include "tests/support/filter_support.h"
#include "tests/support/zip_support.h"

namespace quarn {
namespace {

using namespace std::string_literals;

// The cleaned bytes, handed to the cleaner in pieces of `piece` bytes.
std::string Cleaned(std::string_view bytes, std::size_t piece = 1 << 20) {
  XmlBytesCleaner cleaner;
  std::string out;
  for (std::size_t at = 0; at < bytes.size(); at += piece)
    cleaner.Clean(bytes.substr(at, piece), false, out);
  cleaner.Clean({}, true, out);
  return out;
}

TEST(XmlBytes, StrayBytesBecomeCharactersInEveryPieceSize) {
  const std::string declared = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  // Well-formed: unchanged, also with characters split between pieces.
  const std::string good = declared + "<p>caf\u00E9 \u20AC \U0001F600\tend\r\n</p>";
  // A NUL, a vertical tab and an escape; Latin-1 e-acute, a Windows-1252
  // euro sign and an undefined 0x81; a lead byte cut off by "<"; a
  // surrogate written as UTF-8, and U+FFFF.
  const std::string bad = declared + "<p>a\x00" "b\x0B" "c\x1B" "d caf\xE9 \x80 \x81 \xC3<x/>\xED\xA0\x80\xEF\xBF\xBF</p>"s;
  const std::string expected = declared +
                               "<p>a b c d caf\u00E9 \u20AC \uFFFD \u00C3<x/>\u00ED\u00A0\u20AC\u00EF\u00BF\u00BF</p>";
  for (std::size_t piece : {1, 2, 3, 7, 4096}) {
    EXPECT_EQ(Cleaned(good, piece), good) << piece;
    EXPECT_EQ(Cleaned(bad, piece), expected) << piece;
  }
  // A part that ends inside a character: its bytes are strays.
  EXPECT_EQ(Cleaned("<p>\xE2\x82"), "<p>\u00E2\u201A");
}

TEST(XmlBytes, PartsInOtherEncodingsPassUnchanged) {
  const std::string latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?><p>caf\xE9\x0B</p>";
  EXPECT_EQ(Cleaned(latin1), latin1);
  const std::string utf16("\xFF\xFE<\0p\0>\0", 8);
  EXPECT_EQ(Cleaned(utf16), utf16);
  const std::string bare_utf16("<\0?\0x\0", 6);
  EXPECT_EQ(Cleaned(bare_utf16), bare_utf16);
  // No declaration, or one in other letters, is UTF-8.
  EXPECT_EQ(Cleaned("<p>\xE9</p>"), "<p>\u00E9</p>");
  EXPECT_EQ(Cleaned("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf8\"?><p>\x01</p>"),
            "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf8\"?><p> </p>");
}

TEST(XmlBytes, AWordBodyWithControlCharactersAndLatin1TextIsReadWhole) {
  test::TempDir dir;
  const std::string rels = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
  auto para = [](const std::string& text) { return "<w:p><w:r><w:t>" + text + "</w:t></w:r></w:p>"; };
  test::WriteZip(dir.path() / "made.docx",
                 {{"[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
                  {"_rels/.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                                  "<Relationship Id=\"rId1\" Type=\"" + rels + "/officeDocument\" Target=\"word/document.xml\"/>"
                                  "</Relationships>"},
                  {"word/document.xml",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                   "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>" +
                       para("First line\x0Bsecond line") + para(std::string("Stra\xDF" "e und Caf\xE9")) +
                       para("A cell's \x01" "value") + para("Last paragraph") + "</w:body></w:document>"}});
  TextSink sink;
  const ExtractResult r = ExtractWithBuiltin("docx", (dir.path() / "made.docx").string(), sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kOk) << r.reason;
  EXPECT_EQ(sink.Joined(), "First line second line\nStra\u00DFe und Caf\u00E9\nA cell's  value\nLast paragraph\n");
}

}  // namespace
}  // namespace quarn

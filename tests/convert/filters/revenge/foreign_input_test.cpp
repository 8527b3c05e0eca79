// The filters of the other suites' formats over what they must not choke on
// -- empty files, random bytes, text, damaged containers -- and the sniffing
// that finds each format by its content when its name lies.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "convert/filter.h"
#include "convert/filters/sniff.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

// One extension of every filter of these formats.
const std::vector<std::string> kExtensions = {".wpd", ".wpg",  ".wps",  ".wk1", ".cwk", ".pages", ".numbers",
                                              ".key", ".vsd",  ".vsdx", ".pub", ".sdw", ".sdc",   ".cdr",
                                              ".cmx", ".qxp",  ".zmf",  ".fh",  ".pmd", ".abw",   ".fb2",
                                              ".pdb", ".mobi", ".xps",  ".cbz", ".svg", ".djvu",  ".sxw"};

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// No crash, and either text or a reason.
void ExpectTextOrReason(const std::string& path) {
  FilterText r = ExtractFilterText(test::Builtins(), path);
  bool has_text = r.text.find_first_not_of(' ') != std::string::npos;
  EXPECT_TRUE(has_text || !r.problem.empty()) << path;
}

TEST(ForeignInput, EveryFilterGivesAReasonForEmptyRandomAndTextFiles) {
  test::TempDir dir;
  unsigned seed = 1;
  for (const std::string& ext : kExtensions) {
    SCOPED_TRACE(ext);
    const std::string empty = test::WriteFile(dir.path() / ("empty" + ext), "");
    FilterText r = ExtractFilterText(test::Builtins(), empty);
    EXPECT_FALSE(r.problem.empty());
    ExpectTextOrReason(test::WriteFile(dir.path() / ("random" + ext), RandomBytes(8192, seed++)));
    ExpectTextOrReason(test::WriteFile(dir.path() / ("text" + ext), "Just a line of plain text.\n"));
  }
}

TEST(ForeignInput, ContainersWithTheRightFirstBytesButNothingBehindThem) {
  test::TempDir dir;
  const std::string ole_head("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  const std::string zip_head("PK\x03\x04", 4);
  unsigned seed = 100;
  for (const std::string& ext : kExtensions) {
    SCOPED_TRACE(ext);
    ExpectTextOrReason(test::WriteFile(dir.path() / ("ole" + ext), ole_head + RandomBytes(4096, seed++)));
    ExpectTextOrReason(test::WriteFile(dir.path() / ("zip" + ext), zip_head + RandomBytes(4096, seed++)));
  }
}

std::string Sniffed(const test::TempDir& dir, const std::string& name, const std::string& bytes) {
  return SniffContent(test::WriteFile(dir.path() / name, bytes)).filter;
}

TEST(ForeignInput, FormatsAreFoundByTheirFirstBytes) {
  test::TempDir dir;
  auto palm = [](const char* type_creator) {
    std::string h = std::string("Book name") + std::string(23, '\0');
    h += std::string(28, '\0') + type_creator + std::string(10, '\0');
    return h;
  };
  EXPECT_EQ(Sniffed(dir, "a.bin", std::string("\xFFWPC\x10\0\0\0\x01\x0A\0\x01", 12) + "text"), "wordperfect");
  EXPECT_EQ(Sniffed(dir, "b.bin", std::string("\xFFWPC\x10\0\0\0\x01\x16\0\x01", 12)), "wpg");
  EXPECT_EQ(Sniffed(dir, "c.bin", "AT&TFORM\0\0\0\0DJVU"), "djvu");
  EXPECT_EQ(Sniffed(dir, "d.bin", palm("BOOKMOBI")), "ebook");
  EXPECT_EQ(Sniffed(dir, "e.bin", palm("TEXtREAd")), "ebook");
  EXPECT_EQ(Sniffed(dir, "f.bin", std::string("RIFF\0\0\0\0CDR9vrsn", 16)), "corel");
  EXPECT_EQ(Sniffed(dir, "g.bin", std::string("\0\0\x02\0\x06\x04\x06\0", 8)), "works");
  EXPECT_EQ(Sniffed(dir, "h.bin", std::string("\x31\xBE\0\0\0\xAB", 6)), "works");
  EXPECT_EQ(Sniffed(dir, "i.bin", std::string("\xFE\x37\0\x23", 4)), "mac");
  EXPECT_EQ(Sniffed(dir, "j.bin", std::string("\0\0IIXPR3", 8)), "quark");
  // XML formats by their root element, after a prolog and comments.
  EXPECT_EQ(Sniffed(dir, "k.xml", "<?xml version=\"1.0\"?>\n<!-- x -->\n<FictionBook xmlns=\"a\">"), "ebook");
  EXPECT_EQ(Sniffed(dir, "l.xml", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>"), "svg");
  EXPECT_EQ(Sniffed(dir, "m.xml", "<?xml version=\"1.0\"?><abiword version=\"1\">"), "abiword");
  EXPECT_EQ(Sniffed(dir, "n.xml", "<?xml version=\"1.0\"?><VisioDocument xmlns=\"v\">"), "visio");
  // Text that only happens to contain such words stays text.
  EXPECT_EQ(Sniffed(dir, "o.txt", std::string(60, 'x') + "BOOKMOBI and more text"), "");
  EXPECT_EQ(Sniffed(dir, "p.txt", "abcdBOBO is a word"), "");
}

}  // namespace
}  // namespace quarn

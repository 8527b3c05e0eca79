// What the program says: every path shown the same way, with control
// characters escaped visibly and reversibly, and nothing on standard error
// but the program's own lines.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using quarn::testing::RunOptions;
using quarn::testing::RunQuarn;
using quarn::testing::TempTree;

class Messages : public ::testing::Test {
 protected:
  RunOptions In() const {
    RunOptions o;
    o.cwd = tree_.root();
    o.env = {"LC_ALL=C.UTF-8"};
    return o;
  }
  TempTree tree_;
};

bool HasControlBytes(const std::string& text) {
  for (char c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) return true;
  return false;
}

TEST_F(Messages, PathsWithControlCharactersAreEscapedTheSameWayEverywhere) {
  const std::string odd = "odd\nname\x1b[2J\\.xyz";  // no filter: no text
  const std::string shown = "odd\\nname\\x1b[2J\\\\.xyz";
  tree_.Write("d/" + odd, "bytes");
  ASSERT_EQ(::symlink("gone", (tree_ / "d/link\r\x07.md").c_str()), 0);
  auto r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(HasControlBytes(r.err)) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: no text: d/" + shown + ": no filter is registered for \".xyz\" files\n"));
  EXPECT_THAT(r.err, HasSubstr("quarn: d/link\\r\\x07.md: a dangling symbolic link"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;  // summary and two lines

  r = RunQuarn({"d/" + odd}, In());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "quarn: d/" + shown + ": no text: no filter is registered for \".xyz\" files\n");
  r = RunQuarn({"d/" + odd + "\x1b.md"}, In());  // missing: the reason holds the path
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(HasControlBytes(r.err)) << r.err;
  EXPECT_THAT(r.err, HasSubstr(shown + "\\x1b.md"));
}

TEST_F(Messages, LibraryWarningsBecomeTheDocumentsReasonNotLinesOfTheirOwn) {
  // A Word file whose block allocation table has one bad entry: the
  // compound-file library warns through GLib and reads on.
  std::string doc = TempTree::Read(std::string(QUARN_TEST_DATA) + "/ole/sample.doc");
  ASSERT_GT(doc.size(), 1934u);
  doc[1934] = '\xd6';
  tree_.Write("damaged.doc", doc);
  const auto r = RunQuarn({"damaged.doc"}, In());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "quarn: damaged.doc: the file is damaged: libgsf:msole: Invalid metabat item ffd6ffff\n");
  EXPECT_FALSE(TempTree::Read(tree_ / "damaged.txt").empty());
}

TEST_F(Messages, LimitsOfTheXmlParserAreToldAsWhatTheDocumentHolds) {
  std::string entities = "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'i'; ++c)
    entities += std::string("<!ENTITY ") + c + " \"" + [&] {
      std::string refs;
      for (int k = 0; k < 10; ++k) refs += std::string("&") + static_cast<char>(c - 1) + ";";
      return refs;
    }() + "\">";
  entities += "]>";
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  deep += "deep";
  for (int i = 0; i < 300; ++i) deep += "</a>";
  tree_.Write("lol.xml", "<?xml version=\"1.0\"?>" + entities + "<r>&i;</r>");
  tree_.Write("deep.xml", "<?xml version=\"1.0\"?>" + deep);
  tree_.Write("run.xml", "<?xml version=\"1.0\"?><r><t>" + std::string(10000100, 'x') + "</t></r>");
  tree_.Write("broken.xml", "<?xml version=\"1.0\"?><r><t>text</r>");
  const struct {
    const char* file;
    const char* reason;
  } cases[] = {
      {"lol.xml", "entity expansion refused"},
      {"deep.xml", "nested deeper than 256 levels"},
      {"run.xml", "a text run larger than 10 MB"},
      {"broken.xml", "the XML is malformed at line 1: Opening and ending tag mismatch: t line 1 and r"},
  };
  for (const auto& c : cases) {
    const auto r = RunQuarn({c.file, "out.txt"}, In());
    EXPECT_THAT(r.err, HasSubstr(std::string(c.file) + ": ")) << c.file;
    EXPECT_THAT(r.err, HasSubstr(std::string(c.reason) + "\n")) << c.file;
    EXPECT_THAT(r.err, Not(HasSubstr("XML_PARSE_HUGE")));
  }
}

// The files that lie beside documents on shared folders (macOS's "._"
// files, Office's "~$" lock files) are named for what they are; a real
// document of such a name is still read.
TEST_F(Messages, CompanionFilesOfSharedFoldersAreNamedForWhatTheyAre) {
  std::string apple_double("\x00\x05\x16\x07\x00\x02\x00\x00Mac OS X        ", 24);
  apple_double += std::string(158, '\0');
  tree_.Write("d/._report.docx", apple_double);
  tree_.Write("d/._scan.pdf", apple_double);
  std::string lock = "\x05Alice" + std::string(48, '\0') + "\x05" + std::string(107, '\0');
  tree_.Write("d/~$port.docx", lock);
  tree_.Write("d/~$notes.md", "a real note\n");
  auto r = RunQuarn({"--batch", "d"}, In());
  EXPECT_THAT(r.err,
              HasSubstr("d/._report.docx: macOS file information (AppleDouble of \"report.docx\"), not a document\n"));
  EXPECT_THAT(r.err, HasSubstr("d/._scan.pdf: macOS file information (AppleDouble of \"scan.pdf\"), not a document\n"));
  EXPECT_THAT(r.err,
              HasSubstr("d/~$port.docx: an Office lock file (it names who had the document open), not a document\n"));
  EXPECT_EQ(TempTree::Read(tree_ / "d/~$notes.txt"), "a real note\n");
}

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The texts do not change with the user's language: dates in mail headers
// stay English, numbers keep their point, in a German locale made here.
TEST_F(Messages, TextsAreTheSameWhateverTheUsersLanguage) {
  namespace fs = std::filesystem;
  if (std::system("command -v localedef >/dev/null 2>&1") != 0 || !fs::exists("/usr/share/i18n/locales/de_DE"))
    GTEST_SKIP() << "localedef or the German locale's source is missing";
  fs::create_directories(tree_ / "loc");
  const std::string made = "localedef -i de_DE -f UTF-8 '" + (tree_ / "loc/de_DE.UTF-8") + "' >/dev/null 2>&1";
  if (std::system(made.c_str()) != 0 && !fs::exists(tree_ / "loc/de_DE.UTF-8/LC_NUMERIC"))
    GTEST_SKIP() << "localedef could not make de_DE.UTF-8";
  std::vector<fs::path> samples = {fs::path(QUARN_TEST_DATA) / "ole/sample.xls",
                                   fs::path(QUARN_TEST_DATA) / "package/odf/headers.ods",
                                   fs::path(QUARN_TEST_DATA) / "package/ooxml/sample.xlsx"};
  // Real Outlook items and spreadsheets when the corpus is here.
  std::error_code ec;
  for (const char* kind : {"msg", "numbers", "ods", "xlsx"})
    for (fs::recursive_directory_iterator it(fs::path(QUARN_CORPUS) / "inputs" / kind, ec), end; !ec && it != end;
         it.increment(ec))
      if (it->is_regular_file() && it->path().string().find("_corrupt") == std::string::npos)
        samples.push_back(it->path());
  for (const char* lang : {"c", "de"}) {
    fs::create_directories(tree_ / lang);
    int n = 0;
    for (const fs::path& sample : samples)
      fs::copy_file(sample, tree_ / (std::string(lang) + "/" + std::to_string(n++) + sample.extension().string()));
  }
  RunOptions c = In();
  RunOptions de = In();
  de.env = {"LOCPATH=" + (tree_ / "loc"), "LC_ALL=de_DE.UTF-8"};
  RunQuarn({"--batch", "--no-ocr", "c"}, c);
  RunQuarn({"--batch", "--no-ocr", "de"}, de);
  int compared = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(tree_ / "c")) {
    if (e.path().extension() != ".txt") continue;
    ++compared;
    const std::string in_c = Slurp(e.path());
    const std::string in_de = Slurp(tree_ / ("de/" + e.path().filename().string()));
    if (in_c == in_de) continue;
    // The first line that differs, in both forms.
    std::size_t at = 0;
    while (at < in_c.size() && at < in_de.size() && in_c[at] == in_de[at]) ++at;
    const std::size_t newline = at == 0 ? std::string::npos : in_c.rfind('\n', at - 1);
    const std::size_t from = newline == std::string::npos ? 0 : newline + 1;
    ADD_FAILURE() << e.path().filename() << ": \"" << in_de.substr(from, in_de.find('\n', from) - from)
                  << "\" in German, \"" << in_c.substr(from, in_c.find('\n', from) - from) << "\" in C";
  }
  EXPECT_GE(compared, 3);
}

}  // namespace
}  // namespace quarn

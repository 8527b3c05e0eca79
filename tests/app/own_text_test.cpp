// Small UTF-8 plain text read in the program's own process: the text it
// gives equals the converter's, it reads only the bytes it checked, and
// anything else (other bytes, other sizes, another filter) is left to the
// converter process.
#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/main.h"
#include "convert/registry.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

class OwnPlainText : public ::testing::Test {
 protected:
  OwnPlainText() { registry_.AddBuiltins(); }

  // What ReadOwnPlainText gives for name holding bytes (read through fd_of,
  // when set, in place of name's own descriptor).
  std::optional<DocumentText> Read(const std::string& name, const std::string& bytes,
                                   const std::string& fd_of = {}) {
    const std::string path = tree_.Write(name, bytes);
    const int fd = ::open((fd_of.empty() ? path : tree_ / fd_of).c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    std::optional<DocumentText> read = ReadOwnPlainText(registry_, DocumentInput{path, fd});
    ::close(fd);
    return read;
  }

  Registry registry_;
  testing::TempTree tree_;
};

TEST_F(OwnPlainText, GivesWhatTheConverterWouldGive) {
  const std::string bytes = "\xEF\xBB\xBFTitle\r\nline two\rline three\n\n\xC3\xA9t\xC3\xA9          spaced\n";
  std::optional<DocumentText> here = Read("a.txt", bytes);
  ASSERT_TRUE(here);
  const DocumentText there = ReadDocument(registry_, tree_ / "a.txt");
  EXPECT_EQ(here->text, there.text);
  EXPECT_EQ(here->result.outcome, there.result.outcome);
  EXPECT_EQ(here->result.reader, there.result.reader);
  EXPECT_EQ(here->text.find('\r'), std::string::npos);
  EXPECT_EQ(here->text.find("\xEF\xBB\xBF"), std::string::npos);

  // Markup and mail headers in a .txt are text as they stand.
  ASSERT_TRUE(Read("page.txt", "<html><body>kept as written</body></html>\n"));
  EXPECT_EQ(Read("page.txt", "<html><body>kept as written</body></html>\n")->text,
            "<html><body>kept as written</body></html>\n");

  // Only white space: no text, as the converter says.
  std::optional<DocumentText> blank = Read("blank.txt", " \n\t\n");
  ASSERT_TRUE(blank);
  EXPECT_EQ(blank->result.outcome, Outcome::kNoText);
}

TEST_F(OwnPlainText, AnythingElseIsLeftToTheConverter) {
  EXPECT_FALSE(Read("latin1.txt", "caf\xE9\n"));                   // not UTF-8: the detector's work
  EXPECT_FALSE(Read("cut.txt", "cut \xC3"));                        // a sequence cut at the end
  EXPECT_FALSE(Read("nul.txt", std::string("a\0b\n", 4)));          // UTF-16 or binary
  EXPECT_FALSE(Read("iso2022.txt", "\x1B$B$3$s\x1B(B\n"));          // escapes
  EXPECT_FALSE(Read("zip.txt", std::string("PK\x03\x04", 4) + "rest of a zip"));
  EXPECT_FALSE(Read("pdf.txt", "%PDF-1.4\n1 0 obj\n"));
  EXPECT_FALSE(Read("rtf.txt", "{\\rtf1\\ansi hello}"));
  EXPECT_FALSE(Read("empty.txt", ""));
  EXPECT_FALSE(Read("big.txt", std::string(kOwnPlainTextBytes + 1, 'a')));
  EXPECT_TRUE(Read("just.txt", std::string(kOwnPlainTextBytes, 'a')));
  EXPECT_FALSE(Read("page.html", "<p>the HTML filter's</p>"));      // another filter's name
  EXPECT_FALSE(Read("no_extension", "plain"));

  // A registry that gives .txt to a plug-in: the plug-in reads it, in a converter.
  std::string error;
  ASSERT_TRUE(registry_.LoadRegText(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.txt\\PersistentHandler]\r\n"
      "@=\"{11111111-2222-3333-4444-555555555555}\"\r\n",
      "", &error))
      << error;
  EXPECT_FALSE(Read("plugin.txt", "plain\n"));
}

// The text is that of the bytes checked, read once: the name's file may be
// replaced meanwhile, and what was checked is what is read.
TEST_F(OwnPlainText, ReadsTheBytesItCheckedNotTheNameAgain) {
  tree_.Write("checked.txt", "the checked bytes\n");
  std::optional<DocumentText> read = Read("named.txt", std::string("PK\x03\x04", 4) + "a zip now", "checked.txt");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->text, "the checked bytes\n");
}

}  // namespace
}  // namespace quarn

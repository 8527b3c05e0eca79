// Nothing of the user's is lost: what a batch may and may not replace, run
// end to end with the real program over small trees.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using quarn::testing::RunOptions;
using quarn::testing::RunQuarn;
using quarn::testing::TempTree;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class BatchDataSafety : public ::testing::Test {
 protected:
  RunOptions In() const {
    RunOptions o;
    o.cwd = tree_.root();
    return o;
  }
  TempTree tree_;
};

TEST_F(BatchDataSafety, AFileThatIsADocumentOfTheRunIsNeverReplaced) {
  tree_.Write("d/notes.txt", "my own notes\n");
  tree_.Write("d/notes.md", "markdown words\n");
  const auto r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(TempTree::Read(tree_ / "d/notes.txt"), "my own notes\n");
  EXPECT_THAT(r.err, HasSubstr("quarn: 0 written, 0 without text, 1 failed, 1 already text\n"));
  // The failure names both documents.
  EXPECT_THAT(r.err, HasSubstr("quarn: d/notes.md: not written: \"d/notes.txt\" is itself a document of this run\n"));
}

TEST_F(BatchDataSafety, TwoDocumentsWithOneOutputTheFirstWrittenKeepsIt) {
  tree_.Write("d/a.md", "from markdown\n");
  tree_.Write("d/a.rtf", "{\\rtf1\\ansi from rtf\\par}");
  tree_.Write("d/a.html", "<p>from html</p>");
  const auto r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 1 written, 0 without text, 2 failed\n"));
  const std::string text = TempTree::Read(tree_ / "d/a.txt");
  std::string winner;
  for (const char* doc : {"d/a.md", "d/a.rtf", "d/a.html"}) {
    const std::string ext = std::string(doc).substr(4);
    if (text.find("from " + std::string(ext == "md" ? "markdown" : ext)) != std::string::npos) winner = doc;
  }
  ASSERT_FALSE(winner.empty()) << text;
  // Each of the other two fails naming the output and the document it holds.
  EXPECT_EQ(Count(r.err, "not written: \"d/a.txt\" already holds the text of \"" + winner + "\"\n"), 2) << r.err;
}

TEST_F(BatchDataSafety, ARunAgainReplacesItsOwnTextFilesAndDoesNotCountThem) {
  tree_.Write("d/a.md", "first words\n");
  tree_.Write("d/sub/b.rtf", "{\\rtf1\\ansi rtf words\\par}");
  auto r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 2 written, 0 without text, 0 failed\n");
  tree_.Write("d/a.md", "second words\n");
  r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 2 written, 0 without text, 0 failed\n");
  EXPECT_EQ(TempTree::Read(tree_ / "d/a.txt"), "second words\n");
  // A copy of a text file is the user's own: it is a document, and protected.
  std::filesystem::copy_file(tree_ / "d/a.txt", tree_ / "d/c.txt");
  tree_.Write("d/c.md", "would replace the copy\n");
  r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(TempTree::Read(tree_ / "d/c.txt"), "second words\n");
  EXPECT_THAT(r.err, HasSubstr("d/c.md: not written: \"d/c.txt\" is itself a document of this run"));
}

TEST_F(BatchDataSafety, ANamedFileOrAFileInANamedFolderIsProtectedWhateverIsConvertedFirst) {
  // The document is named before its folder, so it may well be converted
  // before the folder is listed.
  tree_.Write("d/sub/notes.txt", "keep me\n");
  tree_.Write("d/sub/notes.md", "markdown\n");
  tree_.Write("e/report.txt", "keep me too\n");
  tree_.Write("e/report.md", "markdown\n");
  const auto r = RunQuarn({"--batch", "d/sub/notes.md", "d", "e/report.md", "e/report.txt"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(TempTree::Read(tree_ / "d/sub/notes.txt"), "keep me\n");
  EXPECT_EQ(TempTree::Read(tree_ / "e/report.txt"), "keep me too\n");
  // The folder's own notes.md is the same document again: each take fails.
  EXPECT_THAT(r.err, HasSubstr("0 written, 0 without text, 3 failed, 2 already text"));
}

TEST_F(BatchDataSafety, TheSingleFileCommandLineReplacesItsOutputButNeverTheInput) {
  tree_.Write("notes.txt", "old text\n");
  tree_.Write("notes.md", "new words\n");
  auto r = RunQuarn({"notes.md"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TempTree::Read(tree_ / "notes.txt"), "new words\n");
  // The output path is the input, by its own name or through a link.
  ASSERT_EQ(::symlink("notes.md", (tree_ / "alias.txt").c_str()), 0);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"notes.txt"},
                                               {"notes.md", "notes.md"}, {"notes.md", "alias.txt"}}) {
    r = RunQuarn(args, In());
    EXPECT_EQ(r.status, 1) << args.back() << r.err;
    EXPECT_THAT(r.err, HasSubstr("the output is the document itself; nothing written"));
  }
  EXPECT_EQ(TempTree::Read(tree_ / "notes.md"), "new words\n");
}

TEST_F(BatchDataSafety, TemporaryFilesAreNeverDocumentsAndTextFilesCarryTheirOrigin) {
  tree_.Write("d/a.md", "words\n");
  tree_.Write("d/.a.txt.0123456789ab~", "left by a killed program");
  const auto r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(r.err, "quarn: 1 written, 0 without text, 0 failed\n");
  char origin[64] = {};
  const ssize_t n = ::getxattr((tree_ / "d/a.txt").c_str(), "user.quarn.origin", origin, sizeof origin);
  if (n < 0 && errno == ENOTSUP) GTEST_SKIP() << "no extended attributes here";
  EXPECT_EQ(std::string(origin, n > 0 ? static_cast<std::size_t>(n) : 0), "a.md");
}

}  // namespace
}  // namespace quarn

// The batch in scripts and pipelines: JSON lines per document, lists of
// paths, runs that resume, an output tree and text on standard output, run
// end to end with the real program over small trees.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/main.h"
#include "convert/text_file.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using quarn::testing::RunOptions;
using quarn::testing::RunQuarn;
using quarn::testing::TempTree;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// The line whose input is the JSON string input (quotes included).
std::string LineOf(const std::string& out, const std::string& input) {
  for (const std::string& line : Lines(out))
    if (line.starts_with("{\"input\":" + input + ",")) return line;
  return {};
}

// Sets a file's modification time to seconds after the epoch.
void SetTime(const std::string& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

class Pipeline : public ::testing::Test {
 protected:
  RunOptions In() const {
    RunOptions o;
    o.cwd = tree_.root();
    return o;
  }
  TempTree tree_;
};

TEST_F(Pipeline, JsonLinesGiveEachDocumentItsStatusOnStandardOutput) {
  tree_.Write("d/a.md", "h\xc3\xa9llo words\n");
  tree_.Write("d/empty.md", " \n");
  tree_.Write("d/sub/b.rtf", "{\\rtf1\\ansi rtf words\\par}");
  const auto r = RunQuarn({"--batch", "--jsonl", "d", "missing.md", "d"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  EXPECT_EQ(lines.size(), 5u) << r.out;
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("{\"input\":") && line.ends_with("}")) << line;
    EXPECT_THAT(line, HasSubstr(",\"milliseconds\":")) << line;
  }
  EXPECT_THAT(LineOf(r.out, "\"d/a.md\""),
              HasSubstr("\"output\":\"d/a.txt\",\"status\":\"written\",\"reason\":null,\"input_bytes\":13,"
                        "\"text_chars\":12,\"pages\":null,\"ocr_pages\":0,\"filter\":\"text\","));
  EXPECT_THAT(LineOf(r.out, "\"d/sub/b.rtf\""), HasSubstr("\"status\":\"written\""));
  EXPECT_THAT(LineOf(r.out, "\"d/sub/b.rtf\""), HasSubstr("\"filter\":\"rtf\""));
  EXPECT_THAT(LineOf(r.out, "\"d/empty.md\""),
              HasSubstr("\"output\":null,\"status\":\"no_text\",\"reason\":\"the document has no text\""));
  EXPECT_THAT(LineOf(r.out, "\"missing.md\""), HasSubstr("\"status\":\"failed\",\"reason\":\"cannot read: No such"));
  // The second "d" is the same request again: converted once, reported as left out.
  EXPECT_THAT(LineOf(r.out, "\"d\""), HasSubstr("\"status\":\"skipped\",\"reason\":\"named more than once\""));
  // Standard error keeps the summary (no progress off a terminal).
  EXPECT_THAT(r.err, HasSubstr("quarn: 2 written, 1 without text, 1 failed, 1 skipped\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("File ")));
}

TEST_F(Pipeline, DocumentsUnderNamesNoFilterIsRegisteredForAreReadByTheirContent) {
  using namespace std::string_literals;
  const std::string data = QUARN_TEST_DATA;
  auto copy = [&](const std::string& from, const std::string& to) {
    tree_.Write(to, TempTree::Read(data + "/" + from));
  };
  // A Maildir folder's messages, a WordPerfect letter named as its writer
  // liked, Word's backup copy, a download saved twice.
  copy("mail/sample.eml", "d/Maildir/cur/1700000000.M1P2.host,U=1:2,S");
  copy("mail/sample.eml", "d/Maildir/new/1700000001.M3P4.host");
  copy("wordperfect/letter.wpd", "d/smith.ltr");
  copy("ole/sample.doc", "d/Backup of report.wbk");
  copy("convert/pdf/actual_text.pdf", "d/statement.pdf.1");
  // Program data under names no filter knows stays unread: a zip (an
  // application package), a picture in a cache, text, random bytes.
  tree_.Write("d/plugin.jar", "PK\x05\x06"s + std::string(18, '\0'));
  tree_.Write("d/thumb.cache", "\x89PNG\r\n\x1A\n\0\0\0\rIHDR"s);
  tree_.Write("d/settings.xyz", "width=3\nheight=4\n");
  tree_.Write("d/blob.bin", "\x01\x02\x03\xFF\xFE\0\x10"s);
  // Scripts and sources that hold a page or a PDF's signature a little way
  // in are no documents; a page saved under a server script's name is.
  tree_.Write("d/app.psgi", "#!/usr/bin/perl\nprint <<'END';\n<html><body><p>Hello</p></body></html>\nEND\n");
  tree_.Write("d/writer.inc", "/* writes */\nstatic const char head[] = \"%PDF-1.4\\n\";\n");
  tree_.Write("d/saved.asp", "\n<!DOCTYPE html>\n<html><body><p>Opening hours of the office</p></body></html>\n");
  const auto r = RunQuarn({"--batch", "--jsonl", "d"}, In());
  for (const char* read : {"d/Maildir/cur/1700000000.M1P2.host,U=1:2,S", "d/Maildir/new/1700000001.M3P4.host",
                           "d/smith.ltr", "d/Backup of report.wbk", "d/statement.pdf.1"})
    EXPECT_THAT(LineOf(r.out, "\""s + read + "\""), HasSubstr("\"status\":\"written\"")) << read << "\n" << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/Maildir/new/1700000001.M3P4.host\""), HasSubstr("\"filter\":\"eml\""));
  EXPECT_THAT(LineOf(r.out, "\"d/smith.ltr\""), HasSubstr("\"filter\":\"wordperfect\""));
  EXPECT_TRUE(Exists(tree_ / "d/Maildir/new/1700000001.M3P4.txt"));
  EXPECT_THAT(TempTree::Read(tree_ / "d/statement.pdf.txt"), Not(::testing::IsEmpty()));
  EXPECT_THAT(LineOf(r.out, "\"d/saved.asp\""), HasSubstr("\"status\":\"written\""));
  for (const char* left : {"d/plugin.jar", "d/thumb.cache", "d/settings.xyz", "d/blob.bin", "d/app.psgi", "d/writer.inc"})
    EXPECT_THAT(LineOf(r.out, "\""s + left + "\""), HasSubstr("\"reason\":\"no filter is registered for")) << left;
}

TEST_F(Pipeline, DocumentsWithoutADotInTheirNameAreTakenWhenTheirContentNamesThem) {
  using namespace std::string_literals;
  const std::string data = QUARN_TEST_DATA;
  const std::string message = TempTree::Read(data + "/mail/sample.eml");
  // Mail programs' mailboxes (Inbox beside its index, an exported mailbox's
  // "mbox"), a mail folder's numbered messages, a PDF saved without its
  // extension; beside them program files without a dot, left as before.
  tree_.Write("d/Mail/Inbox", "From a@example.org Mon Jan  1 00:00:00 2024\n" + message);
  tree_.Write("d/Mail/Inbox.msf", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n");
  tree_.Write("d/Export/Work.mbox/mbox", "From a@example.org Mon Jan  1 00:00:00 2024\n" + message);
  tree_.Write("d/mh/inbox/1", message);
  tree_.Write("d/scan", TempTree::Read(data + "/convert/pdf/actual_text.pdf"));
  tree_.Write("d/NOTES", "notes without a dot\n");
  tree_.Write("d/Makefile", "all:\n\tcc -o x x.c\n");
  tree_.Write("d/run", "\x7F" "ELF\x02\x01\x01"s + std::string(40, '\0'));
  // Never opened to be looked into: a named pipe would wait for ever.
  ASSERT_EQ(::mkfifo((tree_ / "d/pipe").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/zero", (tree_ / "d/zero").c_str()), 0);
  const auto r =
      quarn::testing::RunProgram("/usr/bin/timeout", {"-k", "5", "60", quarn::testing::QuarnBinary(), "--batch", "--jsonl", "d"}, In());
  ASSERT_TRUE(r.status == 0 || r.status == 3) << "the run waited on the pipe: " << r.status;
  for (const char* read : {"d/Mail/Inbox", "d/Export/Work.mbox/mbox", "d/mh/inbox/1", "d/scan"})
    EXPECT_THAT(LineOf(r.out, "\""s + read + "\""), HasSubstr("\"status\":\"written\"")) << read << "\n" << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/Mail/Inbox\""), HasSubstr("\"filter\":\"mbox\""));
  EXPECT_THAT(LineOf(r.out, "\"d/mh/inbox/1\""), HasSubstr("\"filter\":\"eml\""));
  EXPECT_TRUE(Exists(tree_ / "d/Mail/Inbox.txt"));
  EXPECT_TRUE(Exists(tree_ / "d/mh/inbox/1.txt"));
  for (const char* left : {"d/NOTES", "d/Makefile", "d/run", "d/pipe", "d/zero"})
    EXPECT_EQ(LineOf(r.out, "\""s + left + "\""), "") << left;
  // The mailbox's index has no filter and never takes the mailbox's text file.
  EXPECT_THAT(LineOf(r.out, "\"d/Mail/Inbox.msf\""), HasSubstr("\"status\":\"no_text\""));
  // Named, the same: a mailbox is read, a file of notes is skipped with why.
  const auto named = RunQuarn({"--batch", "--jsonl", "d/Mail/Inbox", "d/NOTES"}, In());
  EXPECT_THAT(LineOf(named.out, "\"d/Mail/Inbox\""), HasSubstr("\"status\":\"written\""));
  EXPECT_THAT(LineOf(named.out, "\"d/NOTES\""), HasSubstr("\"status\":\"skipped\""));
}

TEST_F(Pipeline, JsonStringsHoldAnyPathOnOneLineAndTellInvalidBytesBack) {
  tree_.Write("d/line\nbreak \"q\" \\ tab\t.md", "one\n");
  tree_.Write("d/caf\xc3\xa9.md", "two\n");
  tree_.Write("d/latin\xe9\xff.md", "three\n");
  tree_.Write("d/esc\x1b.md", "four\n");
  const auto r = RunQuarn({"--batch", "--jsonl", "d"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 4u) << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/line\\nbreak \\\"q\\\" \\\\ tab\\t.md\""), HasSubstr("\"status\":\"written\""));
  // Valid UTF-8 stands as it is; each invalid byte is a lone low surrogate.
  EXPECT_THAT(LineOf(r.out, "\"d/caf\xc3\xa9.md\""), HasSubstr("\"output\":\"d/caf\xc3\xa9.txt\""));
  EXPECT_THAT(LineOf(r.out, "\"d/latin\\udce9\\udcff.md\""), HasSubstr("\"output\":\"d/latin\\udce9\\udcff.txt\""));
  EXPECT_THAT(LineOf(r.out, "\"d/esc\\u001b.md\""), HasSubstr("\"status\":\"written\""));
  for (const std::string& line : Lines(r.out))
    for (const char c : line) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20) << line;
}

TEST_F(Pipeline, PathsComeFromAListOneALineOrEndedByNul) {
  tree_.Write("d/a.md", "alpha\n");
  tree_.Write("d/new\nline.md", "beta\n");
  tree_.Write("e/c.md", "gamma\n");
  tree_.Write("lines.txt", "d/a.md\n\ne\nnowhere.md\n");
  auto r = RunQuarn({"--batch", "--jsonl", "--files-from", "lines.txt"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;
  EXPECT_EQ(TempTree::Read(tree_ / "e/c.txt"), "gamma\n");
  EXPECT_THAT(LineOf(r.out, "\"nowhere.md\""), HasSubstr("\"status\":\"failed\""));
  EXPECT_THAT(r.err, HasSubstr("quarn: 2 written, 0 without text, 1 failed\n"));

  // A NUL-separated list on standard input, as find -print0 gives it, with
  // the paths named on the command line too.
  tree_.Write("list0", std::string("d/new\nline.md\0d/a.md\0", 21));
  RunOptions o = In();
  o.stdin_file = tree_ / "list0";
  r = RunQuarn({"--batch", "--files-from", "-", "-0", "e/c.md"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 3 written, 0 without text, 0 failed\n");
  EXPECT_EQ(TempTree::Read(tree_ / "d/new\nline.txt"), "beta\n");

  // A listed file whose path holds no dot is no document, as in a folder,
  // but a script still gets its line; a dot in a folder's name makes it one
  // (which then has no filter for its empty extension).
  tree_.Write("d/NOTES", "delta\n");
  tree_.Write("f.d/README", "epsilon\n");
  tree_.Write("bare", "d/NOTES\nf.d/README\n");
  r = RunQuarn({"--batch", "--jsonl", "--files-from", "bare"}, In());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_THAT(LineOf(r.out, "\"d/NOTES\""), HasSubstr("\"status\":\"skipped\",\"reason\":\"no dot in its path"));
  EXPECT_THAT(LineOf(r.out, "\"f.d/README\""), HasSubstr("\"status\":\"no_text\""));
  EXPECT_THAT(r.err, HasSubstr("quarn: 0 written, 1 without text, 0 failed, 1 skipped\n"));

  // An empty list is nothing to do.
  tree_.Write("empty", "");
  r = RunQuarn({"--batch", "--files-from=empty"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 0 written, 0 without text, 0 failed\n");
}

TEST_F(Pipeline, ALongListFedToTheQueueInPiecesKeepsEveryRuleOfTheWholeList) {
  // More paths than the queue is given at once (8,192): those listed late
  // are documents of the run from the start, a path listed again far from
  // its first time is still converted once, and every path is converted.
  std::string list = "p/notes.md\n";
  tree_.Write("p/notes.md", "markdown\n");
  tree_.Write("p/notes.txt", "the user's own notes\n");
  constexpr int kMany = 8300;
  for (int i = 0; i < kMany; ++i) {
    const std::string path = "x/" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".md";
    tree_.Write(path, "w\n");
    list += path + "\n";
  }
  list += "x/0/f1.md\np/notes.txt\n";
  tree_.Write("list", list);
  const auto r = RunQuarn({"--batch", "--jsonl", "--jobs", "2", "--files-from", "list"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(Lines(r.out).size(), static_cast<std::size_t>(kMany + 3));
  EXPECT_EQ(TempTree::Read(tree_ / "p/notes.txt"), "the user's own notes\n");
  EXPECT_THAT(LineOf(r.out, "\"x/0/f1.md\""), HasSubstr("\"status\":\"skipped\",\"reason\":\"named more than once\""));
  EXPECT_THAT(r.err, HasSubstr("p/notes.md: not written: \"p/notes.txt\" is itself a document of this run"));
  EXPECT_THAT(r.err, HasSubstr("quarn: " + std::to_string(kMany) + " written, 0 without text, 1 failed, 1 already text, 1 skipped\n"));
  EXPECT_EQ(TempTree::Read(tree_ / "x/82/f8299.txt"), "w\n");
}

TEST_F(Pipeline, ABadListOrOptionEndsTheRunBeforeItStarts) {
  tree_.Write("d/a.md", "alpha\n");
  auto r = RunQuarn({"--batch", "--files-from", "no-list", "d"}, In());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarn: cannot read the list \"no-list\": No such file or directory\n");
  EXPECT_FALSE(Exists(tree_ / "d/a.txt"));
  r = RunQuarn({"--batch", "-0", "d"}, In());
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("quarn: -0 goes with --files-from\n"));
  for (const char* option : {"--files-from", "--output-dir"}) {
    r = RunQuarn({"--batch", "d", option}, In());
    EXPECT_EQ(r.status, 2) << option;
    EXPECT_THAT(r.err, HasSubstr(std::string("quarn: ") + option + " needs a")) << option;
  }
  r = RunQuarn({"--help"}, In());
  for (const char* option : {"--jsonl", "--files-from", "-0", "--update", "--output-dir", "--stdout"})
    EXPECT_THAT(r.out, HasSubstr(option)) << option;
}

TEST_F(Pipeline, UpdateLeavesUpToDateTextFilesAndConvertsWhatChanged) {
  tree_.Write("d/a.md", "first\n");
  tree_.Write("d/b.md", "second\n");
  auto r = RunQuarn({"--batch", "--update", "d"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 2 written, 0 without text, 0 failed\n");

  r = RunQuarn({"--batch", "--update", "--jsonl", "d"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 0 written, 0 without text, 0 failed, 2 skipped\n");
  EXPECT_THAT(LineOf(r.out, "\"d/a.md\""),
              HasSubstr("\"output\":\"d/a.txt\",\"status\":\"skipped\",\"reason\":\"its text file is newer"));

  // A document changed after its text file was written is converted again;
  // so is one whose text file is gone.
  tree_.Write("d/a.md", "first, changed\n");
  SetTime(tree_ / "d/a.txt", 1000000000);
  ASSERT_EQ(::unlink((tree_ / "d/b.txt").c_str()), 0);
  r = RunQuarn({"--batch", "--update", "d"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 2 written, 0 without text, 0 failed\n");
  EXPECT_EQ(TempTree::Read(tree_ / "d/a.txt"), "first, changed\n");

  // Without --update everything is converted again.
  r = RunQuarn({"--batch", "d"}, In());
  EXPECT_EQ(r.err, "quarn: 2 written, 0 without text, 0 failed\n");
}

bool KeepsUserAttributes(const std::string& file) {
  return ::setxattr(file.c_str(), "user.quarn.probe", "1", 1, 0) == 0;
}

// A text file newer than its document but made from another state of it is
// out of date: the document was replaced by a copy that kept an older time,
// or it changed while it was being read.
TEST_F(Pipeline, UpdateConvertsAgainADocumentThatNoLongerMatchesItsTextFile) {
  const std::string doc = tree_.Write("d/a.md", "first\n");
  if (!KeepsUserAttributes(tree_.Write("probe", ""))) GTEST_SKIP() << "no extended attributes here";
  SetTime(doc, 1500000000);
  auto r = RunQuarn({"--batch", "--update", "d"}, In());
  ASSERT_EQ(r.err, "quarn: 1 written, 0 without text, 0 failed\n");
  // As rsync -t or an unpacked archive leaves it: new bytes, a time still
  // older than the text file's.
  tree_.Write("d/a.md", "second, longer\n");
  SetTime(doc, 1600000000);
  r = RunQuarn({"--batch", "--update", "d"}, In());
  EXPECT_EQ(r.err, "quarn: 1 written, 0 without text, 0 failed\n");
  EXPECT_EQ(TempTree::Read(tree_ / "d/a.txt"), "second, longer\n");
  r = RunQuarn({"--batch", "--update", "d"}, In());
  EXPECT_EQ(r.err, "quarn: 0 written, 0 without text, 0 failed, 1 skipped\n");

  // Changed while it was read: the text file records the document as its
  // reading found it, so the next run reads the change.
  struct RunGate : OutputGate {
    std::string Admit(const OutputSlot&) override { return {}; }
    void Placed(const OutputSlot&, bool, FileIdentity) override {}
  } gate;
  const ConvertResult changed = ConvertFile(
      doc, "",
      [&](const DocumentInput&) {
        tree_.Write("d/a.md", "third, written while the second was read\n");
        return DocumentText{ConvertResult::Written(), "second, longer\n"};
      },
      &gate);
  ASSERT_TRUE(changed.written()) << changed.reason;
  struct stat now {};
  ASSERT_EQ(::stat(doc.c_str(), &now), 0);
  EXPECT_NE(ReadSourceState(tree_ / "d/a.txt"), SourceStateValue(now));
  r = RunQuarn({"--batch", "--update", "d"}, In());
  EXPECT_EQ(r.err, "quarn: 1 written, 0 without text, 0 failed\n");
  EXPECT_EQ(TempTree::Read(tree_ / "d/a.txt"), "third, written while the second was read\n");
}

TEST_F(Pipeline, UpdateLeavesATextFileToTheDocumentThatHoldsIt) {
  tree_.Write("d/a.md", "markdown\n");
  auto r = RunQuarn({"--batch", "d"}, In());
  ASSERT_EQ(r.status, 0) << r.err;
  // a.rtf comes later, older than a.txt: a.txt is a.md's text, not its,
  // and stays a.md's whichever of the two is taken first.
  tree_.Write("d/a.rtf", "{\\rtf1\\ansi rich\\par}");
  SetTime(tree_ / "d/a.rtf", 1000000000);
  for (int run = 0; run < 2; ++run) {
    r = RunQuarn({"--batch", "--update", "--jsonl", "d"}, In());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(LineOf(r.out, "\"d/a.md\""), HasSubstr("\"status\":\"skipped\""));
    EXPECT_THAT(LineOf(r.out, "\"d/a.rtf\""),
                HasSubstr("\"status\":\"failed\",\"reason\":\"not written: \\\"d/a.txt\\\" holds the text of "
                          "\\\"a.md\\\", and is newer than this document\""))
        << r.out;
    EXPECT_EQ(TempTree::Read(tree_ / "d/a.txt"), "markdown\n");
  }
  // A file beside it that no filter reads (a table's memo file) has no claim
  // on the text file: it says why it has no text, in every run alike.
  tree_.Write("d/a.dbt", "memo blocks\n");
  SetTime(tree_ / "d/a.dbt", 1000000000);
  r = RunQuarn({"--batch", "--update", "--jsonl", "d"}, In());
  EXPECT_THAT(LineOf(r.out, "\"d/a.dbt\""),
              HasSubstr("\"status\":\"no_text\",\"reason\":\"no filter is registered for \\\".dbt\\\" files\""))
      << r.out;
}

TEST_F(Pipeline, UpdateLeavesATextFileToTheDocumentOfTheSameNameThatHoldsIt) {
  // Two named folders map their a.md to one text file: the first keeps it,
  // and an update run does not call the second up to date.
  tree_.Write("d1/a.md", "one\n");
  tree_.Write("d2/a.md", "two\n");
  SetTime(tree_ / "d1/a.md", 1000000000);
  SetTime(tree_ / "d2/a.md", 1000000000);
  auto r = RunQuarn({"--batch", "--jobs", "1", "--output-dir", "out", "d1", "d2"}, In());
  ASSERT_EQ(r.status, 1) << r.err;
  const std::string kept = TempTree::Read(tree_ / "out/a.txt");
  const std::string holder = kept == "one\n" ? "d1/a.md" : "d2/a.md";
  const std::string other = kept == "one\n" ? "d2/a.md" : "d1/a.md";
  r = RunQuarn({"--batch", "--update", "--jsonl", "--output-dir", "out", "d1", "d2"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(LineOf(r.out, "\"" + holder + "\""), HasSubstr("\"status\":\"skipped\""));
  EXPECT_THAT(LineOf(r.out, "\"" + other + "\""),
              HasSubstr("\"status\":\"failed\",\"reason\":\"not written: \\\"out/a.txt\\\" holds the text of "
                        "\\\"" + holder + "\\\", and is newer than this document\""))
      << r.out;
  EXPECT_EQ(TempTree::Read(tree_ / "out/a.txt"), kept);
}

TEST_F(Pipeline, OutputDirMirrorsTheNamedTreesAndWritesNothingBesideTheInputs) {
  tree_.Write("in/a.md", "alpha\n");
  tree_.Write("in/sub/deeper/b.md", "beta\n");
  tree_.Write("other/c.md", "gamma\n");
  tree_.Write("loose/d.md", "delta\n");
  const auto r = RunQuarn({"--batch", "--jsonl", "--output-dir", "out/texts", "in", "other/", "loose/d.md"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TempTree::Read(tree_ / "out/texts/a.txt"), "alpha\n");
  EXPECT_EQ(TempTree::Read(tree_ / "out/texts/sub/deeper/b.txt"), "beta\n");
  EXPECT_EQ(TempTree::Read(tree_ / "out/texts/c.txt"), "gamma\n");
  EXPECT_EQ(TempTree::Read(tree_ / "out/texts/d.txt"), "delta\n");
  EXPECT_THAT(LineOf(r.out, "\"in/sub/deeper/b.md\""), HasSubstr("\"output\":\"out/texts/sub/deeper/b.txt\""));
  for (const char* beside : {"in/a.txt", "in/sub/deeper/b.txt", "other/c.txt", "loose/d.txt"})
    EXPECT_FALSE(Exists(tree_ / beside)) << beside;
}

TEST_F(Pipeline, OutputDirMirrorsListedPathsWholeAndKeepsThemInsideIt) {
  tree_.Write("src/a/x.md", "ex\n");
  tree_.Write("src/b/x.md", "other ex\n");
  tree_.Write("src/c/y.md", "why\n");
  tree_.Write("list", "./src/a/x.md\nsrc/b/x.md\nsrc/c\n" + tree_.root() + "/src/c/y.md\nsrc/../src/a/x.md\n");
  const auto r = RunQuarn({"--batch", "--jsonl", "--files-from", "list", "--output-dir", "out"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(TempTree::Read(tree_ / "out/src/a/x.txt"), "ex\n");
  EXPECT_EQ(TempTree::Read(tree_ / "out/src/b/x.txt"), "other ex\n");
  EXPECT_EQ(TempTree::Read(tree_ / "out/src/c/y.txt"), "why\n");
  // An absolute path keeps its whole path below the output folder.
  EXPECT_EQ(TempTree::Read(tree_ / ("out" + tree_.root() + "/src/c/y.txt")), "why\n");
  EXPECT_THAT(LineOf(r.out, "\"src/../src/a/x.md\""),
              HasSubstr("\"status\":\"failed\",\"reason\":\"its text file has no place in the output folder"));
  EXPECT_THAT(r.err, HasSubstr("quarn: 4 written, 0 without text, 1 failed\n"));
}

TEST_F(Pipeline, OutputDirNeverLetsTwoDocumentsShareOneTextFile) {
  tree_.Write("x/same.md", "from x\n");
  tree_.Write("y/same.md", "from y\n");
  const auto r = RunQuarn({"--batch", "--output-dir", "out", "x", "y"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 1 written, 0 without text, 1 failed\n"));
  const std::string text = TempTree::Read(tree_ / "out/same.txt");
  ASSERT_TRUE(text == "from x\n" || text == "from y\n") << text;
  const std::string winner = text == "from x\n" ? "x/same.md" : "y/same.md";
  const std::string loser = text == "from x\n" ? "y/same.md" : "x/same.md";
  EXPECT_THAT(r.err, HasSubstr("quarn: " + loser + ": not written: \"out/same.txt\" already holds the text of \"" +
                               winner + "\"\n"));
}

TEST_F(Pipeline, OutputDirInsideTheInputTreeNeverConvertsItsOwnTextFiles) {
  tree_.Write("d/a.md", "alpha\n");
  tree_.Write("d/s/b.md", "beta\n");
  for (int run = 0; run < 2; ++run) {
    const auto r = RunQuarn({"--batch", "--output-dir", "d/out", "d"}, In());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "quarn: 2 written, 0 without text, 0 failed\n") << run;
  }
  EXPECT_EQ(TempTree::Read(tree_ / "d/out/s/b.txt"), "beta\n");
  EXPECT_FALSE(Exists(tree_ / "d/out/out"));
  // --update finds the text files in the tree up to date.
  const auto r = RunQuarn({"--batch", "--update", "--output-dir", "d/out", "d"}, In());
  EXPECT_EQ(r.err, "quarn: 0 written, 0 without text, 0 failed, 2 skipped\n");
}

TEST_F(Pipeline, JsonLinesThatCannotBeWrittenFailTheRunButNotItsTextFiles) {
  tree_.Write("d/a.md", "alpha\n");
  tree_.Write("d/b.md", "beta\n");
  RunOptions o = In();
  o.stdout_file = "/dev/full";  // every write: no space left
  const auto r = RunQuarn({"--batch", "--jsonl", "d"}, o);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 2 written, 0 without text, 0 failed\n"
                               "quarn: the JSON lines could not all be written: No space left on device\n"));
  EXPECT_THAT(TempTree::Read(tree_ / "d/a.txt"), HasSubstr("alpha"));
  EXPECT_THAT(TempTree::Read(tree_ / "d/b.txt"), HasSubstr("beta"));
}

TEST_F(Pipeline, AnOutputDirThatCannotBeMadeFailsEachDocumentAndTheRunGoesOn) {
  tree_.Write("d/a.md", "alpha\n");
  tree_.Write("d/s/b.md", "beta\n");
  tree_.Write("blocker", "a file, not a folder\n");
  const auto r = RunQuarn({"--batch", "--jsonl", "--output-dir", "blocker/out", "d"}, In());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 0 written, 0 without text, 2 failed\n"));
  EXPECT_THAT(r.err, HasSubstr("quarn: d/a.md: cannot make the folder \"blocker/out\": Not a directory\n"));
  EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
  EXPECT_EQ(TempTree::Read(tree_ / "blocker"), "a file, not a folder\n");
}

TEST_F(Pipeline, ReadOnlyInputsConvertIntoAnOutputDir) {
  tree_.Write("ro/a.md", "alpha\n");
  tree_.Write("ro/s/b.md", "beta\n");
  RunOptions o = In();
  if (::geteuid() == 0) {
    // Run as "nobody", for whom the inputs are read-only and "out" is not.
    o.unprivileged = true;
    ASSERT_EQ(::chmod(tree_.root().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(tree_.Folder("out").c_str(), 0777), 0);
  }
  for (const char* folder : {"ro/s", "ro"}) ASSERT_EQ(::chmod((tree_ / folder).c_str(), 0555), 0);
  const auto r = RunQuarn({"--batch", "--output-dir", "out/t", "ro"}, o);
  for (const char* folder : {"ro", "ro/s"}) ::chmod((tree_ / folder).c_str(), 0755);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TempTree::Read(tree_ / "out/t/a.txt"), "alpha\n");
  EXPECT_EQ(TempTree::Read(tree_ / "out/t/s/b.txt"), "beta\n");
}

TEST_F(Pipeline, TextGoesToStandardOutputAndNoFileIsWritten) {
  tree_.Write("a.md", "# Title\n\nsome words\n");
  tree_.Write("blank.md", "  \n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"a.md", "-"}, {"--stdout", "a.md"}, {"--timeout", "60", "--stdout", "a.md"}, {"--", "a.md", "-"}}) {
    const auto r = RunQuarn(args, In());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "# Title\n\nsome words\n") << args[0];
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(Exists(tree_ / "a.txt"));
  EXPECT_FALSE(Exists(tree_ / "-"));
  auto r = RunQuarn({"blank.md", "-"}, In());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  r = RunQuarn({"--stdout", "nothing.md"}, In());
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("cannot read \"nothing.md\""));
  r = RunQuarn({"--stdout"}, In());
  EXPECT_EQ(r.status, 2);
}

// Lines without their time: what is compared between runs.
std::vector<std::string> Untimed(const std::string& out) {
  std::vector<std::string> lines;
  for (std::string line : Lines(out)) {
    const std::size_t at = line.find(",\"milliseconds\":");
    if (at != std::string::npos) line.erase(at);
    if (!line.empty()) lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_F(Pipeline, JobsChangeNeitherTheResultsNorTheCounts) {
  for (int i = 0; i < 8; ++i) {
    const std::string n = std::to_string(i);
    tree_.Write("d/" + n + "/a" + n + ".md", "words " + n + "\n");
    tree_.Write("d/" + n + "/b" + n + ".rtf", "{\\rtf1\\ansi rtf " + n + "\\par}");
    tree_.Write("d/" + n + "/empty" + n + ".md", " \n");
    tree_.Write("d/" + n + "/broken" + n + ".docx", "\x01\x02\x03\x04 not a zip");
    ASSERT_EQ(::symlink("gone.md", (tree_ / ("d/" + n + "/dangling" + n + ".md")).c_str()), 0);
  }
  std::vector<std::string> first;
  std::string first_summary;
  for (const char* jobs : {"1", "2", "4"}) {
    SCOPED_TRACE(jobs);
    ::system(("rm -rf '" + (tree_ / "out") + "'").c_str());
    const auto r = RunQuarn({"--batch", "--jobs", jobs, "--jsonl", "--output-dir", "out", "d"}, In());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(Lines(r.out).size(), 40u) << r.out;
    const std::vector<std::string> lines = Untimed(r.out);
    const std::string summary = r.err.substr(0, r.err.find('\n'));
    if (first.empty()) {
      first = lines;
      first_summary = summary;
      EXPECT_EQ(summary, "quarn: 16 written, 16 without text, 8 failed");
    } else {
      EXPECT_EQ(lines, first);
      EXPECT_EQ(summary, first_summary);
    }
  }
}

// The pages of a document whose filter knows them: a PDF's, a DjVu
// document's, a presentation's slides (PowerPoint, OpenDocument), a Visio
// drawing's pages; null for a plain text.
TEST_F(Pipeline, JsonLinesGivePagesWhereTheFilterKnowsThem) {
  const std::string data = QUARN_TEST_DATA;
  std::filesystem::create_directories(tree_ / "d");
  for (const char* from : {"convert/pdf/two_pages.pdf", "djvu/text.djvu", "package/ooxml/sample.pptx", "ole/sample.ppt",
                           "package/odf/slides.odp", "visio/drawing.vdx"})
    std::filesystem::copy_file(data + "/" + from, tree_ / ("d/" + std::filesystem::path(from).filename().string()));
  tree_.Write("d/plain.md", "words\n");
  const auto r = RunQuarn({"--batch", "--jsonl", "--no-ocr", "--output-dir", "out", "d"}, In());
  EXPECT_THAT(LineOf(r.out, "\"d/two_pages.pdf\""), HasSubstr(",\"pages\":2,")) << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/text.djvu\""), ::testing::MatchesRegex(".*,\"pages\":[1-9][0-9]*,.*")) << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/sample.pptx\""), ::testing::MatchesRegex(".*,\"pages\":[1-9][0-9]*,.*")) << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/sample.ppt\""), HasSubstr(",\"pages\":2,")) << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/slides.odp\""), HasSubstr(",\"pages\":12,")) << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/drawing.vdx\""), HasSubstr(",\"pages\":2,")) << r.out;
  EXPECT_THAT(LineOf(r.out, "\"d/plain.md\""), HasSubstr(",\"pages\":null,"));
}

TEST_F(Pipeline, JobsMustBeANumberFromOneTo256) {
  tree_.Write("a.md", "words\n");
  for (const char* bad : {"0", "-1", "x", "2x", "257", "", "99999999999"}) {
    SCOPED_TRACE(bad);
    const auto r = RunQuarn({"--batch", std::string("--jobs=") + bad, "a.md"}, In());
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("--jobs needs a number of documents to convert at once, from 1 to 256"));
    EXPECT_FALSE(Exists(tree_ / "a.txt"));
  }
  EXPECT_EQ(RunQuarn({"--batch", "a.md", "--jobs"}, In()).status, 2);
  EXPECT_EQ(RunQuarn({"--batch", "--jobs", "256", "a.md"}, In()).status, 0);
  EXPECT_TRUE(Exists(tree_ / "a.txt"));
}

}  // namespace
}  // namespace quarn

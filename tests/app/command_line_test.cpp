#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/main.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using quarn::testing::RunOptions;
using quarn::testing::RunQuarn;
using quarn::testing::TempTree;

// A one-page PDF whose page shows "Hello PDF", with a correct cross-reference
// table.
std::string SmallPdf() {
  const std::string content = "BT /F1 24 Tf 72 700 Td (Hello PDF) Tj ET";
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
      "/Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
  };
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t off : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

bool Exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

// Until the PDF text library is in the build, its route says so.
bool PdfRouteMissing(const std::string& pdf) {
  return ConvertPdf(pdf, pdf + ".probe").reason.find("not built yet") != std::string::npos;
}

class CommandLine : public ::testing::Test {
 protected:
  RunOptions In() const {
    RunOptions o;
    o.cwd = tree_.root();
    return o;
  }
  TempTree tree_;
};

TEST_F(CommandLine, OneArgumentWritesTheTextBesideTheInput) {
  tree_.Write("notes.md", "plain words\n");
  auto r = RunQuarn({"notes.md"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(TempTree::Read(tree_ / "notes.txt"), HasSubstr("plain words"));

  tree_.Write("a.pdf", SmallPdf());
  r = RunQuarn({"a.pdf"}, In());
  if (PdfRouteMissing(tree_ / "a.pdf")) GTEST_SKIP() << "no PDF text library in this build";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(TempTree::Read(tree_ / "a.txt"), HasSubstr("Hello PDF"));
}

TEST_F(CommandLine, TwoArgumentsWriteTheSecond) {
  tree_.Write("notes.md", "plain words\n");
  auto r = RunQuarn({"notes.md", "notes.out"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(TempTree::Read(tree_ / "notes.out"), HasSubstr("plain words"));
  EXPECT_FALSE(Exists(tree_ / "notes.txt"));

  tree_.Write("a.pdf", SmallPdf());
  r = RunQuarn({"a.pdf", "out.dat"}, In());
  if (PdfRouteMissing(tree_ / "a.pdf")) GTEST_SKIP() << "no PDF text library in this build";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(TempTree::Read(tree_ / "out.dat"), HasSubstr("Hello PDF"));
  EXPECT_FALSE(Exists(tree_ / "a.txt"));
}

TEST_F(CommandLine, ThreeArgumentsOrNoneWantTheWindowAndConvertNothing) {
  tree_.Write("a.pdf", SmallPdf());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"a.pdf", "b.txt", "c.txt"}, std::vector<std::string>{}, {"", "a.pdf"}}) {
    const auto r = RunQuarn(args, In());
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("no window"));
  }
  EXPECT_FALSE(Exists(tree_ / "a.txt"));
  EXPECT_FALSE(Exists(tree_ / "b.txt"));
}

TEST_F(CommandLine, UppercaseUninstallIsAFileNameNotTheSwitch) {
  // A browser stand-in that would record being asked to open anything.
  tree_.Write("bin/xdg-open", "#!/bin/sh\ntouch " + tree_ / "opened" + "\n");
  ::chmod((tree_ / "bin/xdg-open").c_str(), 0755);
  RunOptions o = In();
  o.path_prefix = tree_ / "bin";
  const auto r = RunQuarn({"/UNINSTALL"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("/UNINSTALL"));
  usleep(300 * 1000);
  EXPECT_FALSE(Exists(tree_ / "opened"));
}

TEST_F(CommandLine, DoubleDashEndsTheOptions) {
  tree_.Write("--odd-name.md", "odd text\n");
  const auto r = RunQuarn({"--", "--odd-name.md"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(TempTree::Read(tree_ / "--odd-name.txt"), HasSubstr("odd text"));
}

// The list the shell completions offer files by: the registry the program
// reads, plug-ins' registrations and removals included, one extension a
// line in lower case without its dot.
TEST_F(CommandLine, ListExtensionsFollowsTheInstalledRegistry) {
  tree_.Write("data/quarn/registry/cookie.reg",
              "REGEDIT4\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.Cookie\\PersistentHandler]\n@=\"{H}\"\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{H}\\PersistentAddinsRegistered\\"
              "{89BCB740-6119-101A-BCB7-00DD010655AF}]\n@=\"{F}\"\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.rtf]\n");
  RunOptions o = In();
  o.env = {"XDG_DATA_DIRS=" + tree_ / "data"};
  const auto r = RunQuarn({"--list-extensions"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(r.out.substr(at, end - at));
  EXPECT_THAT(lines, ::testing::IsSupersetOf({"pdf", "docx", "eml", "txt", "cookie"}));
  EXPECT_THAT(lines, Not(::testing::Contains("rtf")));
  EXPECT_THAT(lines, ::testing::Each(::testing::MatchesRegex("[^.A-Z]+")));
  EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
}

TEST_F(CommandLine, HelpVersionAndUnknownOptions) {
  auto r = RunQuarn({"--version"}, In());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Velmor Quarn version " QUARN_VERSION "\n");
  r = RunQuarn({"--help"}, In());
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("--batch"));
  EXPECT_THAT(r.out, HasSubstr("Exit status"));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--frobnicate"}, {"--batch"},
                                               {"--batch", "--verbose", "x.md"}}) {
    r = RunQuarn(args, In());
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_THAT(r.err, HasSubstr("Usage:"));
  }
}

TEST_F(CommandLine, ExitStatusSaysWhatHappened) {
  tree_.Write("empty.md", "");
  tree_.Write("odd.xyz", "bytes");
  auto r = RunQuarn({"empty.md"}, In());
  EXPECT_EQ(r.status, 3);
  EXPECT_THAT(r.err, HasSubstr("no text"));
  EXPECT_FALSE(Exists(tree_ / "empty.txt"));
  r = RunQuarn({"odd.xyz"}, In());
  EXPECT_EQ(r.status, 3);
  r = RunQuarn({"missing.pdf"}, In());
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("quarn: "));
  EXPECT_THAT(r.err, HasSubstr("missing.pdf"));
}

TEST_F(CommandLine, UnwritableOutputIsExitStatusOneWithTheReason) {
  tree_.Write("ro/doc.md", "some words\n");
  ::chmod((tree_ / "ro").c_str(), 0555);
  ::chown(tree_.root().c_str(), 65534, 65534);
  RunOptions o = In();
  o.unprivileged = true;
  const auto r = RunQuarn({"ro/doc.md"}, o);
  EXPECT_EQ(r.status, 1);
  ASSERT_THAT(r.err, HasSubstr("quarn: "));
  EXPECT_THAT(r.err, Not(HasSubstr("Aborted")));
  EXPECT_FALSE(Exists(tree_ / "ro/doc.txt"));
}

class Batch : public CommandLine {};

TEST_F(Batch, WalksALoopingTreeOnceAndReportsEveryFailure) {
  tree_.Write("t/a.md", "alpha\n");
  tree_.Write("t/sub/b.md", "beta\n");
  tree_.Write("t/ro/c.md", "gamma\n");
  tree_.Write("t/secret.md", "hidden words\n");
  ASSERT_EQ(::symlink("..", (tree_ / "t/sub/loop").c_str()), 0);
  ASSERT_EQ(::symlink("../../t", (tree_ / "t/sub/again.d").c_str()), 0);
  ::chmod((tree_ / "t/ro").c_str(), 0555);
  ::chmod((tree_ / "t/secret.md").c_str(), 0);
  for (const auto& e : std::filesystem::recursive_directory_iterator(tree_.root()))
    ::lchown(e.path().c_str(), 65534, 65534);
  ::chown(tree_.root().c_str(), 65534, 65534);
  RunOptions o = In();
  o.unprivileged = true;
  const auto r = RunQuarn({"--batch", "t"}, o);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 2 written, 0 without text, 2 failed\n"));
  EXPECT_THAT(r.err, HasSubstr("t/ro/c.md: "));
  EXPECT_THAT(r.err, HasSubstr("t/secret.md: "));
  EXPECT_THAT(r.err, Not(HasSubstr("File ")));  // no progress line when standard error is no terminal
  EXPECT_THAT(TempTree::Read(tree_ / "t/a.txt"), HasSubstr("alpha"));
  EXPECT_THAT(TempTree::Read(tree_ / "t/sub/b.txt"), HasSubstr("beta"));
  EXPECT_FALSE(Exists(tree_ / "t/sub/again.txt"));
}

TEST_F(Batch, WhatTheWalkFindsButCannotReachIsAFailureNotASilence) {
  tree_.Write("t/a.md", "alpha\n");
  tree_.Write("t/shut/b.md", "beta\n");  // listed, but not to be entered
  // A folder deeper than the longest path the system opens, made one level
  // at a time below the last.
  int at = ::open((tree_ / "t").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(at, 0);
  const std::string level(200, 'd');
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(::mkdirat(at, level.c_str(), 0755), 0);
    const int next = ::openat(at, level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(at);
    ASSERT_GE(next, 0);
    ::fchown(next, 65534, 65534);
    at = next;
  }
  const int doc = ::openat(at, "c.md", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(doc, 0);
  ASSERT_EQ(::write(doc, "gamma\n", 6), 6);
  ::close(doc);
  ::close(at);
  ::chmod((tree_ / "t/shut").c_str(), 0644);
  RunOptions o = In();
  if (::geteuid() == 0) {  // the folder without search permission shuts out all but root
    for (const char* mine : {"", "/t", "/t/a.md", "/t/shut", "/t/shut/b.md"})
      ::chown((tree_.root() + mine).c_str(), 65534, 65534);
    o.unprivileged = true;
  }
  const auto r = RunQuarn({"--batch", "t"}, o);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 1 written, 0 without text, 2 failed\n"));
  EXPECT_THAT(r.err, HasSubstr("t/shut/b.md: cannot read: Permission denied\n"));
  EXPECT_THAT(r.err, HasSubstr(level + ": cannot read: its path is longer than the system takes\n"));
  EXPECT_THAT(TempTree::Read(tree_ / "t/a.txt"), HasSubstr("alpha"));
}

TEST_F(Batch, ExitStatusIsZeroWhenAllWereWrittenAndThreeWhenSomeHadNoText) {
  tree_.Write("ok/a.md", "alpha\n");
  tree_.Write("ok/deeper/b.md", "beta\n");
  auto r = RunQuarn({"--batch", "ok"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quarn: 2 written, 0 without text, 0 failed\n");
  EXPECT_THAT(TempTree::Read(tree_ / "ok/deeper/b.txt"), HasSubstr("beta"));

  tree_.Write("some/a.md", "alpha\n");
  tree_.Write("some/empty.md", "");
  r = RunQuarn({"--batch", "some"}, In());
  EXPECT_EQ(r.status, 3);
  EXPECT_THAT(r.err, HasSubstr("1 written, 1 without text, 0 failed"));
  EXPECT_THAT(r.err, HasSubstr("no text: some/empty.md"));
}

TEST_F(Batch, NamedPathsThatAreMissingFail) {
  tree_.Write("a.md", "alpha\n");
  const auto r = RunQuarn({"--batch", "a.md", "--", "--gone.md"}, In());
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("1 written, 0 without text, 1 failed"));
  EXPECT_THAT(r.err, HasSubstr("--gone.md: cannot read"));
}

// The libraries of a format are loaded only when a document of that format
// turns up: a text file, an RTF file or a PDF never pays for the XML, zip,
// compound-file and mail stacks, only a PDF loads the PDF library, and only
// text that is not UTF-8 the character-set detector.  The
// dynamic loader's own trace tells, written to files (the converter
// process's standard error goes nowhere).
TEST_F(CommandLine, FormatLibrariesAreLoadedOnlyForTheirDocuments) {
  const std::filesystem::path examples = std::filesystem::path(QUARN_TEST_DATA) / "../../examples";
  struct Case {
    const char* file;
    std::vector<std::string> loaded, not_loaded;
    const char* content = nullptr;  // written, instead of the example of that name
  };
  // The container modules and their libraries: loaded for none of the cases
  // below (TNEF's reader belongs to the mail module, so e-mail loads it).
  const std::vector<std::string> containers = {"libquarn_archive.so", "libquarn_pst.so", "libquarn_chm.so",
                                               "libquarn_calendar.so", "libarchive.so", "libpst.so",
                                               "libchm.so", "libical.so"};
  std::vector<std::string> all = {"libquarn_markup.so", "libquarn_package.so", "libquarn_ole.so",
                                  "libquarn_mail.so",   "libxml2.so",          "libzip.so",
                                  "libgsf-1.so",        "libgmime-3.0.so"};
  all.insert(all.end(), containers.begin(), containers.end());
  all.push_back("libytnef.so");
  all.push_back("libuchardet.so");
  all.push_back("libpdfinfo.so");  // the PDF library too, last
  std::vector<std::string> all_but_pdf = all;
  all_but_pdf.pop_back();
  const Case cases[] = {
      {"notes.md", {}, all},
      {"sample-rtf.rtf", {}, all},
      {"sample-pdf.pdf", {"libpdfinfo.so"}, all_but_pdf},
      {"page.html", {"libquarn_markup.so", "libxml2.so"},
       {"libquarn_package.so", "libzip.so", "libquarn_ole.so", "libquarn_mail.so", "libgsf-1.so", "libgmime-3.0.so",
        "libpdfinfo.so"}},
      {"sample-docx.docx", {"libquarn_package.so", "libxml2.so", "libzip.so"},
       {"libquarn_ole.so", "libquarn_mail.so", "libgsf-1.so", "libgmime-3.0.so", "libpdfinfo.so"}},
      {"sample-doc.doc", {"libquarn_ole.so", "libgsf-1.so"},
       {"libquarn_markup.so", "libquarn_package.so", "libquarn_mail.so", "libgmime-3.0.so"}},
      {"sample-eml.eml", {"libquarn_mail.so", "libgmime-3.0.so"}, {}},
      {"latin.log", {"libuchardet.so"}, {"libquarn_markup.so", "libxml2.so", "libzip.so", "libgsf-1.so", "libpdfinfo.so"},
       "Cr\xE8me br\xFBl\xE9" "e et caf\xE9 cr\xE8me, d\xE9j\xE0 vu.\n"},
  };
  // The names of the files the loader mapped, from its "file=NAME [0]; ..." lines.
  auto loaded_files = [](const std::string& trace) {
    std::vector<std::string> names;
    for (std::size_t at = trace.find("file="); at != std::string::npos; at = trace.find("file=", at + 1)) {
      const std::size_t end = trace.find_first_of(" \n", at);
      const std::string name = trace.substr(at + 5, end - at - 5);
      names.push_back(name.substr(name.rfind('/') + 1));
    }
    return names;
  };
  auto has = [](const std::vector<std::string>& names, const std::string& lib) {
    for (const std::string& n : names)
      if (n.rfind(lib, 0) == 0) return true;
    return false;
  };
  RunOptions o = In();
  const std::string trace_dir = tree_.Folder("trace");
  o.env = {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + trace_dir + "/ld"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (c.content) tree_.Write(c.file, c.content);
    else std::filesystem::copy_file(examples / c.file, tree_ / c.file);
    // The batch form, whose converter is a program of its own with its own
    // trace (the one-document form forks and closes the trace's file).
    const auto r = RunQuarn({"--batch", c.file}, o);
    EXPECT_EQ(r.status, 0) << r.err.substr(r.err.size() > 2000 ? r.err.size() - 2000 : 0);
    EXPECT_FALSE(TempTree::Read(OutputPathFor(tree_ / c.file)).empty());
    std::string trace;
    for (const auto& file : std::filesystem::directory_iterator(trace_dir)) {
      trace += TempTree::Read(file.path().string());
      std::filesystem::remove(file.path());
    }
    const std::vector<std::string> names = loaded_files(trace);
    ASSERT_TRUE(has(names, "libquarn_convert.so")) << "no loader trace";
    for (const std::string& lib : c.loaded) EXPECT_TRUE(has(names, lib)) << lib << " was not loaded";
    for (const std::string& lib : c.not_loaded) EXPECT_FALSE(has(names, lib)) << lib << " was loaded";
    for (const std::string& lib : containers) EXPECT_FALSE(has(names, lib)) << lib << " was loaded";
  }
}

}  // namespace
}  // namespace quarn

// The PDF route and how ConvertFile chooses between it and the filter route.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "app/main.h"
#include "tests/support/pdf_samples.h"

namespace quarn {
namespace {

using quarn::testing::ReadFile;
using quarn::testing::ScratchDir;
namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(ConvertPdf, WritesInformationOneSpaceThenContent) {
  ScratchDir dir;
  std::string pdf = dir.Copy("two_pages.pdf", "report.pdf");
  ConvertResult r = ConvertPdf(pdf, dir / "out.txt");
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
  EXPECT_EQ(r.reason, "");
  std::string text = ReadFile(dir / "out.txt");
  EXPECT_THAT(text, StartsWith("Title: Quarterly report"));
  EXPECT_THAT(text, HasSubstr("Pages: 2\n First page: the quarterly report\n"));
  EXPECT_THAT(text, ::testing::EndsWith("Second page: the appendix\n\n\u0391\u03bb\u03c6\u03b1 \u03b2\u03b7\u03c4\u03b1 \u03c9\n\n"));
}

TEST(ConvertPdf, EmptyContentStillGivesInformationAndTheSpace) {
  ScratchDir dir;
  ConvertResult r = ConvertPdf(dir.Copy("no_text.pdf", "frame.pdf"), dir / "frame.txt");
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
  EXPECT_EQ(ReadFile(dir / "frame.txt"), "Title: Frame only\nPages: 1\n ");
}

TEST(ConvertPdf, RejectedDocumentWritesNothingAndFreesTheLock) {
  ScratchDir dir;
  for (const char* name : {"damaged.pdf", "password.pdf"}) {
    ConvertResult r = ConvertPdf(quarn::testing::PdfSample(name), dir / "out.txt");
    EXPECT_EQ(r.outcome, Outcome::kNoText) << name;
    EXPECT_FALSE(fs::exists(dir / "out.txt")) << name;
    ASSERT_TRUE(PdfLock.try_lock()) << name;
    PdfLock.unlock();
  }
}

TEST(ConvertPdf, OutputThatCannotBeCreatedIsAFailureWithItsReason) {
  ScratchDir dir;
  std::string out = dir / "missing-folder/out.txt";
  ConvertResult r = ConvertPdf(quarn::testing::PdfSample("two_pages.pdf"), out);
  EXPECT_EQ(r.outcome, Outcome::kFailed);
  EXPECT_EQ(r.reason, "Cannot create file \"" + out + "\". No such file or directory");
}

TEST(ConvertPdf, ReplacesAnExistingFileWhole) {
  ScratchDir dir;
  std::string out = dir / "out.txt";
  {
    std::ofstream old(out);
    old << std::string(100000, 'o');
  }
  ASSERT_TRUE(ConvertPdf(quarn::testing::PdfSample("no_text.pdf"), out).written());
  EXPECT_EQ(ReadFile(out), "Title: Frame only\nPages: 1\n ");
}

// The output is written after PdfLock is left: while the writer waits for a
// reader on a pipe, another conversion may use the library.
TEST(ConvertPdf, DoesNotHoldTheLockWhileWriting) {
  ScratchDir dir;
  std::string fifo = dir / "pipe.txt";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto convert = std::async(std::launch::async, [&] { return ConvertPdf(quarn::testing::PdfSample("no_text.pdf"), fifo); });
  int fd = ::open(fifo.c_str(), O_RDONLY);  // returns once the writer has opened its end
  ASSERT_GE(fd, 0);
  bool free_while_writing = PdfLock.try_lock();
  if (free_while_writing) PdfLock.unlock();
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_TRUE(free_while_writing);
  EXPECT_TRUE(convert.get().written());
  EXPECT_EQ(got, "Title: Frame only\nPages: 1\n ");
}

TEST(ConvertFile, PdfWithTextGoesThroughTheFilterAlone) {
  ScratchDir dir;
  std::string pdf = dir.Copy("two_pages.pdf", "report.pdf");
  ConvertResult r = ConvertFile(pdf, "");
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
  std::string text = ReadFile(dir / "report.txt");
  EXPECT_THAT(text, StartsWith("First page: the quarterly report\n"));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("Pages:")));  // no library information
  // One chunk per page: the pipeline's space starts the second page.
  EXPECT_THAT(text, HasSubstr("\n Second page: the appendix\n"));
}

TEST(ConvertFile, PdfWithoutTextFallsBackToTheLibrary) {
  ScratchDir dir;
  std::string pdf = dir.Copy("no_text.pdf", "frame.pdf");
  ConvertResult r = ConvertFile(pdf, "");
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
  EXPECT_EQ(ReadFile(dir / "frame.txt"), "Title: Frame only\nPages: 1\n ");
}

TEST(ConvertFile, UpperCaseExtensionGetsNoFallback) {
  ScratchDir dir;
  std::string pdf = dir.Copy("no_text.pdf", "REPORT.PDF");
  ConvertResult r = ConvertFile(pdf, "");
  EXPECT_EQ(r.outcome, Outcome::kNoText);
  EXPECT_THAT(r.reason, HasSubstr("no text layer"));
  EXPECT_FALSE(fs::exists(dir / "REPORT.txt"));
  // With text, the filter still reads it: registry keys ignore case.
  ASSERT_TRUE(ConvertFile(dir.Copy("two_pages.pdf", "NOTES.PDF"), "").written());
  EXPECT_THAT(ReadFile(dir / "NOTES.txt"), StartsWith("First page"));
}

TEST(ConvertFile, ExplicitOutputPathIsUsedAsGiven) {
  ScratchDir dir;
  std::string pdf = dir.Copy("no_text.pdf", "frame.pdf");
  ASSERT_TRUE(ConvertFile(pdf, dir / "result.data").written());
  EXPECT_EQ(ReadFile(dir / "result.data"), "Title: Frame only\nPages: 1\n ");
  EXPECT_FALSE(fs::exists(dir / "frame.txt"));
  ASSERT_TRUE(ConvertFile(dir.Copy("two_pages.pdf", "two.pdf"), dir / "two").written());
  EXPECT_THAT(ReadFile(dir / "two"), StartsWith("First page"));
}

TEST(ConvertFile, UnreadablePdfsAreReportedNotWritten) {
  ScratchDir dir;
  for (const char* name : {"damaged.pdf", "password.pdf"}) {
    std::string pdf = dir.Copy(name, std::string("x-") + name);
    ConvertResult r = ConvertFile(pdf, dir / "out.txt");
    EXPECT_EQ(r.outcome, Outcome::kNoText) << name;
    EXPECT_FALSE(fs::exists(dir / "out.txt")) << name;
  }
  ConvertResult r = ConvertFile(dir.Copy("password.pdf", "locked.pdf"), "");
  EXPECT_THAT(r.reason, HasSubstr("password"));
}

TEST(ConvertFile, TwoThreadsConvertPdfsAtOnce) {
  ScratchDir dir;
  std::atomic<int> written{0};
  auto work = [&](int t) {
    for (int i = 0; i < 10; ++i) {
      std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
      std::string pdf = dir.Copy(i % 2 ? "two_pages.pdf" : "no_text.pdf", name + ".pdf");
      if (ConvertFile(pdf, "").written()) ++written;
    }
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_EQ(written, 20);
  EXPECT_EQ(ReadFile(dir / "t1-0.txt"), "Title: Frame only\nPages: 1\n ");
  EXPECT_THAT(ReadFile(dir / "t0-1.txt"), StartsWith("First page"));
}

}  // namespace
}  // namespace quarn

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "shell/execute.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using quarn::testing::RunOptions;
using quarn::testing::RunProgram;
using quarn::testing::TempTree;

TEST(SiteQuery, WholeDaysTruncatedTowardZero) {
  EXPECT_EQ(SiteQueryForDays(10.5), "?prd=quarn&v=" QUARN_VERSION "&d=10");
  EXPECT_EQ(SiteQueryForDays(999.0), "?prd=quarn&v=" QUARN_VERSION "&d=999");
  EXPECT_EQ(SiteQueryForDays(0.99), "?prd=quarn&v=" QUARN_VERSION "&d=0");
  EXPECT_EQ(SiteQueryForDays(-1.5), "?prd=quarn&v=" QUARN_VERSION "&d=-1");  // a clock set back
  EXPECT_EQ(SitePageUrl(kPageUninstall).rfind(SiteUrl() + "support/uninstall.php?prd=quarn&v=" QUARN_VERSION "&d=", 0), 0u);
}

// The program copied into a folder of its own, with browser stand-ins that
// record what they were asked to open.
class WebPages : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = tree_ / "prog/quarn";
    std::filesystem::create_directories(tree_ / "prog");
    std::filesystem::copy_file(quarn::testing::QuarnBinary(), program_);
    // The program finds its libraries in ../lib, as in an installation.
    const std::filesystem::path build = std::filesystem::path(quarn::testing::QuarnBinary()).parent_path().parent_path();
    std::filesystem::create_directories(tree_ / "lib");
    for (const char* lib : {"libpdfinfo.so", "libquarn_convert.so"})
      std::filesystem::copy_file(build / "lib" / lib, std::filesystem::path(tree_ / "lib") / lib);
  }
  void FakeOpener(const std::string& name) {
    const std::string script = tree_.Write("bin/" + name, "#!/bin/sh\nprintf '%s' \"$*\" > " + tree_ / "record.tmp" +
                                                              " && /bin/mv " + tree_ / "record.tmp" + " " + tree_ / "record\n");
    ::chmod(script.c_str(), 0755);
  }
  std::string Opened() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(tree_ / "record") && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return TempTree::Read(tree_ / "record");
  }
  int Uninstall(const std::string& path_only) {
    RunOptions o;
    o.cwd = tree_.root();
    o.path_only = path_only;
    return RunProgram(program_, {"/uninstall"}, o).status;
  }

  TempTree tree_;
  std::string program_;
};

TEST_F(WebPages, UninstallPageWithoutUninstallExeSays999Days) {
  FakeOpener("xdg-open");
  EXPECT_EQ(Uninstall(tree_ / "bin"), 0);
  EXPECT_EQ(Opened(), SiteUrl() + "support/uninstall.php?prd=quarn&v=" QUARN_VERSION "&d=999");
}

TEST_F(WebPages, UninstallExeWrittenTenAndAHalfDaysAgoSays10) {
  FakeOpener("xdg-open");
  const std::string marker = tree_.Write("prog/uninstall.exe", "MZ");
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= static_cast<time_t>(10.5 * 86400);
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, marker.c_str(), times, 0), 0);
  EXPECT_EQ(Uninstall(tree_ / "bin"), 0);
  EXPECT_EQ(Opened(), SiteUrl() + "support/uninstall.php?prd=quarn&v=" QUARN_VERSION "&d=10");
}

TEST_F(WebPages, FallsBackToGioAndSaysNothingWhenNeitherExists) {
  FakeOpener("gio");
  EXPECT_EQ(Uninstall(tree_ / "bin"), 0);
  EXPECT_EQ(Opened(), "open " + SiteUrl() + "support/uninstall.php?prd=quarn&v=" QUARN_VERSION "&d=999");

  RunOptions o;
  o.cwd = tree_.root();
  o.path_only = tree_ / "nothing-here";
  const auto r = RunProgram(program_, {"/uninstall"}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// Children of this process that have ended but were not reaped.
int Zombies() {
  int count = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = TempTree::Read(e.path().string() + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == ::getpid() && state == 'Z')
      ++count;
  }
  return count;
}

TEST_F(WebPages, OpenerThatKeepsRunningIsNotWaitedForAndLeavesNoZombie) {
  const std::string script = tree_.Write("bin/xdg-open", "#!/bin/sh\n/bin/sleep 1\n");
  ::chmod(script.c_str(), 0755);
  const std::string old_path = std::getenv("PATH");
  ::setenv("PATH", (tree_ / "bin:" + old_path).c_str(), 1);
  const auto start = std::chrono::steady_clock::now();
  OpenDocument("https://example.invalid/");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  ::setenv("PATH", old_path.c_str(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1800));
  EXPECT_EQ(Zombies(), 0);
}

}  // namespace
}  // namespace quarn

// Huge pages for the heap of a long run: which runs start again for them,
// how the tunable joins the user's own, and that a batch started again
// keeps its process and its standard input.
#include "app/heap_pages.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/main.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

TEST(HugePageHeap, TheTunableJoinsTheUsersOwnAndNeverOverridesIt) {
  EXPECT_EQ(TunablesWithHugePageHeap(nullptr), "glibc.malloc.hugetlb=1");
  EXPECT_EQ(TunablesWithHugePageHeap(""), "glibc.malloc.hugetlb=1");
  EXPECT_EQ(TunablesWithHugePageHeap("glibc.malloc.arena_max=2"),
            "glibc.malloc.arena_max=2:glibc.malloc.hugetlb=1");
  // The user's own choice of it, anywhere in the list, stands.
  EXPECT_EQ(TunablesWithHugePageHeap("glibc.malloc.hugetlb=0"), "");
  EXPECT_EQ(TunablesWithHugePageHeap("glibc.malloc.arena_max=2:glibc.malloc.hugetlb=2"), "");
  // A name that only begins like it is another tunable.
  EXPECT_EQ(TunablesWithHugePageHeap("glibc.malloc.hugetlbx=1"), "glibc.malloc.hugetlbx=1:glibc.malloc.hugetlb=1");
}

TEST(HugePageHeap, OnlyTheMadviseModeIsWorthARestart) {
  testing::TempTree tree;
  EXPECT_TRUE(HugePagesOnRequest(tree.Write("madvise", "always [madvise] never\n").c_str()));
  EXPECT_FALSE(HugePagesOnRequest(tree.Write("always", "[always] madvise never\n").c_str()));
  EXPECT_FALSE(HugePagesOnRequest(tree.Write("never", "always madvise [never]\n").c_str()));
  EXPECT_FALSE(HugePagesOnRequest(tree.Write("empty", "").c_str()));
  EXPECT_FALSE(HugePagesOnRequest((tree / "missing").c_str()));
}

TEST(HugePageHeap, OnlyTheBatchAndTheWindowRunLong) {
  using Args = std::vector<std::string>;
  EXPECT_TRUE(RunsLong(Args{}));                                   // the window
  EXPECT_TRUE(RunsLong(Args{"a.doc", "b.doc", "c.doc"}));          // the window, three files dropped
  EXPECT_TRUE(RunsLong(Args{"--batch", "folder"}));
  EXPECT_TRUE(RunsLong(Args{"--timeout", "60", "--batch", "folder"}));
  EXPECT_TRUE(RunsLong(Args{"--timeout", "60"}));                  // the window with a limit
  EXPECT_TRUE(RunsLong(Args{"--"}));
  EXPECT_FALSE(RunsLong(Args{"a.doc"}));
  EXPECT_FALSE(RunsLong(Args{"a.doc", "a.txt"}));
  EXPECT_FALSE(RunsLong(Args{"--timeout", "60", "a.doc"}));
  EXPECT_FALSE(RunsLong(Args{"--", "--batch"}));                   // a file named --batch
  EXPECT_FALSE(RunsLong(Args{"--stdout", "a.doc"}));
  EXPECT_FALSE(RunsLong(Args{"--version"}));
  EXPECT_FALSE(RunsLong(Args{"--help"}));
  EXPECT_FALSE(RunsLong(Args{"--timeout", "x", "--batch", "folder"}));  // a usage error
  EXPECT_FALSE(RunsLong(Args{"/uninstall"}));
}

// Reads /proc/PID/environ's GLIBC_TUNABLES ("" when not set).
std::string TunablesOf(pid_t pid) {
  const std::string environ = testing::TempTree::Read("/proc/" + std::to_string(pid) + "/environ");
  for (std::size_t at = 0; at < environ.size();) {
    const std::size_t end = environ.find('\0', at);
    const std::string entry = environ.substr(at, end - at);
    if (entry.starts_with("GLIBC_TUNABLES=")) return entry.substr(15);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return {};
}

TEST(HugePageHeap, ABatchStartsAgainInItsOwnProcessAndKeepsItsInput) {
  testing::TempTree tree;
  tree.Write("in/a.md", "# Title\n\nsome text\n");
  int list[2];
  ASSERT_EQ(::pipe(list), 0);
  const std::string program = testing::QuarnBinary();
  const std::string out = tree / "out";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(list[0], STDIN_FILENO);
    ::close(list[0]);
    ::close(list[1]);
    ::unsetenv("GLIBC_TUNABLES");
    ::unsetenv("LD_PRELOAD");
    ::execl(program.c_str(), program.c_str(), "--batch", "--files-from", "-", "--output-dir", out.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(list[0]);
  // The batch waits on its list: it has started again by now if it ever does.
  const bool expected = HugePagesOnRequest();
  std::string tunables;
  for (int i = 0; i < 200 && (tunables = TunablesOf(pid)).empty() && expected; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_EQ(tunables, expected ? "glibc.malloc.hugetlb=1" : "");
  const std::string listed = tree / "in/a.md" + "\n";
  ASSERT_EQ(::write(list[1], listed.data(), listed.size()), static_cast<ssize_t>(listed.size()));
  ::close(list[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(testing::TempTree::Read(out + tree / "in/a.txt"), "# Title\n\nsome text\n");
}

}  // namespace
}  // namespace quarn

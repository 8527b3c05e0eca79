// Signals at random moments, and files that are no documents: the program
// run end to end must leave either the old file or the whole new one, never
// a part, never a hidden temporary file, and never wait for ever.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/signals.h"
#include "convert/text_file.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using quarn::testing::QuarnBinary;
using quarn::testing::RunOptions;
using quarn::testing::RunProgram;
using quarn::testing::RunQuarn;
using quarn::testing::TempTree;

// A text document of about `megabytes` MiB whose text is itself.
std::string BigText(int megabytes) {
  std::string line = "the quick brown fox jumps over the lazy dog, again and again\n";
  std::string text;
  text.reserve(static_cast<std::size_t>(megabytes) << 20);
  while (text.size() < (static_cast<std::size_t>(megabytes) << 20)) text += line;
  return text;
}

// The program started in folder, its standard error in err_path; signals
// that the test runner may ignore are back at their defaults.
pid_t Start(const std::string& folder, const std::vector<std::string>& args, const std::string& err_path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    if (!freopen(err_path.c_str(), "w", stderr)) ::_exit(126);
    std::vector<char*> argv;
    const std::string program = QuarnBinary();
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

struct Ended {
  int status = -1;  // exit status, or -1
  int signal = 0;   // the signal that ended it, or 0
};

Ended Wait(pid_t pid) {
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  Ended e;
  if (WIFEXITED(raw)) e.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) e.signal = WTERMSIG(raw);
  return e;
}

// How many text files folder holds; each must be the whole text.
int WholeTextFiles(const std::string& folder, const std::string& text) {
  int whole = 0;
  for (const auto& f : fs::directory_iterator(folder)) {
    if (f.path().extension() != ".txt") continue;
    EXPECT_EQ(TempTree::Read(f.path()), text) << f.path();
    ++whole;
  }
  return whole;
}

std::vector<std::string> Hidden(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().front() == '.') names.push_back(e.path().filename().string());
  return names;
}

class FaultInjection : public ::testing::Test {
 protected:
  // How long one conversion of the big document takes here.
  std::chrono::milliseconds TimeOneConversion() {
    const auto start = std::chrono::steady_clock::now();
    RunOptions o;
    o.cwd = tree_ / "d";
    const auto r = RunQuarn({"big.md", "probe.txt"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    fs::remove(tree_ / "d/probe.txt");
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }
  TempTree tree_;
  std::mt19937 random_{std::random_device{}()};
};

TEST_F(FaultInjection, ASignalAtAnyMomentLeavesTheOldTextFileOrTheWholeNewOne) {
  const std::string text = BigText(6);
  tree_.Write("d/big.md", text);
  const auto took = TimeOneConversion();
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGKILL};
  for (int round = 0; round < 12; ++round) {
    tree_.Write("d/big.txt", "the old text");
    const int sig = signals[round % 4];
    const pid_t pid = Start(tree_ / "d", {"big.md"}, tree_ / "err");
    std::uniform_int_distribution<int> at(0, static_cast<int>(took.count() * 5 / 4) + 1);
    ::usleep(static_cast<useconds_t>(at(random_)) * 1000);
    ::kill(pid, sig);
    const Ended e = Wait(pid);
    SCOPED_TRACE("signal " + std::to_string(sig) + " round " + std::to_string(round));
    EXPECT_TRUE(e.signal == sig || e.status == 0) << e.status << " " << e.signal;
    const std::string now = TempTree::Read(tree_ / "d/big.txt");
    EXPECT_TRUE(now == "the old text" || now == text) << now.size() << " bytes";
    EXPECT_THAT(Hidden(tree_ / "d"), ::testing::IsEmpty());
  }
}

TEST_F(FaultInjection, BatchStopsCleanlyOnInterruptAndTerminate) {
  const std::string text = BigText(3);
  // Enough documents that the run lasts several times one conversion,
  // however fast the text filter reads them.
  constexpr int kDocuments = 60;
  for (int i = 0; i < kDocuments; ++i) tree_.Write("d/doc" + std::to_string(i) + ".md", text);
  tree_.Write("probe/big.md", text);
  RunOptions o;
  o.cwd = tree_ / "probe";
  // A batch of one document: the start and one conversion as the batch makes them.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunQuarn({"--batch", "big.md"}, o).status, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    for (const auto& e : fs::directory_iterator(tree_ / "d"))
      if (e.path().extension() == ".txt") fs::remove(e.path());
    const pid_t pid = Start(tree_.root(), {"--batch", "d"}, tree_ / "err");
    // Well into the run: some documents are done, others in progress.
    std::this_thread::sleep_for(took * 2);
    ::kill(pid, sig);
    const Ended e = Wait(pid);
    const std::string err = TempTree::Read(tree_ / "err");
    EXPECT_EQ(e.status, 128 + sig) << err;
    EXPECT_THAT(err, HasSubstr(sig == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM"));
    const int whole = WholeTextFiles(tree_ / "d", text);
    EXPECT_LT(whole, kDocuments);
    EXPECT_THAT(err, HasSubstr("quarn: " + std::to_string(whole) + " written, 0 without text, 0 failed\n"));
    EXPECT_THAT(Hidden(tree_ / "d"), ::testing::IsEmpty());
  }
}

// `quarn --batch --jsonl DIR | head -1`: the run stops as when it is asked
// to, leaves whole text files only, and its converters' scratch folders go
// with them.
TEST_F(FaultInjection, BatchStopsCleanlyWhenItsOutputIsNoLongerRead) {
  const std::string text = BigText(3);
  constexpr int kDocuments = 60;
  for (int i = 0; i < kDocuments; ++i) tree_.Write("d/doc" + std::to_string(i) + ".md", text);
  fs::create_directory(tree_ / "tmp");
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string program = QuarnBinary();
  const std::string tmpdir = "TMPDIR=" + (tree_ / "tmp");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    if (::chdir(tree_.root().c_str()) != 0 || !freopen("err", "w", stderr)) ::_exit(126);
    ::putenv(const_cast<char*>(tmpdir.c_str()));
    ::execl(program.c_str(), program.c_str(), "--batch", "--jsonl", "d", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  char c = 0;
  while (::read(out[0], &c, 1) == 1 && c != '\n') {
  }
  ::close(out[0]);  // one line read, as `head -1` would
  const Ended e = Wait(pid);
  const std::string err = TempTree::Read(tree_ / "err");
  EXPECT_EQ(e.status, 128 + SIGPIPE) << err;
  EXPECT_THAT(err, HasSubstr("stopped by SIGPIPE"));
  const int whole = WholeTextFiles(tree_ / "d", text);
  EXPECT_LT(whole, kDocuments);
  EXPECT_THAT(Hidden(tree_ / "d"), ::testing::IsEmpty());
  EXPECT_TRUE(fs::is_empty(tree_ / "tmp")) << "a converter's scratch folder was left behind";
}

// Where the file system has no unnamed temporary files the text is written
// under a hidden name first: the program's handlers remove it when INT, TERM
// or HUP end the program in the middle of a write.
TEST_F(FaultInjection, NamedTemporaryFilesAreRemovedWhenASignalEndsTheProgram) {
  const std::string text = BigText(4);
  const std::string out = tree_ / "out.txt";
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int round = 0; round < 9; ++round) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int sig : signals) ::signal(sig, SIG_DFL);
      UseUnnamedTemporaryFiles(false);
      InstallCleanupHandlers();
      for (;;) SaveTextFile(out, text);
    }
    std::uniform_int_distribution<int> at(1, 60);
    ::usleep(static_cast<useconds_t>(at(random_)) * 1000);
    ::kill(pid, signals[round % 3]);
    const Ended e = Wait(pid);
    EXPECT_EQ(e.signal, signals[round % 3]);
    EXPECT_THAT(Hidden(tree_.root()), ::testing::IsEmpty()) << "round " << round;
    if (fs::exists(out)) {
      EXPECT_EQ(TempTree::Read(out), text);
    }
  }
}

class SpecialFiles : public ::testing::Test {
 protected:
  // The program under a time limit: a run that blocks fails the test
  // instead of hanging it.
  quarn::testing::RunResult RunBounded(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"20", QuarnBinary()};
    all.insert(all.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = tree_.root();
    return RunProgram("/usr/bin/timeout", all, o);
  }
  TempTree tree_;
};

TEST_F(SpecialFiles, PipesAndDevicesAreRefusedAtOnceInEveryMode) {
  ASSERT_EQ(::mkfifo((tree_ / "x.txt").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/urandom", (tree_ / "random.txt").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/zero", (tree_ / "zero.md").c_str()), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"x.txt"}, {"x.txt", "out.txt"}, {"random.txt", "out.txt"}, {"zero.md"}}) {
    const auto r = RunBounded(args);
    EXPECT_EQ(r.status, 1) << args[0] << ": " << r.err;
    EXPECT_THAT(r.err, HasSubstr("is not a document: a "));
  }
  EXPECT_FALSE(fs::exists(tree_ / "out.txt"));
  EXPECT_FALSE(fs::exists(tree_ / "zero.txt"));
  tree_.Write("a.md", "words\n");
  const auto r = RunBounded({"--batch", "."});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 1 written, 0 without text, 3 failed\n"));
  EXPECT_THAT(r.err, HasSubstr("./x.txt: not a document: a named pipe\n"));
  EXPECT_THAT(r.err, HasSubstr("./random.txt: not a document: a character device\n"));
  EXPECT_THAT(r.err, HasSubstr("./zero.md: not a document: a character device\n"));
}

TEST_F(SpecialFiles, LinksThatLoopOrDangleAreCountedAsFailures) {
  tree_.Write("d/a.md", "words\n");
  ASSERT_EQ(::symlink("loop.md", (tree_ / "d/loop.md").c_str()), 0);
  ASSERT_EQ(::symlink("ping.md", (tree_ / "d/pong.md").c_str()), 0);
  ASSERT_EQ(::symlink("pong.md", (tree_ / "d/ping.md").c_str()), 0);
  ASSERT_EQ(::symlink("gone.md", (tree_ / "d/dangling.md").c_str()), 0);
  const auto r = RunBounded({"--batch", "d"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 1 written, 0 without text, 4 failed\n"));
  EXPECT_THAT(r.err, HasSubstr("d/loop.md: a symbolic link that loops"));
  EXPECT_THAT(r.err, HasSubstr("d/ping.md: a symbolic link that loops"));
  EXPECT_THAT(r.err, HasSubstr("d/dangling.md: a dangling symbolic link"));
}

}  // namespace
}  // namespace quarn

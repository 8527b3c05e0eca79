#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "convert/conversion_options.h"
#include "process/process.h"
#include "process/process_testing.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using quarn::testing::TempTree;
using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A gate a fake conversion waits at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard hold(m_);
    open_ = true;
    cv_.notify_all();
  }
  void Pass() {
    std::unique_lock hold(m_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(hold, [&] { return open_; });
  }
  bool WaitEntered() {
    std::unique_lock hold(m_);
    return cv_.wait_for(hold, 10s, [&] { return entered_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false, entered_ = false;
};

// Stands in for ConvertFile: records every path and answers by the name.
class FakeConverter {
 public:
  ConvertResult operator()(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    Gate* gate = nullptr;
    {
      std::lock_guard hold(m_);
      if (auto it = gates_.find(name); it != gates_.end()) gate = it->second;
    }
    if (gate) gate->Pass();
    {
      std::lock_guard hold(m_);
      paths_.push_back(path);
    }
    if (name.starts_with("bad")) return ConvertResult::Failed("cannot create the output: read-only folder");
    if (name.starts_with("empty")) return ConvertResult::NoText("no text in " + name);
    if (name.starts_with("self")) return ConvertResult::SameFile();
    if (name.starts_with("throw")) throw std::runtime_error("disk on fire");
    ConvertResult written = ConvertResult::Written();
    if (name.starts_with("scan")) written.recognized_pages = 3;
    return written;
  }
  void GateOn(const std::string& name, Gate* gate) {
    std::lock_guard hold(m_);
    gates_[name] = gate;
  }
  std::vector<std::string> Paths() {
    std::lock_guard hold(m_);
    return paths_;
  }

 private:
  std::mutex m_;
  std::map<std::string, Gate*> gates_;
  std::vector<std::string> paths_;
};

// Records what a front end would see at each message.
class RecordingNotify : public ProgressNotify {
 public:
  void PostProgress() override {
    ProgressSnapshot s = ReadProgress();
    std::lock_guard hold(m_);
    seen_.push_back(s);
  }
  std::vector<ProgressSnapshot> Seen() {
    std::lock_guard hold(m_);
    return seen_;
  }

 private:
  std::mutex m_;
  std::vector<ProgressSnapshot> seen_;
};

// A launcher that starts worker A only, so that the order of takes is the
// order of conversions.
void LaunchFirstOnly() {
  auto calls = std::make_shared<std::atomic<int>>(0);
  SetThreadLauncher([calls](std::function<void()> body) {
    if ((*calls)++ % 2 == 1) throw std::system_error(EAGAIN, std::generic_category(), "no second worker");
    std::thread(std::move(body)).detach();
  });
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WaitUntil([] { return WorkersAlive() == 0; }));
    InitProcessing();
    SetFileConverter([this](const std::string& p) { return convert_(p); });
    SetThreadLauncher({});
    SetStopWait(99, 100ms);
    params_.NotifyWindow = &notify_;
  }
  void TearDown() override {
    DoneProcessing();
    EXPECT_TRUE(WaitUntil([] { return WorkersAlive() == 0; }));
    SetFileConverter({});
    SetThreadLauncher({});
  }
  // Queues name with its conversion held at gate; the run, once the
  // conversion has begun.
  std::uint64_t StartHeld(const std::string& name, Gate& gate) {
    convert_.GateOn(name, &gate);
    QueuePath(tree_.Write(name), params_);
    EXPECT_TRUE(gate.WaitEntered());
    return ReadProgress().Run;
  }

  bool WaitFinished() {
    return WaitUntil([] { return GetProcessState() == psFinished && WorkersAlive() == 0; });
  }

  // top/sub1..3 of 2,100 files each, every conversion held at gate.
  void WriteGatedFolders(Gate& gate) {
    for (int folder = 1; folder <= 3; ++folder)
      for (int i = 0; i < 2100; ++i) {
        const std::string name = "s" + std::to_string(folder) + "f" + std::to_string(i) + ".txt";
        tree_.Write("top/sub" + std::to_string(folder) + "/" + name, "");
        convert_.GateOn(name, &gate);
      }
  }

  TempTree tree_;
  FakeConverter convert_;
  RecordingNotify notify_;
  TProcessParams params_;
};

class Queue : public QueueTest {};
class Worker : public QueueTest {};

TEST_F(Queue, TakesTheFirstQueuedFirstAndKeepsLineFeedsInNames) {
  QueuePath("a");
  QueuePath("b\nc");
  QueuePath("d");
  EXPECT_THAT(ReadPendingPaths(), ElementsAre("d", "b\nc", "a"));
  EXPECT_EQ(ReadProgress().QueuedCount, 3);
  std::lock_guard hold(QueueLock);
  EXPECT_EQ(TakeLastPath(), "a");
  EXPECT_EQ(TakeLastPath(), "b\nc");
  EXPECT_EQ(TakeLastPath(), "d");
  EXPECT_EQ(TakeLastPath(), "");
}

TEST_F(Queue, FolderWithOneFileCountsOneOfOneThenTwoOfTwoThenZero) {
  const std::string dir = tree_.Folder("docs");
  const std::string file = tree_.Write("docs/x.pdf");
  QueuePath(dir, params_);
  ASSERT_TRUE(WaitFinished());
  const auto seen = notify_.Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].CurrentPath, dir);
  EXPECT_EQ(seen[0].TakenCount, 1);
  EXPECT_EQ(seen[0].QueuedCount, 1);
  EXPECT_EQ(seen[1].CurrentPath, file);
  EXPECT_EQ(seen[1].TakenCount, 2);
  EXPECT_EQ(seen[1].QueuedCount, 2);
  EXPECT_EQ(seen[2].CurrentPath, "");
  EXPECT_EQ(seen[2].TakenCount, 0);
  EXPECT_EQ(seen[2].QueuedCount, 0);
  EXPECT_THAT(convert_.Paths(), ElementsAre(file));
  EXPECT_EQ(ReadRunReport().written, 1);
}

TEST_F(Queue, WalksBreadthFirst) {
  LaunchFirstOnly();
  tree_.Write("top/a.txt");
  tree_.Write("top/b.txt");
  tree_.Write("top/sub/deep/c.txt");
  tree_.Write("top/sub/d.txt");
  QueuePath(tree_ / "top", params_);
  ASSERT_TRUE(WaitFinished());
  const auto paths = convert_.Paths();
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_THAT(std::vector(paths.begin(), paths.begin() + 2),
              UnorderedElementsAre(tree_ / "top/a.txt", tree_ / "top/b.txt"));
  EXPECT_EQ(paths[2], tree_ / "top/sub/d.txt");
  EXPECT_EQ(paths[3], tree_ / "top/sub/deep/c.txt");
}

TEST_F(Queue, AFolderWaitsWhileThousandsOfFilesDoSoAWalkNeverHoldsTheWholeTree) {
  // Breadth first, three folders of 2,100 files would all be listed before
  // their first file is converted.  In a command-line batch, once more than
  // 4,096 files wait, the third folder waits instead; the files are still
  // converted in order.
  LaunchFirstOnly();
  params_.WorkersWait = true;
  Gate gate;
  WriteGatedFolders(gate);
  QueuePath(tree_ / "top", params_);
  ASSERT_TRUE(gate.WaitEntered());
  // The folder listed last, and the files of the other two but one.
  const std::deque<std::string> pending = ReadPendingPaths();
  ASSERT_EQ(pending.size(), 4200u);
  const std::string waiting = pending.back();  // queued before every file
  EXPECT_THAT(waiting, ::testing::MatchesRegex(".*/top/sub[123]"));
  gate.Open();
  ASSERT_TRUE(WaitFinished());
  const auto paths = convert_.Paths();
  ASSERT_EQ(paths.size(), 6300u);
  // Folder by folder, the waiting one last.
  for (std::size_t k = 0; k < 6300; k += 2100)
    for (std::size_t i = k; i < k + 2100; ++i)
      ASSERT_EQ(std::filesystem::path(paths[i]).parent_path(), std::filesystem::path(paths[k]).parent_path()) << i;
  EXPECT_EQ(std::filesystem::path(paths.back()).parent_path(), std::filesystem::path(waiting));
}

TEST_F(Queue, TheWindowsRunsTakeEveryPathInTheOrderQueued) {
  // The window's workers keep the queue's order however many files wait:
  // all three folders are listed before their first file is converted.
  LaunchFirstOnly();
  Gate gate;
  WriteGatedFolders(gate);
  QueuePath(tree_ / "top", params_);
  ASSERT_TRUE(gate.WaitEntered());
  EXPECT_EQ(ReadPendingPaths().size(), 6299u);
  gate.Open();
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(convert_.Paths().size(), 6300u);
}

TEST_F(Queue, WalksHiddenReadOnlyAndOddlyNamedFolders) {
  tree_.Write("top/.hidden/a.txt");
  tree_.Write("top/locked/b.txt");
  tree_.Write("top/new\nline/c.txt");
  tree_.Write("top/.git/objects/d.txt");
  ::chmod((tree_ / "top/locked").c_str(), 0555);
  QueuePath(tree_ / "top", params_);
  ASSERT_TRUE(WaitFinished());
  EXPECT_THAT(convert_.Paths(), UnorderedElementsAre(tree_ / "top/.hidden/a.txt", tree_ / "top/locked/b.txt",
                                                     tree_ / "top/new\nline/c.txt", tree_ / "top/.git/objects/d.txt"));
}

TEST_F(Queue, FileWithoutDotIsMatchedByNameInAFolderAndByPathWhenQueued) {
  tree_.Write("plain/README");
  tree_.Write("plain/notes.txt");
  tree_.Write("v1.0/README");
  QueuePath(tree_ / "plain", params_);
  ASSERT_TRUE(WaitFinished());
  EXPECT_THAT(convert_.Paths(), ElementsAre(tree_ / "plain/notes.txt"));

  // The whole path is matched: a dotted folder lets the dotless name through.
  QueuePath(tree_ / "v1.0/README", params_);
  ASSERT_TRUE(WaitFinished());
  QueuePath(tree_ / "plain/README", params_);
  ASSERT_TRUE(WaitFinished());
  EXPECT_THAT(convert_.Paths(), ElementsAre(tree_ / "plain/notes.txt", tree_ / "v1.0/README"));
}

TEST_F(Queue, VanishedPathsAreDroppedQuietlyAndSpecialFilesFailWithWhatTheyAre) {
  const std::string fifo = tree_ / "pipe.txt";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  tree_.Folder("walked");
  ASSERT_EQ(::mkfifo((tree_ / "walked/fifo.txt").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/null", (tree_ / "walked/null.txt").c_str()), 0);
  ASSERT_EQ(::symlink("self.txt", (tree_ / "walked/self.txt").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere/x", (tree_ / "walked/dangling.txt").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere/x", (tree_ / "walked/nodot").c_str()), 0);  // no match: left out
  QueuePath(tree_ / "gone.txt");
  QueuePath(fifo);
  QueuePath(tree_ / "walked", params_);  // one run for all three
  ASSERT_TRUE(WaitFinished());
  EXPECT_TRUE(convert_.Paths().empty());  // nothing of this is ever opened
  std::map<std::string, std::string> why;
  for (const RunFailure& f : ReadRunReport().failures) why[f.path] = f.reason;
  EXPECT_EQ(why.size(), 5u);
  EXPECT_EQ(why[fifo], "not a document: a named pipe");
  EXPECT_EQ(why[tree_ / "walked/fifo.txt"], "not a document: a named pipe");
  EXPECT_EQ(why[tree_ / "walked/null.txt"], "not a document: a character device");
  EXPECT_THAT(why[tree_ / "walked/self.txt"], ::testing::StartsWith("a symbolic link that loops"));
  EXPECT_THAT(why[tree_ / "walked/dangling.txt"], ::testing::StartsWith("a dangling symbolic link"));
}

TEST_F(Queue, StopDuringListingDiscardsWhatWasQueued) {
  for (int i = 0; i < 200; ++i) tree_.Write("many/f" + std::to_string(i) + ".txt");
  // The first message comes when the folder is taken, before it is listed.
  class StopAtFirst : public ProgressNotify {
   public:
    void PostProgress() override {
      if (!stopped_.exchange(true)) SetProcessState(psStopping);
    }
    std::atomic<bool> stopped_{false};
  } stop;
  params_.NotifyWindow = &stop;
  QueuePath(tree_ / "many", params_);
  ASSERT_TRUE(WaitFinished());
  EXPECT_TRUE(convert_.Paths().empty());
  EXPECT_TRUE(ReadPendingPaths().empty());
  const ProgressSnapshot s = ReadProgress();
  EXPECT_EQ(s.QueuedCount, 0);
  EXPECT_EQ(s.TakenCount, 0);
  DetachNotify(&stop);
}

TEST_F(Queue, StopRequestOnlyStopsARunningRunAndNeverStrandsAFinishedOne) {
  EXPECT_FALSE(RequestStop());  // idle: nothing to stop
  EXPECT_EQ(GetProcessState(), psIdle);
  Gate gate;
  convert_.GateOn("slow.txt", &gate);
  QueuePath(tree_.Write("slow.txt"), params_);
  ASSERT_TRUE(gate.WaitEntered());
  ASSERT_TRUE(WaitUntil([] { return GetProcessState() == psRunning; }));
  EXPECT_TRUE(RequestStop());
  gate.Open();
  ASSERT_TRUE(WaitFinished());
  EXPECT_FALSE(RequestStop());  // finished stays finished, so a close does not wait
  EXPECT_EQ(GetProcessState(), psFinished);
}

// The last message of a run comes while it is still stopping; a front end
// that then waits for the run's end is woken by the end itself.
TEST_F(Queue, AFrontEndWaitingForTheEndOfARunIsWokenByIt) {
  Gate gate;
  const std::uint64_t run = StartHeld("slow.txt", gate);
  EXPECT_FALSE(WaitRunEnded(run, std::chrono::milliseconds(20)));
  std::atomic<int> ended{-1};
  std::thread waiter([&] { ended = WaitRunEnded(run, std::chrono::minutes(5)) ? 1 : 0; });
  gate.Open();
  waiter.join();
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(GetProcessState(), psFinished);
  const auto seen = notify_.Seen();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().CurrentPath, "");
  EXPECT_TRUE(WaitRunEnded(run, std::chrono::milliseconds(0)));
  ASSERT_TRUE(WaitFinished());
}

TEST_F(Queue, RequestJoinsTheRunningRun) {
  Gate gate;
  const std::uint64_t run = StartHeld("first.txt", gate);
  QueuePath(tree_.Write("second.txt"), params_);
  EXPECT_EQ(ReadProgress().Run, run);
  EXPECT_EQ(ReadProgress().QueuedCount, 2);
  gate.Open();
  ASSERT_TRUE(WaitFinished());
  const auto seen = notify_.Seen();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[seen.size() - 2].TakenCount, 2);
  const RunReport report = ReadRunReport();
  EXPECT_EQ(report.run, run);
  EXPECT_EQ(report.written, 2);
}

TEST_F(Worker, PathQueuedWhileAStoppedRunWindsDownStartsANewRunThatTheOldWorkerLeavesAlone) {
  LaunchFirstOnly();
  Gate old_gate, new_gate;
  convert_.GateOn("slow.txt", &old_gate);
  convert_.GateOn("new1.txt", &new_gate);
  QueuePath(tree_.Write("slow.txt"), params_);
  QueuePath(tree_.Write("left.txt"), params_);
  ASSERT_TRUE(old_gate.WaitEntered());
  SetProcessState(psStopping);  // the Stop button: the old worker A is still converting

  QueuePath(tree_.Write("new1.txt"), params_);
  QueuePath(tree_.Write("new2.txt"), params_);
  ASSERT_TRUE(new_gate.WaitEntered());
  const std::uint64_t new_run = ReadProgress().Run;
  old_gate.Open();  // the old worker finishes its document and must leave the new run alone
  ASSERT_TRUE(WaitUntil([] { return WorkersAlive() == 1; }));
  EXPECT_EQ(GetProcessState(), psRunning);
  EXPECT_THAT(ReadPendingPaths(), ElementsAre(tree_ / "new2.txt"));
  EXPECT_EQ(ReadProgress().QueuedCount, 2);

  new_gate.Open();
  ASSERT_TRUE(WaitFinished());
  EXPECT_THAT(convert_.Paths(), ElementsAre(tree_ / "slow.txt", tree_ / "new1.txt", tree_ / "new2.txt"));
  const RunReport report = ReadRunReport();
  EXPECT_EQ(report.run, new_run);
  EXPECT_EQ(report.written, 2);
}

TEST_F(Worker, NoRequestIsLostWhileRunsEndAndBegin) {
  constexpr int kFiles = 300;
  std::vector<std::string> files;
  for (int i = 0; i < kFiles; ++i) files.push_back(tree_.Write("f" + std::to_string(i) + ".txt"));
  std::mt19937 random(7);
  for (const std::string& f : files) {
    QueuePath(f, params_);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
  }
  ASSERT_TRUE(WaitFinished());
  auto paths = convert_.Paths();
  std::sort(paths.begin(), paths.end());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(paths, files);
}

TEST_F(Worker, LinksToFoldersAreNotWalkedLinksToFilesAreConverted) {
  tree_.Write("top/file.txt");
  tree_.Folder("top/sub");
  ASSERT_EQ(::symlink("..", (tree_ / "top/sub/loop").c_str()), 0);
  ASSERT_EQ(::symlink(tree_.root().c_str(), (tree_ / "top/sub/up.d").c_str()), 0);
  ASSERT_EQ(::symlink("file.txt", (tree_ / "top/link.txt").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere.txt", (tree_ / "top/dangling.txt").c_str()), 0);
  QueuePath(tree_ / "top", params_);
  ASSERT_TRUE(WaitFinished());
  EXPECT_THAT(convert_.Paths(), UnorderedElementsAre(tree_ / "top/file.txt", tree_ / "top/link.txt"));
}

TEST_F(Worker, FailedConversionsAreCountedWithReasonsAndTheRunGoesOn) {
  for (const char* name : {"a.txt", "bad.txt", "empty.txt", "self.txt", "throw.txt", "z.txt"})
    tree_.Write(std::string("docs/") + name);
  tree_.Folder("docs/empty folder.d");
  QueuePath(tree_ / "docs", params_);
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(convert_.Paths().size(), 6u);
  const RunReport r = ReadRunReport();
  EXPECT_EQ(r.written, 2);
  EXPECT_EQ(r.without_text, 1);
  EXPECT_EQ(r.same_file, 1);
  EXPECT_EQ(r.failed, 2);
  ASSERT_EQ(r.failures.size(), 2u);
  std::map<std::string, std::string> why;
  for (const RunFailure& f : r.failures) why[f.path] = f.reason;
  EXPECT_EQ(why[tree_ / "docs/bad.txt"], "cannot create the output: read-only folder");
  EXPECT_THAT(why[tree_ / "docs/throw.txt"], ::testing::HasSubstr("disk on fire"));
  ASSERT_EQ(r.without_text_reasons.size(), 1u);
  EXPECT_EQ(r.without_text_reasons[0].reason, "no text in empty.txt");
  EXPECT_TRUE(r.error.empty());
}

TEST_F(Worker, DocumentsAndPagesReadByOcrAreCounted) {
  for (const char* name : {"scan1.txt", "scan2.txt", "plain.txt", "empty.txt"}) tree_.Write(std::string("docs/") + name);
  QueuePath(tree_ / "docs", params_);
  ASSERT_TRUE(WaitFinished());
  const RunReport r = ReadRunReport();
  EXPECT_EQ(r.written, 3);
  EXPECT_EQ(r.read_by_ocr, 2);
  EXPECT_EQ(r.ocr_pages, 6);
}

// While one worker has nothing to do, the other's conversion may use its
// core (the OCR of a long scan's pages); while both convert, it may not.
TEST_F(Worker, IdleWorkersCoreIsOfferedToTheOtherWorkersConversion) {
  Gate a, b;
  convert_.GateOn("a.txt", &a);
  convert_.GateOn("b.txt", &b);
  tree_.Write("a.txt");
  tree_.Write("b.txt");
  QueuePath(tree_ / "a.txt");
  QueuePath(tree_ / "b.txt", params_);
  ASSERT_TRUE(a.WaitEntered());
  ASSERT_TRUE(b.WaitEntered());
  EXPECT_EQ(SpareWorkers(), 0);
  b.Open();
  EXPECT_TRUE(WaitUntil([] { return SpareWorkers() == 1; }));
  a.Open();
  ASSERT_TRUE(WaitFinished());
}

// A run may have more workers than two; with WorkersWait each one waits
// while another lists a folder, so all of them convert the folder's
// documents at once, and each document is converted once.
TEST_F(Worker, EveryWorkerOfALargerRunConvertsAtOnceThroughAFolderWalk) {
  for (int workers : {1, 4}) {
    SCOPED_TRACE(workers);
    TempTree tree;
    std::mutex m;
    std::condition_variable cv;
    int in = 0, peak = 0;
    SetFileConverter([&](const std::string& path) {
      std::unique_lock hold(m);
      peak = std::max(peak, ++in);
      cv.notify_all();
      // Held until every worker has been in at once (or long enough to
      // show that no other comes).
      cv.wait_for(hold, workers > 1 ? 10s : 50ms, [&] { return peak >= workers; });
      --in;
      return convert_(path);
    });
    for (int i = 0; i < 12; ++i) tree.Write("docs/sub/d" + std::to_string(i) + ".txt");
    params_.Workers = workers;
    params_.WorkersWait = true;
    QueuePath(tree / "docs", params_);
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(peak, workers);
    EXPECT_EQ(ReadRunReport().written, 12);
  }
  std::vector<std::string> paths = convert_.Paths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(std::unique(paths.begin(), paths.end()), paths.end());
  EXPECT_EQ(paths.size(), 24u);
}

TEST_F(Worker, UnlistableFolderIsAFailure) {
  const std::string locked = tree_.Folder("locked");
  tree_.Write("locked/a.txt");
  ::chmod(locked.c_str(), 0);
  ::chown(tree_.root().c_str(), 65534, 65534);
  ::chown(locked.c_str(), 65534, 65534);
  // Root lists every folder: the listing runs as "nobody" in a child process.
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(3);
        QueuePath(locked, params_);
        if (!WaitFinished()) std::_Exit(4);
        const RunReport r = ReadRunReport();
        std::_Exit(r.failed == 1 && r.failures[0].path == locked && convert_.Paths().empty() ? 0 : 5);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Worker, ThreadThatCannotStartEndsTheRunAndTellsTheFrontEnd) {
  SetThreadLauncher([](std::function<void()>) {
    throw std::system_error(EAGAIN, std::generic_category(), "Resource temporarily unavailable");
  });
  QueuePath(tree_.Write("a.txt"), params_);
  EXPECT_EQ(GetProcessState(), psFinished);
  EXPECT_THAT(ReadRunReport().error, ::testing::HasSubstr("cannot start a worker thread"));
  ASSERT_EQ(notify_.Seen().size(), 1u);
  EXPECT_EQ(notify_.Seen()[0].CurrentPath, "");
  EXPECT_TRUE(ReadPendingPaths().empty());

  SetThreadLauncher({});
  QueuePath(tree_ / "a.txt", params_);
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(ReadRunReport().written, 1);
  EXPECT_TRUE(ReadRunReport().error.empty());
}

TEST_F(Worker, WorkerStillConvertingAtShutDownNeverPostsToTheGoneFrontEnd) {
  LaunchFirstOnly();
  SetStopWait(3, 10ms);
  Gate gate;
  convert_.GateOn("slow.txt", &gate);
  auto late = std::make_unique<RecordingNotify>();
  params_.NotifyWindow = late.get();
  QueuePath(tree_.Write("slow.txt"), params_);
  QueuePath(tree_.Write("next.txt"), params_);
  ASSERT_TRUE(gate.WaitEntered());
  EXPECT_FALSE(DoneProcessing());  // gives up: the worker is still converting
  const std::size_t posts = late->Seen().size();
  late.reset();                    // the front end is gone
  gate.Open();
  ASSERT_TRUE(WaitUntil([] { return WorkersAlive() == 0; }));
  EXPECT_GE(posts, 1u);
  EXPECT_THAT(convert_.Paths(), ElementsAre(tree_ / "slow.txt"));
}

// Each worker makes its own conversion (and whatever it owns, such as a
// converter process) once, on its first file, and ends it before the run is
// reported finished; a stop reaches the conversion in hand.
TEST_F(Worker, EachWorkerOwnsOneConversionThatEndsWithItAndHearsTheStop) {
  struct Tally {
    std::mutex m;
    int made = 0, alive = 0;
    std::set<std::thread::id> threads;
  };
  auto tally = std::make_shared<Tally>();
  // Lives as long as the conversion that holds it.
  struct Owned {
    explicit Owned(std::shared_ptr<Tally> t) : tally(std::move(t)) {}
    ~Owned() {
      std::lock_guard hold(tally->m);
      --tally->alive;
    }
    std::shared_ptr<Tally> tally;
  };
  std::atomic<bool> stuck{false}, saw_stop{false};
  SetFileConverterFactory([&, tally](StopQuery stop_requested) -> GatedFileConverter {
    {
      std::lock_guard hold(tally->m);
      ++tally->made;
      ++tally->alive;
      tally->threads.insert(std::this_thread::get_id());
    }
    auto owned = std::make_shared<Owned>(tally);
    return [owned, stop_requested, &stuck, &saw_stop](const std::string& path, OutputGate&) {
      if (path.ends_with("stuck.txt")) {
        stuck = true;
        while (!stop_requested()) std::this_thread::sleep_for(1ms);
        saw_stop = true;
        return ConvertResult::Abandoned();
      }
      return ConvertResult::Written();
    };
  });
  for (int i = 0; i < 20; ++i) tree_.Write("docs/d" + std::to_string(i) + ".txt");
  QueuePath(tree_ / "docs", params_);
  ASSERT_TRUE(WaitFinished());
  {
    std::lock_guard hold(tally->m);
    EXPECT_GE(tally->made, 1);
    EXPECT_LE(tally->made, 2) << "one conversion per worker, not per document";
    EXPECT_EQ(static_cast<std::size_t>(tally->made), tally->threads.size());
    EXPECT_EQ(tally->alive, 0) << "every conversion ended with its worker, before the run finished";
  }
  EXPECT_EQ(ReadRunReport().written, 20);

  QueuePath(tree_.Write("stuck.txt"), params_);
  ASSERT_TRUE(WaitUntil([&] { return stuck.load(); }));
  // The second worker may take the path before the first has begun and made
  // the run a running one; a stop is heard only then.
  ASSERT_TRUE(WaitUntil([] { return GetProcessState() == psRunning; }));
  EXPECT_TRUE(RequestStop());
  ASSERT_TRUE(WaitFinished());
  EXPECT_TRUE(saw_stop);
  // Given up by the stop: left as it was, neither done nor failed.
  EXPECT_EQ(ReadRunReport().failed, 0);
  EXPECT_EQ(ReadRunReport().written, 0);
  std::lock_guard hold(tally->m);
  EXPECT_EQ(tally->alive, 0);
}

TEST_F(Queue, RequestedFoldersAreThoseOfTheFrontEndsUntilTheRunEnds) {
  LaunchFirstOnly();
  Gate gate;
  convert_.GateOn("held.txt", &gate);
  tree_.Write("docs/inner/held.txt");
  tree_.Write("more/x.txt");
  QueuePath(tree_.Write("first.txt"));
  QueuePath(tree_ / "docs", params_);
  ASSERT_TRUE(gate.WaitEntered());
  // Named files, and folders found in a named folder, are not among them.
  EXPECT_THAT(RequestedFolders(), ElementsAre(tree_ / "docs"));
  QueuePath(tree_.Write("late.txt"), params_);
  QueuePath(tree_ / "more", params_);
  EXPECT_THAT(RequestedFolders(), ElementsAre(tree_ / "docs", tree_ / "more"));
  EXPECT_THAT(RequestedFolders(1), ElementsAre(tree_ / "more"));
  EXPECT_THAT(RequestedFolders(5), ::testing::IsEmpty());
  // What the workers take next, the next first.
  EXPECT_THAT(NextPaths(1), ElementsAre(tree_ / "late.txt"));
  EXPECT_THAT(NextPaths(10), ElementsAre(tree_ / "late.txt", tree_ / "more"));
  gate.Open();
  ASSERT_TRUE(WaitFinished());
  EXPECT_TRUE(RequestedFolders().empty());
  EXPECT_TRUE(NextPaths(10).empty());
}

// The shared state outlives main: a worker that wakes while the program is
// already running its exit handlers still finds it intact.  Run in a fresh
// process, so that the exit handler below is registered before the queue's
// state first comes to life.
TEST(WorkerExit, LateWorkerDuringExitDoesNotCrash) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static Gate gate;
        static char file[] = "/tmp/quarn-exit-XXXXXX.txt";
        if (::mkstemps(file, 4) < 0) std::_Exit(2);
        std::atexit([] {
          gate.Open();
          std::this_thread::sleep_for(200ms);
          ::unlink(file);
        });
        InitProcessing();
        SetStopWait(2, 5ms);
        SetFileConverter([](const std::string&) {
          gate.Pass();
          return ConvertResult::Written();
        });
        TProcessParams params;
        QueuePath(file, params);
        gate.WaitEntered();
        DoneProcessing();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quarn

// What a run remembers of its text files, and what it finds on disk instead:
// a text file in place carries the run's mark, so the run forgets its claim
// and still never lets a second document replace it, never converts it, and
// still replaces an earlier run's.  Where no mark can be written, the run
// keeps everything in memory as before.
#include "process/run_outputs.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "convert/text_file.h"
#include "process/process.h"
#include "process/process_testing.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using quarn::testing::TempTree;
using ::testing::UnorderedElementsAre;
using namespace std::chrono_literals;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool MarksWork(const std::string& folder) {
  const std::string probe = folder + "/.probe";
  std::ofstream(probe) << "x";
  const bool ok = ::setxattr(probe.c_str(), kRunAttribute, "x", 1, 0) == 0;
  std::filesystem::remove(probe);
  return ok;
}

// document's text written to out as a conversion of run would write it:
// origin: the document's file name, "" as where no attribute can be kept.
SaveResult Save(const std::shared_ptr<RunOutputs>& run, const std::string& document, const std::string& out,
                const std::string& text, bool origin = true) {
  DocumentGate gate(run, document, "*.*");
  SaveOptions options;
  options.origin = origin ? std::filesystem::path(document).filename().string() : std::string();
  options.gate = &gate;
  return SaveTextFile(out, text, options);
}

FileIdentity IdentityOfPath(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return IdentityOf(st);
}

class RunRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MarksWork(tree_.root())) GTEST_SKIP() << "no extended attributes here";
  }
  TempTree tree_;
};

TEST_F(RunRecords, ASecondDocumentNeverReplacesATextFileWhoseClaimWasForgotten) {
  auto run = std::make_shared<RunOutputs>();
  run->SetPlacedClaimsKept(1);
  const std::string out = tree_.Folder("out");
  std::vector<std::string> texts;
  for (int i = 0; i < 5; ++i) {
    const std::string txt = out + "/" + std::to_string(i) + ".txt";
    ASSERT_EQ(Save(run, "d/" + std::to_string(i) + ".md", txt, "first " + std::to_string(i)).outcome, Saved::kWritten);
  }
  // One claim kept; the other four text files speak for themselves.
  EXPECT_EQ(run->ClaimsHeld(), 1u);
  for (int i = 0; i < 5; ++i) {
    const std::string txt = out + "/" + std::to_string(i) + ".txt";
    const SaveResult r = Save(run, "d/" + std::to_string(i) + ".rtf", txt, "second");
    EXPECT_EQ(r.outcome, Saved::kRefused) << i;
    EXPECT_EQ(r.reason, "not written: \"" + txt + "\" already holds the text of \"d/" + std::to_string(i) + ".md\"");
    EXPECT_EQ(Read(txt), "first " + std::to_string(i));
    // Neither a mark nor a claim: the run's own text file is no document.
    EXPECT_FALSE(run->IsOutput(IdentityOfPath(txt)));
    EXPECT_TRUE(WrittenByUs(txt));
  }
  // The document that holds a place may write it again.
  EXPECT_EQ(Save(run, "d/0.md", out + "/0.txt", "again").outcome, Saved::kWritten);
  EXPECT_EQ(Read(out + "/0.txt"), "again");
  RunMark mark;
  ASSERT_TRUE(ReadRunMark(out + "/0.txt", &mark));
  EXPECT_EQ(mark.run, run->id());
  EXPECT_EQ(mark.document, "d/0.md");
  EXPECT_LE(run->ClaimsHeld(), 1u);
}

TEST_F(RunRecords, AnEarlierRunsTextFileIsReplacedAndThenHeldForThisRun) {
  const std::string txt = tree_ / "a.txt";
  auto earlier = std::make_shared<RunOutputs>();
  ASSERT_EQ(Save(earlier, "old/a.rtf", txt, "earlier").outcome, Saved::kWritten);
  auto run = std::make_shared<RunOutputs>();
  run->SetPlacedClaimsKept(0);
  EXPECT_NE(run->id(), earlier->id());
  ASSERT_EQ(Save(run, "new/a.md", txt, "this run").outcome, Saved::kWritten);
  EXPECT_EQ(Read(txt), "this run");
  RunMark mark;
  ASSERT_TRUE(ReadRunMark(txt, &mark));
  EXPECT_EQ(mark.run, run->id());
  EXPECT_EQ(mark.document, "new/a.md");
  EXPECT_EQ(run->ClaimsHeld(), 0u);
  // The earlier run's document comes round again in this run: refused.
  const SaveResult r = Save(run, "old/a.rtf", txt, "earlier again");
  EXPECT_EQ(r.outcome, Saved::kRefused);
  EXPECT_EQ(r.reason, "not written: \"" + txt + "\" already holds the text of \"new/a.md\"");
}

TEST_F(RunRecords, ADocumentWithALongPathIsNamedWholeFromItsMark) {
  auto run = std::make_shared<RunOutputs>();
  run->SetPlacedClaimsKept(0);
  std::string document = "d";
  for (int i = 0; i < 12; ++i) document += "/" + std::string(200, static_cast<char>('a' + i));
  document += ".md";
  const std::string txt = tree_ / "long.txt";
  ASSERT_EQ(Save(run, document, txt, "first").outcome, Saved::kWritten);
  RunMark mark;
  ASSERT_TRUE(ReadRunMark(txt, &mark));
  EXPECT_EQ(mark.document, document);
  const SaveResult r = Save(run, "d/other.md", txt, "second");
  EXPECT_EQ(r.outcome, Saved::kRefused);
  EXPECT_EQ(r.reason, "not written: \"" + txt + "\" already holds the text of \"" + document + "\"");
}

TEST_F(RunRecords, WithoutMarksEverythingIsKeptInMemoryAsBefore) {
  // As on a file system without extended attributes: nothing on disk tells
  // the run's text files apart, so none of their claims may be forgotten.
  auto run = std::make_shared<RunOutputs>();
  run->SetPlacedClaimsKept(0);
  run->SetMarking(false);
  for (bool origin : {true, false}) {
    const std::string txt = tree_ / (origin ? "with-origin.txt" : "bare.txt");
    ASSERT_EQ(Save(run, "d/a.md", txt, "first", origin).outcome, Saved::kWritten);
    RunMark mark;
    EXPECT_FALSE(ReadRunMark(txt, &mark));
    EXPECT_TRUE(run->IsOutput(IdentityOfPath(txt)));
    const SaveResult r = Save(run, "d/a.rtf", txt, "second", origin);
    EXPECT_EQ(r.outcome, Saved::kRefused);
    EXPECT_EQ(r.reason, "not written: \"" + txt + "\" already holds the text of \"d/a.md\"");
    EXPECT_EQ(Read(txt), "first");
  }
  EXPECT_EQ(run->ClaimsHeld(), 2u);
}

TEST_F(RunRecords, ManyWritersOfFewPlacesLeaveEachTextFileToOneDocument) {
  // Four threads, each with its own documents, race for eight places while
  // claims are forgotten at once: every place is written by exactly one
  // document, and every other document that wanted it is refused naming it.
  auto run = std::make_shared<RunOutputs>();
  run->SetPlacedClaimsKept(0);
  const std::string out = tree_.Folder("out");
  std::mutex m;
  std::vector<std::pair<std::string, std::string>> written;  // place, document
  std::vector<std::string> refusals;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        const std::string txt = out + "/" + std::to_string(i) + ".txt";
        const std::string doc = "t" + std::to_string(t) + "/" + std::to_string(i) + ".md";
        const SaveResult r = Save(run, doc, txt, doc);
        std::lock_guard hold(m);
        if (r.outcome == Saved::kWritten) written.emplace_back(txt, doc);
        if (r.outcome == Saved::kRefused) refusals.push_back(r.reason);
      }
    });
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(written.size(), 8u);
  EXPECT_EQ(refusals.size(), 24u);
  for (const auto& [txt, doc] : written) {
    EXPECT_EQ(Read(txt), doc);
    int named = 0;
    for (const std::string& why : refusals)
      named += why == "not written: \"" + txt + "\" already holds the text of \"" + doc + "\"";
    EXPECT_EQ(named, 3) << txt;
  }
}

// End to end through the queue: an output folder inside the walked tree.
class RunRecordsQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MarksWork(tree_.root())) GTEST_SKIP() << "no extended attributes here";
    ASSERT_TRUE(WaitUntil([] { return WorkersAlive() == 0; }));
    InitProcessing();
    SetThreadLauncher({});
    SetStopWait(99, 100ms);
    params_.NotifyWindow = &notify_;
    params_.KeepDocumentLog = true;
  }
  void TearDown() override {
    if (IsSkipped()) return;
    DoneProcessing();
    EXPECT_TRUE(WaitUntil([] { return WorkersAlive() == 0; }));
    SetFileConverter({});
  }
  static bool WaitUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // Converts every document into out/<its name>.txt; records what it was
  // given.  origin false: no attribute at all, as where none can be kept.
  void ConvertInto(const std::string& out, bool origin = true) {
    SetGatedFileConverter([this, out, origin](const std::string& path, OutputGate& gate) {
      {
        std::lock_guard hold(m_);
        converted_.insert(path);
      }
      SaveOptions options;
      if (origin) options.origin = std::filesystem::path(path).filename().string();
      options.gate = &gate;
      const std::string txt = out + "/" + std::filesystem::path(path).stem().string() + ".txt";
      const SaveResult r = SaveTextFile(txt, "text of " + path, options);
      return r.outcome == Saved::kWritten ? ConvertResult::Written() : ConvertResult::Failed(r.reason);
    });
  }
  std::set<std::string> Converted() {
    std::lock_guard hold(m_);
    return converted_;
  }

  struct NoNotify : ProgressNotify {
    void PostProgress() override {}
  } notify_;
  TempTree tree_;
  TProcessParams params_;
  std::mutex m_;
  std::set<std::string> converted_;
};

TEST_F(RunRecordsQueue, TheRunsOwnTextFilesAreNeverConvertedOnceForgottenNorWithoutMarks) {
  for (bool mark : {true, false}) {
    TempTree tree;
    // The output folder deep in the tree: the walk reaches it once the
    // documents' text files are in it.
    for (const char* name : {"d/a.md", "d/b.md", "d/c.rtf", "d/one/e.md"}) tree.Write(name, "words\n");
    const std::string out = tree.Folder("d/one/two/out");
    ConvertInto(out, mark);
    SetRunRecords(0, mark);
    params_.Workers = 2;
    QueuePath(tree / "d", params_);
    ASSERT_TRUE(WaitUntil([] { return GetProcessState() == psFinished && WorkersAlive() == 0; }));
    EXPECT_THAT(Converted(), UnorderedElementsAre(tree / "d/a.md", tree / "d/b.md", tree / "d/c.rtf",
                                                  tree / "d/one/e.md"))
        << "marks " << mark;
    const RunReport r = ReadRunReport();
    EXPECT_EQ(r.written, 4) << "marks " << mark;
    EXPECT_EQ(r.failed, 0) << "marks " << mark;
    {
      std::lock_guard hold(m_);
      converted_.clear();
    }
    TakeEndedDocuments();
  }
}

TEST_F(RunRecordsQueue, TwoDocumentsOfAWalkWithOneTextFileAcrossTheBound) {
  // a.md, a.rtf and a.html all map to out/a.txt; with every placed claim
  // forgotten at once, the later ones still find the first on disk.
  for (const char* name : {"d/a.md", "d/a.rtf", "d/a.html", "d/b.md"}) tree_.Write(name, "words\n");
  const std::string out = tree_.Folder("out");
  ConvertInto(out);
  SetRunRecords(0, true);
  params_.Workers = 2;
  QueuePath(tree_ / "d", params_);
  ASSERT_TRUE(WaitUntil([] { return GetProcessState() == psFinished && WorkersAlive() == 0; }));
  const RunReport r = ReadRunReport();
  EXPECT_EQ(r.written, 2);
  ASSERT_EQ(r.failed, 2);
  const std::string text = Read(out + "/a.txt");
  ASSERT_EQ(text.rfind("text of ", 0), 0u) << text;
  const std::string winner = text.substr(8);
  for (const RunFailure& f : r.failures) {
    EXPECT_NE(f.path, winner);
    EXPECT_EQ(f.reason, "not written: \"" + out + "/a.txt\" already holds the text of \"" + winner + "\"");
  }
}

}  // namespace
}  // namespace quarn

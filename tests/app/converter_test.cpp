// The converter processes through their client, against the real program:
// one process reads document after document; a crash, a hang or a runaway
// costs one document and the process is replaced; a hostile document is
// refused the network, other programs, writing and reading beyond its run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <deque>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/confine.h"
#include "app/converter_client.h"
#include "tests/support/converter_support.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using quarn::testing::ProcessExists;
using quarn::testing::TempTree;

// The text without the spaces and line ends the pipeline puts after chunks.
std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

// Whether this kernel enforces Landlock rules (it tells its version).
bool KernelHasLandlock() { return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) > 0; }

class ConverterProcess : public ::testing::Test {
 protected:
  // The converters inherit this process's environment: the scripted plug-in's
  // registry, and a private TMPDIR to find their scratch folders in.
  void SetUp() override {
    quarn::testing::WriteScriptedRegistry(tree_ / "data", QUARN_SCRIPTED_FILTER);
    ::setenv("XDG_DATA_DIRS", (tree_ / "data").c_str(), 1);
    ::setenv("TMPDIR", tree_.Folder("tmp").c_str(), 1);
    docs_ = tree_.Folder("docs");
  }
  void TearDown() override {
    ::unsetenv("XDG_DATA_DIRS");
    ::unsetenv("TMPDIR");
  }
  ConverterSettings Settings() const {
    ConverterSettings s;
    s.program = quarn::testing::QuarnBinary();
    s.limits.timeout = 10s;
    s.limits.memory_bytes = 256ull << 20;
    s.requested_folders = [docs = docs_](std::size_t from) {
      return from == 0 ? std::vector<std::string>{docs} : std::vector<std::string>{};
    };
    return s;
  }
  std::string Doc(const std::string& name, const std::string& script) const { return tree_.Write("docs/" + name, script); }
  static DocumentText Read(ConverterClient& client, const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    DocumentText text = client.Read(DocumentInput{path, fd, fd >= 0 && ::fstat(fd, &st) == 0 ? st.st_size : -1});
    if (fd >= 0) ::close(fd);
    return text;
  }
  std::vector<fs::path> Scratch() const {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(tree_ / "tmp")) found.push_back(e.path());
    return found;
  }

  TempTree tree_;
  std::string docs_;
};

TEST_F(ConverterProcess, ReadsOneDocumentAfterAnotherInOneProcess) {
  ConverterClient client(Settings());
  pid_t first = 0;
  for (int i = 0; i < 5; ++i) {
    const std::string word = "word" + std::to_string(i);
    const DocumentText text = Read(client, Doc("d" + std::to_string(i) + ".qs", "chunk\ntext " + word + "\n"));
    ASSERT_TRUE(text.result.written()) << text.result.reason;
    EXPECT_EQ(Trimmed(text.text), word);
    if (i == 0) first = client.pid();
    EXPECT_EQ(client.pid(), first) << "the converter is started once and reused";
  }
  EXPECT_GT(first, 0);
  if (KernelHasLandlock()) {
    EXPECT_GT(client.landlock_abi(), 0);
  }
  // Plain documents go through the same process: the built-in filters run there.
  const DocumentText plain = Read(client, tree_.Write("docs/plain.txt", "plain words\n"));
  EXPECT_EQ(Trimmed(plain.text), "plain words");
  EXPECT_EQ(client.pid(), first);
}

// When memory runs short the kernel ends a converter before the program.
TEST_F(ConverterProcess, AConverterIsTheFirstToGoWhenMemoryRunsOut) {
  ConverterClient client(Settings());
  ASSERT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
  EXPECT_EQ(Trimmed(TempTree::Read("/proc/" + std::to_string(client.pid()) + "/oom_score_adj")), "1000");
}

TEST_F(ConverterProcess, ACrashCostsOnlyItsDocumentAndTheProcessIsReplaced) {
  ConverterClient client(Settings());
  const struct {
    const char* script;
    const char* reason;
  } cases[] = {
      {"crash\n", "the converter crashed (segmentation fault)"},
      {"abort\n", "the converter crashed (aborted)"},
      {"killed\n", "the converter was killed from outside (the system may have run out of memory)"},
      {"exit 3\n", "the converter ended unexpectedly (exit status 3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    ASSERT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
    const pid_t before = client.pid();
    const DocumentText bad = Read(client, Doc("bad.qs", c.script));
    EXPECT_EQ(bad.result.outcome, Outcome::kFailed);
    EXPECT_EQ(bad.result.reason, c.reason);
    EXPECT_FALSE(ProcessExists(before)) << "the crashed converter was reaped";
    const DocumentText after = Read(client, Doc("good.qs", "chunk\ntext fine\n"));
    EXPECT_TRUE(after.result.written()) << after.result.reason;
    EXPECT_NE(client.pid(), before);
  }
}

// A document cut short while its converter reads it (a mailbox compacted by
// its mail program) is told apart from a converter's own crash.
TEST_F(ConverterProcess, ADocumentCutShortUnderItsReaderSaysSo) {
  ConverterClient client(Settings());
  ASSERT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
  const std::string doc = Doc("cut.qs", "mapcut\n" + std::string(256 * 1024 - 8, '#') + "\n");
  std::thread cutter([&] {
    std::this_thread::sleep_for(300ms);  // the converter waits up to a minute for it
    std::filesystem::resize_file(doc, 4096);
  });
  const DocumentText cut = Read(client, doc);
  cutter.join();
  EXPECT_EQ(cut.result.outcome, Outcome::kFailed);
  EXPECT_EQ(cut.result.reason, "the file was cut short while it was read (256 KiB when its reading began, 4 KiB now)");
  EXPECT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
}

TEST_F(ConverterProcess, TimeAndMemoryLimitsEndTheDocumentNotTheRun) {
  ConverterSettings settings = Settings();
  settings.limits.timeout = 1s;
  ConverterClient client(settings);
  for (const char* script : {"hang\n", "spin\n"}) {
    SCOPED_TRACE(script);
    const auto start = std::chrono::steady_clock::now();
    const DocumentText hung = Read(client, Doc("hung.qs", script));
    EXPECT_EQ(hung.result.reason, "stopped after 1 s");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
  }
  settings.limits.timeout = 60s;
  ConverterClient hungry(settings);
  const DocumentText hog = Read(hungry, Doc("hog.qs", "hog\n"));
  EXPECT_EQ(hog.result.outcome, Outcome::kFailed);
  EXPECT_EQ(hog.result.reason, "needed more than 256 MiB");
  EXPECT_TRUE(Read(hungry, Doc("good.qs", "chunk\ntext fine\n")).result.written());
}

TEST_F(ConverterProcess, AContainerWhoseMembersEachEndInTimeRunsPastTheTimeLimit) {
  // Five members of a second each in a zip, under a limit of 3 s: each
  // member read gives the document more time, as each page read by OCR does.
  ConverterSettings settings = Settings();
  settings.limits.timeout = 3s;
  ConverterClient client(settings);
  const std::string path = tree_ / "docs/slow.zip";
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(z, nullptr);
  std::deque<std::string> scripts;  // zip sources point into these until zip_close
  for (int i = 0; i < 5; ++i) {
    scripts.push_back("sleep 1000\nchunk\ntext member " + std::to_string(i) + "\n");
    zip_file_add(z, ("m" + std::to_string(i) + ".qs").c_str(),
                 zip_source_buffer(z, scripts.back().data(), scripts.back().size(), 0), 0);
  }
  ASSERT_EQ(zip_close(z), 0);
  const DocumentText read = Read(client, path);
  ASSERT_TRUE(read.result.written()) << read.result.reason;
  for (int i = 0; i < 5; ++i) EXPECT_THAT(read.text, HasSubstr("member " + std::to_string(i)));
}

TEST_F(ConverterProcess, AStopEndsTheConverterAtOnce) {
  std::atomic<bool> stop{false};
  ConverterClient client(Settings(), [&] { return stop.load(); });
  ASSERT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
  const pid_t pid = client.pid();
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    stop = true;
  });
  const auto start = std::chrono::steady_clock::now();
  const DocumentText hung = Read(client, Doc("hung.qs", "hang\n"));
  stopper.join();
  EXPECT_EQ(hung.result.reason, "not converted: the run was stopped");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_FALSE(ProcessExists(pid));
  EXPECT_EQ(client.pid(), 0);
  EXPECT_TRUE(Scratch().empty()) << "the scratch folder went with the converter";
}

// A listening socket on the loopback interface, to see whether anything came.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&at), size) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) != 0)
      port_ = -1;
    else
      port_ = ntohs(at.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }
  bool SomeoneCame() const {
    const int c = ::accept(fd_, nullptr, nullptr);
    if (c >= 0) ::close(c);
    return c >= 0;
  }

 private:
  int fd_ = -1;
  int port_ = -1;
};

TEST_F(ConverterProcess, AHostileDocumentIsRefusedTheNetworkProgramsProcessesAndWriting) {
  Listener listener;
  ASSERT_GT(listener.port(), 0);
  // A file beside the run's tree, not beneath any folder of the run.
  const std::string outside = tree_.root() + "-outside-secret";
  std::ofstream(outside) << "secret\n";
  const std::string marker = tree_ / "docs/ran";
  ConverterClient client(Settings());
  const struct {
    std::string script;
    std::string refused;
  } cases[] = {
      {"connect " + std::to_string(listener.port()) + "\n", "cannot open a network socket: Permission denied"},
      {"run " + marker + "\n", "cannot run a program"},
      {"child\n", "cannot start a process: Operation not permitted"},
      {"write " + (tree_ / "docs/written") + "\n", "Permission denied"},
      {"write " + (tree_ / "elsewhere") + "\n", "Permission denied"},
      {"read " + outside + "\n", "Permission denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    if (c.script.starts_with("write") || c.script.starts_with("read")) {
      if (!KernelHasLandlock()) continue;  // file-system rules need Landlock
    }
    const DocumentText text = Read(client, Doc("hostile.qs", c.script + "chunk\ntext done\n"));
    EXPECT_FALSE(text.result.written());
    EXPECT_THAT(text.result.reason, HasSubstr(c.refused));
    EXPECT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written()) << "the converter goes on";
  }
  EXPECT_FALSE(listener.SomeoneCame());
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_FALSE(fs::exists(tree_ / "docs/written"));
  EXPECT_FALSE(fs::exists(tree_ / "elsewhere"));
  fs::remove(outside);
}

TEST_F(ConverterProcess, WritesOnlyInItsOwnScratchFolderWhichGoesWithIt) {
  {
    ConverterClient client(Settings());
    const DocumentText text = Read(client, Doc("tmp.qs", "tmpwrite unpacked\nchunk\ntext fine\n"));
    ASSERT_TRUE(text.result.written()) << text.result.reason;
    const std::vector<fs::path> scratch = Scratch();
    ASSERT_EQ(scratch.size(), 1u);
    EXPECT_TRUE(fs::exists(scratch[0] / "unpacked"));
    EXPECT_EQ(fs::status(scratch[0]).permissions() & fs::perms::all, fs::perms::owner_all);
  }
  EXPECT_TRUE(Scratch().empty());
}

TEST_F(ConverterProcess, AFileItWritesMayNotPassTheSizeLimit) {
  // A file up to the limit is written; one past it ends the converter,
  // which says why, and the next document has a new one.
  ConverterClient client(Settings());
  const std::string below = std::to_string(kConverterFileSizeLimit - 2);
  ASSERT_TRUE(Read(client, Doc("below.qs", "tmpgrow " + below + "\nchunk\ntext fine\n")).result.written());
  const std::string past = std::to_string(kConverterFileSizeLimit + 1);
  const DocumentText text = Read(client, Doc("past.qs", "tmpgrow " + past + "\nchunk\ntext never\n"));
  EXPECT_FALSE(text.result.written());
  EXPECT_THAT(text.result.reason, HasSubstr("write a file of more than 1024 MiB"));
  EXPECT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
}

TEST_F(ConverterProcess, ADocumentBeyondTheRunsFoldersIsReadByANewConverter) {
  ConverterClient client(Settings());
  ASSERT_TRUE(Read(client, Doc("good.qs", "chunk\ntext fine\n")).result.written());
  const pid_t first = client.pid();
  // Through a link inside the run's folder to a file outside it, and directly.
  const std::string elsewhere = tree_.Write("other/far.qs", "chunk\ntext far\n");
  fs::create_symlink(elsewhere, tree_ / "docs/link.qs");
  const DocumentText linked = Read(client, tree_ / "docs/link.qs");
  EXPECT_EQ(Trimmed(linked.text), "far");
  EXPECT_NE(client.pid(), first);
  const DocumentText direct = Read(client, tree_.Write("third/near.qs", "chunk\ntext near\n"));
  EXPECT_EQ(Trimmed(direct.text), "near");
}

// Along a list of files in folders that are not the run's, a converter may
// read the documents the run takes next: one start serves many of them, and
// a file beside them that the run does not take stays out of reach.
TEST_F(ConverterProcess, AlongAListOfFilesEachConverterServesTheNextOnesAndNoOtherFile) {
  std::deque<std::string> queue;
  for (int i = 0; i < 250; ++i)
    queue.push_back(tree_.Write("list/" + std::to_string(i % 7) + "/d" + std::to_string(i) + ".qs", "chunk\ntext d\n"));
  const std::string unlisted = tree_.Write("list/0/unlisted", "secret\n");
  queue.push_back(tree_.Write("list/0/hostile.qs", "read " + unlisted + "\nchunk\ntext done\n"));
  ConverterSettings settings = Settings();
  settings.requested_folders = {};
  settings.next_documents = 100;
  std::size_t most_asked = 0;
  settings.next_paths = [&](std::size_t n) {
    most_asked = std::max(most_asked, n);
    return std::vector<std::string>(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(std::min(n, queue.size())));
  };
  ConverterClient client(settings);
  std::set<pid_t> converters;
  while (queue.size() > 1) {
    const std::string path = queue.front();
    queue.pop_front();
    ASSERT_TRUE(Read(client, path).result.written()) << path;
    converters.insert(client.pid());
  }
  // The 251 documents, each converter taking the next 100 and the one in hand.
  EXPECT_GE(converters.size(), 2u);
  EXPECT_LE(converters.size(), 3u);
  EXPECT_EQ(most_asked, 100u) << "a converter's start does not grow with the list";
  if (!KernelHasLandlock()) return;  // file-system rules need Landlock
  const std::string hostile = queue.front();
  queue.pop_front();
  const DocumentText text = Read(client, hostile);
  EXPECT_FALSE(text.result.written());
  EXPECT_THAT(text.result.reason, HasSubstr("Permission denied"));
}

}  // namespace
}  // namespace quarn

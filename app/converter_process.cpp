#include "app/converter_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "app/confine.h"
#include "app/converter_limits.h"
#include "app/converter_wire.h"
#include "app/main.h"
#include "convert/charset.h"
#include "convert/conversion_options.h"

namespace quarn {

namespace {

bool ReadExact(int fd, void* buffer, std::size_t n) {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// Writes the pieces in order, all of them or fails.
bool WriteAll(int fd, std::string_view head, std::string_view tail = {}) {
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(tail.data()), tail.size()}};
  int first = 0;
  while (first < 2) {
    const ssize_t put = ::writev(fd, parts + first, 2 - first);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    auto left = static_cast<std::size_t>(put);
    while (first < 2 && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return true;
}

// Reads one frame of kind `want` from the program; false at the end of the
// channel or for anything else.
bool ReadFrame(int fd, wire::Kind want, std::string* fields) {
  wire::FrameHeader h{};
  if (!ReadExact(fd, &h, sizeof h) || !wire::HeaderFits(h, want, wire::kMaxProgramFrame)) return false;
  fields->resize(h.size);
  return ReadExact(fd, fields->data(), fields->size());
}

// What the fatal-signal handler needs, set once before the first document
// and only read afterwards: a handler may use nothing else.
struct MemoryNote {
  std::uint64_t baseline = 0;  // bytes mapped when the limit was set
  std::uint64_t limit = 0;     // the memory limit; 0: none
  int channel = -1;
  // The answer to the set-up followed by a reply frame saying the limit was
  // reached; the answer is left out once the first reply has gone.
  char frame[1024] = {};
  std::size_t frame_size = 0;
  std::size_t ready_size = 0;
  volatile sig_atomic_t replied = 0;
};
MemoryNote memory_note;

// The process's peak of mapped memory, from /proc/self/status, read with
// calls a signal handler may make.  0 when it cannot be read.
std::uint64_t PeakMappedBytes() {
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[4096];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return 0;
  buf[n] = '\0';
  static constexpr char kKey[] = "VmPeak:";
  for (ssize_t i = 0; i + static_cast<ssize_t>(sizeof kKey) - 1 < n; ++i) {
    if ((i == 0 || buf[i - 1] == '\n') && std::memcmp(buf + i, kKey, sizeof kKey - 1) == 0) {
      std::uint64_t kb = 0;
      for (ssize_t j = i + static_cast<ssize_t>(sizeof kKey) - 1; j < n && buf[j] != '\n'; ++j)
        if (buf[j] >= '0' && buf[j] <= '9') kb = kb * 10 + static_cast<std::uint64_t>(buf[j] - '0');
      return kb * 1024;
    }
  }
  return 0;
}

// A document that took the process past half of its allowance has most
// likely met the limit when it then fails; either way the process is worn
// (its peak stays) and is replaced before the next document.
bool NearMemoryLimit() {
  if (memory_note.limit == 0 || !AddressSpaceLimitApplies()) return false;
  const std::uint64_t peak = PeakMappedBytes();
  return peak > memory_note.baseline && peak - memory_note.baseline >= memory_note.limit / 2;
}

// A crash after an allocation was refused is the memory limit's doing: say
// so before the process ends with the signal.
void OnFatalSignal(int signal) {
  if (memory_note.frame_size > 0 && NearMemoryLimit()) {
    std::size_t done = memory_note.replied ? memory_note.ready_size : 0;
    while (done < memory_note.frame_size) {
      const ssize_t put = ::write(memory_note.channel, memory_note.frame + done, memory_note.frame_size - done);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
  }
  ::raise(signal);  // the handler was reset: the process ends by this signal
}

void WatchFatalSignals(int channel, std::uint64_t limit, std::uint64_t baseline, const std::string& ready) {
  if (!AddressSpaceLimitApplies()) return;  // sanitizers report crashes themselves
  memory_note.channel = channel;
  memory_note.limit = limit;
  memory_note.baseline = baseline;
  if (limit > 0) {
    wire::Reply note;
    note.reason = MemoryLimitReason(limit);
    note.memory_exhausted = true;
    const std::string frame = ready + wire::Encode(note);
    if (frame.size() <= sizeof memory_note.frame) {
      std::memcpy(memory_note.frame, frame.data(), frame.size());
      memory_note.frame_size = frame.size();
      memory_note.ready_size = ready.size();
    }
  }
  // Its own stack, so that a stack overflow is reported like any crash.
  static char alternate_stack[64 * 1024];
  stack_t ss{};
  ss.ss_sp = alternate_stack;
  ss.ss_size = sizeof alternate_stack;
  ::sigaltstack(&ss, nullptr);
  struct sigaction sa {};
  sa.sa_handler = OnFatalSignal;
  sa.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) ::sigaction(s, &sa, nullptr);
}

std::uint64_t MappedBytesNow() {
  const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[128] = {};
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  return n > 0 ? std::strtoull(buf, nullptr, 10) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

// Nothing a document does reaches the program's terminal or output: its
// standard streams lead nowhere (sanitizer reports excepted).
void SilenceStandardStreams() {
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  ::dup2(null_fd, STDIN_FILENO);
  ::dup2(null_fd, STDOUT_FILENO);
  if (AddressSpaceLimitApplies()) ::dup2(null_fd, STDERR_FILENO);
  ::close(null_fd);
}

[[noreturn]] void Serve(int channel, const wire::Setup& setup, std::string ready) {
  // Work that ends (a page read by OCR, from whichever thread read it; a
  // member of a container) is told to the program, at most once a second:
  // members can end by the thousand.  The answer to the set-up goes first, once.
  std::mutex channel_lock;
  std::chrono::steady_clock::time_point last_told{};
  SetProgressHook([&] {
    std::lock_guard hold(channel_lock);
    const auto now = std::chrono::steady_clock::now();
    if (ready.empty() && now - last_told < std::chrono::seconds(1)) return;
    last_told = now;
    if (!WriteAll(channel, ready + wire::EncodeProgress())) ::_exit(0);
    ready.clear();
  });
  std::string fields;
  for (;;) {
    wire::Request request;
    if (!ReadFrame(channel, wire::Kind::kRequest, &fields) || !wire::Decode(fields, &request)) ::_exit(0);
    // The run's settings come with each request (a converter started from
    // the program's file does not share its memory).
    if (!request.options.empty()) SetConversionOptions(DecodeConversionOptions(request.options));
    DocumentText read = ReadDocument(InstalledRegistry(), request.path);
    wire::Reply reply;
    reply.memory_exhausted = NearMemoryLimit();
    if (reply.memory_exhausted && !read.result.written()) {
      read.result = ConvertResult::Failed(MemoryLimitReason(setup.memory_limit));
      read.text.clear();
    }
    reply.outcome = read.result.outcome;
    reply.reason = read.result.reason;
    reply.text_size = read.text.size();
    reply.recognized_pages = read.result.recognized_pages;
    reply.reader = read.result.reader;
    reply.pages = read.result.pages;
    // The answer to the set-up goes with the first reply.
    std::lock_guard hold(channel_lock);
    if (!WriteAll(channel, ready + wire::Encode(reply), read.text)) ::_exit(0);
    ready.clear();
    memory_note.replied = 1;
    if (setup.one_document) ::_exit(0);
  }
}

}  // namespace

void RunConverterProcess(int channel, pid_t parent, const wire::Setup* handed) {
  // A converter never outlives the program that started it, even one
  // killed without warning.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(1);
  // The program's character set, as the program that started it has it;
  // the rest of the locale stays C (a window forks with all of it taken).
  UseEnvironmentCharacterSet();
  // An error that escapes is a crash of this process, not a message.
  std::set_terminate([] { std::abort(); });
  std::string fields;
  wire::Setup read_setup;
  if (!handed && (!ReadFrame(channel, wire::Kind::kSetup, &fields) || !wire::Decode(fields, &read_setup))) ::_exit(1);
  const wire::Setup& setup = handed ? *handed : read_setup;
  // The registry is read before any document, and before the process may
  // no longer open anything but what the set-up names.
  InstalledRegistry();
  SilenceStandardStreams();
  Confinement confinement;
  confinement.read_roots = setup.read_roots;
  confinement.scratch = setup.scratch;
  confinement.memory_limit = setup.memory_limit;
  confinement.file_size_limit = kConverterFileSizeLimit;
  const std::uint64_t baseline = MappedBytesNow();
  const ConfineResult confined = Confine(confinement);
  wire::Ready ready;
  ready.error = confined.error;
  ready.landlock_abi = confined.landlock_abi;
  if (!confined.error.empty()) {
    WriteAll(channel, wire::Encode(ready));
    ::_exit(1);
  }
  // Documents are told the allowance they had, which a stricter limit the
  // program was started under can make smaller than the one asked for.
  wire::Setup applied = setup;
  applied.memory_limit = confined.memory_limit;
  // A crash before the first reply is that document's.
  WatchFatalSignals(channel, applied.memory_limit, baseline, wire::Encode(ready));
  Serve(channel, applied, wire::Encode(ready));
}

void RunConverterProcessIfAsked(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], kConverterMode) != 0) return;
  struct stat st {};
  char* end = nullptr;
  const long parent = argc == 3 ? std::strtol(argv[2], &end, 10) : 0;
  if (parent <= 0 || !end || *end != '\0' || ::fstat(kConverterChannel, &st) != 0 || !S_ISSOCK(st.st_mode)) {
    std::fprintf(stderr, "quarn: %s is for the program's own use\n", kConverterMode);
    ::_exit(2);
  }
  // Idle workers' cores, as the program's queue counts them; without it the
  // converter's own count (one) stands.
  AttachSpareWorkers(kSpareWorkersChannel);
  RunConverterProcess(kConverterChannel, static_cast<pid_t>(parent));
}

}  // namespace quarn

#include "app/converter_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/confine.h"
#include "app/converter_process.h"
#include "app/converter_wire.h"
#include "convert/filter.h"
#include "pdfinfo/pdfinfo.h"

extern char** environ;

namespace quarn {

namespace {

using Clock = std::chrono::steady_clock;
// The time a document is given after each page it has read by OCR (OCR's
// own limit per page, two minutes, and the rendering of the page, one) or
// each member of a container it has read.
constexpr std::chrono::seconds kPageAllowance{180};

// How often a waiting worker looks at the stop request and the converter's
// memory.
constexpr std::chrono::milliseconds kTick{50};
// The largest text a converter can have a reason to send: the filter route's
// cap, or the PDF route's information, a space and its cap.
constexpr std::uint64_t kMaxText =
    std::max<std::uint64_t>(FilterLimits{}.max_text_bytes, PDFINFO_TEXT_LIMIT) + PDFINFO_INFO_SIZE + 1;

std::string SignalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "segmentation fault";
    case SIGABRT: return "aborted";
    case SIGBUS: return "bus error";
    case SIGFPE: return "arithmetic error";
    case SIGILL: return "illegal instruction";
    case SIGTRAP: return "trace trap";
    case SIGSYS: return "forbidden system call";
    case SIGKILL: return "killed";
    case SIGTERM: return "terminated";
    case SIGXCPU: return "processor time limit";
    case SIGXFSZ: return "file size limit";
    case SIGPIPE: return "broken pipe";
    default: return "signal " + std::to_string(signal);
  }
}

// Removes a converter's scratch folder and everything in it, whatever
// rights the converter left on it; symbolic links are removed, never followed.
void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  ::chmod(path.c_str(), 0700);
  if (DIR* dir = ::opendir(path.c_str())) {
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
      const std::string_view name = e->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) RemoveTree(path + "/" + name);
  }
  ::rmdir(path.c_str());
}

constexpr std::string_view kScratchPrefix = "quarn-converter-";

std::string TemporaryRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && tmp[0] == '/' ? tmp : "/tmp";
}

// A scratch folder is named after the program's process: "quarn-converter-"
// then the process id, "-" and six random characters.
std::string MakeScratch() {
  std::string pattern = TemporaryRoot() + "/" + std::string(kScratchPrefix) + std::to_string(::getpid()) + "-XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// A program killed outright (SIGKILL, a crash, a closed terminal) leaves its
// converters' scratch folders behind.  A later batch removes those of its own
// user whose process is gone and that nobody touched for an hour (a live
// converter's folder is touched before each document, so a process of
// another process-id namespace that shares the folder keeps its own).
void RemoveAbandonedScratch() {
  const std::string root = TemporaryRoot();
  DIR* dir = ::opendir(root.c_str());
  if (!dir) return;
  const time_t now = ::time(nullptr);
  std::vector<std::string> abandoned;
  while (const dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (!name.starts_with(kScratchPrefix)) continue;
    name.remove_prefix(kScratchPrefix.size());
    const std::size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 9) continue;
    pid_t pid = 0;
    bool digits = true;
    for (char c : name.substr(0, dash)) {
      digits = digits && c >= '0' && c <= '9';
      pid = pid * 10 + (c - '0');
    }
    if (!digits || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid() || now - st.st_mtime < 3600)
      continue;
    abandoned.push_back(root + "/" + e->d_name);
  }
  ::closedir(dir);
  for (const std::string& path : abandoned) RemoveTree(path);
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// Sends all of data, waiting for room as long as the converter lives.
bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (put > 0) {
      data.remove_prefix(static_cast<std::size_t>(put));
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) < 0 && errno != EINTR) return false;
      if (p.revents & (POLLHUP | POLLERR)) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

std::string CanonicalPathOf(int fd, const std::string& path) {
  char link[PATH_MAX];
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = fd >= 0 ? ::readlink(proc.c_str(), link, sizeof link) : -1;
  if (n > 0 && n < static_cast<ssize_t>(sizeof link) && link[0] == '/') {
    std::string canonical(link, static_cast<std::size_t>(n));
    if (!canonical.ends_with(" (deleted)")) return canonical;
  }
  const std::string real = RealPath(path);
  return real.empty() ? path : real;
}

ConverterClient::ConverterClient(ConverterSettings settings, std::function<bool()> stop_requested)
    : settings_(std::move(settings)), stop_requested_(std::move(stop_requested)) {}

ConverterClient::~ConverterClient() { End(); }

bool ConverterClient::Start(std::string* why) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    *why = std::string("cannot start the converter: ") + std::strerror(errno);
    return false;
  }
  // Above the standard streams and the channel's number, so that setting
  // those up in the child never overwrites it (and a dup2 onto itself, which
  // would keep close-on-exec, cannot happen).
  const int child_end = ::fcntl(sv[1], F_DUPFD_CLOEXEC, 10);
  ::close(sv[1]);
  if (child_end < 0) {
    *why = std::string("cannot start the converter: ") + std::strerror(errno);
    ::close(sv[0]);
    return false;
  }
  // Looked for once a run of many documents, not at the start of every
  // one-document conversion.
  if (!swept_scratch_ && !settings_.fork_without_exec) {
    swept_scratch_ = true;
    RemoveAbandonedScratch();
  }
  scratch_ = MakeScratch();
  // Made here, where memory is warm: a forked child is handed it and would
  // have to copy every page it writes.
  if (system_roots_.empty()) system_roots_ = SystemReadRoots(InstalledRegistry());
  wire::Setup setup;
  setup.memory_limit = settings_.limits.memory_bytes;
  setup.read_roots = system_roots_;
  setup.read_roots.insert(setup.read_roots.end(), roots_.begin(), roots_.end());
  setup.scratch = scratch_;
  setup.one_document = settings_.fork_without_exec;
  const pid_t parent = ::getpid();
  const bool keep_stderr = !AddressSpaceLimitApplies();  // sanitizer reports must be seen
  if (settings_.fork_without_exec) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(sv[0]);
      ::setpgid(0, 0);  // the terminal's Ctrl-C is the program's to handle
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD, SIGXFSZ}) ::signal(s, SIG_DFL);
      ::dup2(child_end, kConverterChannel);
      ::close_range(kConverterChannel + 1, ~0U, 0);
      if (!scratch_.empty()) ::setenv("TMPDIR", scratch_.c_str(), 1);
      RunConverterProcess(kConverterChannel, parent, &setup);
    }
  } else {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!keep_stderr) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, child_end, kConverterChannel);
    int last_kept = kConverterChannel;
    if (settings_.spare_workers_fd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, settings_.spare_workers_fd, kSpareWorkersChannel);
      last_kept = kSpareWorkersChannel;
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, last_kept + 1);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
      if (std::strncmp(*e, "TMPDIR=", 7) == 0) continue;
      env.emplace_back(*e);
    }
    if (!scratch_.empty()) env.push_back("TMPDIR=" + scratch_);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string parent_text = std::to_string(parent);
    std::string mode = kConverterMode;
    std::vector<char*> argv = {settings_.program.data(), mode.data(), parent_text.data(), nullptr};
    const int rc = ::posix_spawn(&pid_, settings_.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
      pid_ = -1;
      errno = rc;
    }
  }
  const int spawn_errno = errno;
  ::close(child_end);
  if (pid_ < 0) {
    pid_ = 0;
    ::close(sv[0]);
    if (!scratch_.empty()) RemoveTree(scratch_);
    scratch_.clear();
    *why = std::string("cannot start the converter: ") + std::strerror(spawn_errno);
    return false;
  }
  channel_ = sv[0];
  ::fcntl(channel_, F_SETFL, ::fcntl(channel_, F_GETFL) | O_NONBLOCK);
  statm_ = ::open(("/proc/" + std::to_string(pid_) + "/statm").c_str(), O_RDONLY | O_CLOEXEC);

  // Its answer comes with the first reply: the request follows at once.
  ready_pending_ = true;
  if (!settings_.fork_without_exec && !SendAll(channel_, wire::Encode(setup))) {
    *why = DeathReason(End());
    return false;
  }
  return true;
}

int ConverterClient::End() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGKILL);
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &status, 0);
  } while (got < 0 && errno == EINTR);
  pid_ = 0;
  if (channel_ >= 0) ::close(channel_);
  if (statm_ >= 0) ::close(statm_);
  channel_ = statm_ = -1;
  landlock_abi_ = 0;
  ready_pending_ = false;
  if (!scratch_.empty()) RemoveTree(scratch_);
  scratch_.clear();
  return got > 0 ? status : -1;
}

bool ConverterClient::Alive() const {
  // Between documents a converter is silent: anything to read means it has
  // ended (or says what it should not).
  pollfd p{channel_, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

void ConverterClient::TakeRequestedFolders() {
  if (!settings_.requested_folders) return;
  const std::vector<std::string> added = settings_.requested_folders(folders_seen_);
  folders_seen_ += added.size();
  for (const std::string& folder : added) {
    const std::string real = RealPath(folder);
    if (real.empty()) continue;
    // A folder inside another one adds nothing; one that holds others
    // stands for them.
    bool inside = false;
    for (std::string p = ParentOf(real); !inside; p = ParentOf(p)) {
      inside = folder_roots_.count(p) > 0;
      if (p == "/") break;
    }
    if (inside || folder_roots_.count(real)) continue;
    const std::string below = real == "/" ? real : real + "/";
    folder_roots_.erase(folder_roots_.lower_bound(below), folder_roots_.lower_bound(below.substr(0, below.size() - 1) + char('/' + 1)));
    folder_roots_.insert(real);
  }
}

bool ConverterClient::Covers(const std::string& canonical) const {
  for (std::string p = canonical;; p = ParentOf(p)) {
    if (roots_.count(p)) return true;
    if (p == "/" || p.empty()) return false;
  }
}

bool ConverterClient::OverMemory() const {
  if (statm_ < 0 || settings_.limits.memory_bytes == 0) return false;
  char buf[128] = {};
  const ssize_t n = ::pread(statm_, buf, sizeof buf - 1, 0);
  if (n <= 0) return false;
  char* end = nullptr;
  std::strtoull(buf, &end, 10);  // the size; the resident pages follow
  const std::uint64_t resident = std::strtoull(end, nullptr, 10);
  return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) > settings_.limits.memory_bytes;
}

ConverterClient::Wait ConverterClient::WaitReadable(Clock::time_point deadline, bool timed) {
  for (;;) {
    auto wait = kTick;
    if (timed) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return Wait::kTimeout;
      wait = std::min(wait, left + std::chrono::milliseconds(1));
    }
    pollfd p{channel_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (r > 0) return Wait::kReady;  // data, or the end that read() will tell
    if (r < 0 && errno != EINTR) return Wait::kClosed;
    if (timed && Clock::now() >= deadline) return Wait::kTimeout;
    if (stop_requested_ && stop_requested_()) return Wait::kStopped;
    if (OverMemory()) return Wait::kMemory;
  }
}

ConverterClient::Wait ConverterClient::ReadExact(void* buffer, std::size_t n, Clock::time_point deadline, bool timed) {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::read(channel_, p, n);
    if (got > 0) {
      p += got;
      n -= static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) return Wait::kClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Wait::kClosed;
    if (const Wait w = WaitReadable(deadline, timed); w != Wait::kReady) return w;
  }
  return Wait::kReady;
}

DocumentText ConverterClient::Failed(std::string reason) { return {ConvertResult::Failed(std::move(reason)), {}}; }

std::string ConverterClient::DeathReason(int status, int document, off_t size_before) const {
  if (status != -1 && WIFSIGNALED(status)) {
    switch (WTERMSIG(status)) {
      // A reader that maps its document dies of SIGBUS when the file is cut
      // short under it (a mail program compacting a mailbox, a copy
      // overwritten in place).
      case SIGBUS:
        if (struct stat now {}; document >= 0 && size_before >= 0 && ::fstat(document, &now) == 0 &&
                                now.st_size < size_before)
          return "the file was cut short while it was read (" + DescribeSize(static_cast<std::uint64_t>(size_before)) +
                 " when its reading began, " + DescribeSize(static_cast<std::uint64_t>(now.st_size)) + " now)";
        break;
      case SIGXFSZ: {
        const std::uint64_t limit = ConverterFileSizeLimit();
        const std::string size = limit >= (1U << 20) && limit % (1U << 20) == 0
                                     ? std::to_string(limit >> 20) + " MiB"
                                     : DescribeSize(limit);
        return "the document made its converter write a file of more than " + size + ", and the converter was stopped";
      }
      // Neither of these is one a document's fault raises: another program
      // sent it, or the system ended the process when memory ran short.
      case SIGKILL: return "the converter was killed from outside (the system may have run out of memory)";
      case SIGTERM: return "the converter was stopped from outside (SIGTERM)";
      default: break;
    }
    return "the converter crashed (" + SignalName(WTERMSIG(status)) + ")";
  }
  if (status != -1 && WIFEXITED(status))
    return "the converter ended unexpectedly (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
  return "the converter ended unexpectedly";
}

DocumentText ConverterClient::Read(const DocumentInput& input) {
  const std::string canonical = CanonicalPathOf(input.fd, input.path);
  const std::vector<std::string> side_files = SideFiles(canonical);
  const bool covered =
      Covers(canonical) && std::all_of(side_files.begin(), side_files.end(), [this](const std::string& f) {
        return Covers(f);
      });
  if (pid_ > 0 && (!Alive() || !covered)) End();
  // A converter's scratch folder is touched before each document so that no
  // other run takes it for abandoned; should one have removed it all the
  // same, a new converter gets a new one.
  if (pid_ > 0 && !scratch_.empty() && ::utimensat(AT_FDCWD, scratch_.c_str(), nullptr, 0) != 0 && errno == ENOENT)
    End();
  if (pid_ <= 0) {
    // A new converter may read the run's named folders, the documents the
    // run takes next, and this document in any case: one start serves a
    // walk of the folders whole, and a list of files for the next
    // next_documents of them.
    TakeRequestedFolders();
    roots_ = folder_roots_;
    if (settings_.next_paths) {
      for (const std::string& p : settings_.next_paths(settings_.next_documents)) {
        std::string real = RealPath(p);
        if (!real.empty() && !Covers(real)) roots_.insert(std::move(real));
      }
    }
    roots_.insert(canonical);
    for (const std::string& f : side_files)
      if (!Covers(f)) roots_.insert(f);
    std::string why;
    if (!Start(&why)) return Failed(why);

  }
  wire::Request request;
  request.path = input.path;
  request.options = settings_.options;
  const bool timed = settings_.limits.timeout.count() > 0;
  auto deadline = Clock::now() + settings_.limits.timeout;
  wire::FrameHeader h{};
  // A converter that cannot confine itself says so and ends, perhaps before
  // it has read the request: its answer is read all the same.
  const bool sent = SendAll(channel_, wire::Encode(request));
  Wait w = Wait::kReady;
  if (ready_pending_) {
    wire::Ready ready;
    std::string fields;
    w = ReadExact(&h, sizeof h, deadline, timed);
    if (w == Wait::kReady && !wire::HeaderFits(h, wire::Kind::kReady, wire::kMaxConverterFrame)) {
      End();
      return Failed("the converter sent a malformed reply");
    }
    if (w == Wait::kReady) {
      fields.resize(h.size);
      w = ReadExact(fields.data(), fields.size(), deadline, timed);
    }
    if (w == Wait::kReady && !wire::Decode(fields, &ready)) {
      End();
      return Failed("the converter sent a malformed reply");
    }
    if (w == Wait::kReady && !ready.error.empty()) {
      End();
      return Failed("the converter cannot be confined: " + ready.error);
    }
    if (w == Wait::kReady) {
      ready_pending_ = false;
      landlock_abi_ = ready.landlock_abi;
    }
  }
  if (w == Wait::kReady) w = sent ? ReadExact(&h, sizeof h, deadline, timed) : Wait::kClosed;
  // Each page read by OCR, and each member of a container read, gives the
  // document time for the next: a long scan or a large mailbox is work, not a
  // hang, and each page or member must end within that time.
  while (w == Wait::kReady && h.magic == wire::kMagic && h.kind == static_cast<std::uint32_t>(wire::Kind::kProgress) &&
         h.size == 0) {
    deadline = std::max(deadline, Clock::now() + kPageAllowance);
    w = ReadExact(&h, sizeof h, deadline, timed);
  }
  wire::Reply reply;
  std::string text;
  if (w == Wait::kReady) {
    std::string fields;
    if (!wire::HeaderFits(h, wire::Kind::kReply, wire::kMaxConverterFrame)) {
      End();
      return Failed("the converter sent a malformed reply");
    }
    fields.resize(h.size);
    w = ReadExact(fields.data(), fields.size(), deadline, timed);
    if (w == Wait::kReady && (!wire::Decode(fields, &reply) || reply.text_size > kMaxText)) {
      End();
      return Failed("the converter sent a malformed reply");
    }
    if (w == Wait::kReady) {
      text.resize(reply.text_size);
      w = ReadExact(text.data(), text.size(), deadline, timed);
    }
  }
  switch (w) {
    case Wait::kReady: break;
    case Wait::kClosed: return Failed(DeathReason(End(), input.fd, input.size));
    case Wait::kTimeout: End(); return Failed(TimeLimitReason(settings_.limits.timeout));
    case Wait::kStopped: End(); return {ConvertResult::Abandoned(), {}};
    case Wait::kMemory: End(); return Failed(MemoryLimitReason(settings_.limits.memory_bytes));
  }
  // A converter that came near its memory limit is replaced before the next document.
  if (reply.memory_exhausted) End();
  DocumentText read;
  read.result = ConvertResult{reply.outcome, std::move(reply.reason)};
  read.result.recognized_pages = static_cast<unsigned>(std::min<std::uint64_t>(reply.recognized_pages, 1u << 30));
  // Shown in reports only, so bounded and kept as it came.
  read.result.reader = std::move(reply.reader).substr(0, 200);
  read.result.pages = reply.pages;
  if (read.result.written()) read.text = std::move(text);
  return read;
}

}  // namespace quarn

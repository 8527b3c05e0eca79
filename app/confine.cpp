#include "app/confine.h"

#include <fcntl.h>
#include <link.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "app/syscall_filters.h"
#include "convert/registry.h"

namespace quarn {

namespace {

// Landlock's later rights and scopes, newer than the system's headers.
constexpr std::uint64_t kFsTruncate = 1ULL << 14;   // version 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;   // version 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;    // version 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1; // version 4
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;  // version 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;        // version 6

// The ruleset attribute of version 6; older kernels are given a shorter prefix.
struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

constexpr std::uint64_t kReadRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;

std::uint64_t HandledFs(int abi) {
  std::uint64_t fs = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
                     LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                     LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                     LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                     LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (abi >= 2) fs |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) fs |= kFsTruncate;
  if (abi >= 5) fs |= kFsIoctlDev;
  return fs;
}

struct FdCloser {
  void operator()(int* fd) const {
    if (*fd >= 0) ::close(*fd);
    delete fd;
  }
};
using OwnedFd = std::unique_ptr<int, FdCloser>;
OwnedFd Own(int fd) { return OwnedFd(new int(fd)); }

// Allows `rights` beneath path (a file gets only the rights a file can have).
// A path that does not exist is passed over.
bool AddPathRule(int ruleset, const std::string& path, std::uint64_t rights, std::uint64_t handled) {
  OwnedFd fd = Own(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (*fd < 0) return true;
  struct stat st {};
  if (::fstat(*fd, &st) != 0) return true;
  if (!S_ISDIR(st.st_mode))
    rights &= LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_EXECUTE | kFsTruncate |
              kFsIoctlDev;
  rights &= handled;
  if (rights == 0) return true;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights;
  rule.parent_fd = *fd;
  return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// Limits the file system to reading beneath the roots, and to making and
// removing files only in the scratch folder.  Returns the version applied,
// 0 where the kernel has no Landlock, -1 on failure.
int ApplyLandlock(const std::vector<std::string>& roots, const std::string& scratch, std::string* error) {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return 0;  // not built in, or switched off at boot
  RulesetAttr attr{};
  attr.handled_access_fs = HandledFs(static_cast<int>(abi));
  std::size_t attr_size = sizeof attr.handled_access_fs;
  if (abi >= 4) {
    attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
    attr_size = offsetof(RulesetAttr, scoped);
  }
  if (abi >= 6) {
    attr.scoped = kScopeAbstractUnix | kScopeSignal;
    attr_size = sizeof attr;
  }
  OwnedFd ruleset = Own(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0)));
  if (*ruleset < 0) {
    *error = std::string("cannot create the file-system rules: ") + std::strerror(errno);
    return -1;
  }
  for (const std::string& root : roots) {
    if (!AddPathRule(*ruleset, root, kReadRights, attr.handled_access_fs)) {
      *error = "cannot allow reading " + root + ": " + std::strerror(errno);
      return -1;
    }
  }
  // Some libraries open these for writing (and /dev/null may stand in for
  // an output they do not need).
  if (!AddPathRule(*ruleset, "/dev/null", kReadRights | LANDLOCK_ACCESS_FS_WRITE_FILE, attr.handled_access_fs)) {
    *error = std::string("cannot allow /dev/null: ") + std::strerror(errno);
    return -1;
  }
  if (!scratch.empty()) {
    const std::uint64_t scratch_rights =
        attr.handled_access_fs & ~(LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                                   LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                                   LANDLOCK_ACCESS_FS_MAKE_FIFO | kFsIoctlDev);
    if (!AddPathRule(*ruleset, scratch, scratch_rights, attr.handled_access_fs)) {
      *error = "cannot allow the scratch folder " + scratch + ": " + std::strerror(errno);
      return -1;
    }
  }
  if (::syscall(SYS_landlock_restrict_self, *ruleset, 0) != 0) {
    *error = std::string("cannot apply the file-system rules: ") + std::strerror(errno);
    return -1;
  }
  return static_cast<int>(abi);
}

// Hands a classic BPF program to the kernel, for every thread (the
// sanitizers' own may already run).
bool LoadFilter(std::span<const sock_filter> code, std::string* error) {
  if (code.empty() || code.size() > BPF_MAXINSNS) {
    *error = "the system-call filter is missing";
    return false;
  }
  sock_fprog prog{static_cast<unsigned short>(code.size()), const_cast<sock_filter*>(code.data())};
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &prog) != 0) {
    *error = std::string("cannot load the system-call filter: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Run as root, the converter keeps its user but gives up every capability,
// so that it cannot read past file permissions or act on others' processes.
bool DropCapabilities(std::string* error) {
  if (::geteuid() != 0) return true;
  for (int cap = 0; cap <= 63; ++cap) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capset, &header, none) != 0) {
    *error = std::string("cannot give up the administrator's capabilities: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::uint64_t MappedBytes() {
  const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[128] = {};
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  return n > 0 ? std::strtoull(buf, nullptr, 10) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v == '/' ? std::string(v) : fallback;
}

int AddLoadedFolder(dl_phdr_info* info, size_t, void* data) {
  if (info->dlpi_name && info->dlpi_name[0] == '/')
    static_cast<std::set<std::string>*>(data)->insert(std::filesystem::path(info->dlpi_name).parent_path().string());
  return 0;
}

}  // namespace

bool AddressSpaceLimitApplies() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#else
  return true;
#endif
}

std::vector<std::string> SystemReadRoots(const Registry& registry) {
  std::set<std::string> roots = {
      "/usr", "/lib", "/lib64", "/lib32", "/libx32", "/etc", "/var/cache/fontconfig",
      "/proc/self", "/proc/cpuinfo", "/proc/meminfo", "/proc/stat", "/proc/sys", "/proc/filesystems",
      "/sys/devices/system/cpu", "/sys/fs/cgroup", "/sys/kernel/mm/transparent_hugepage",
      "/dev/zero", "/dev/urandom", "/dev/random"};
  // The program's own prefix: its libraries, filter modules and registry.
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) roots.insert(exe.parent_path().parent_path().string());
  dl_iterate_phdr(AddLoadedFolder, &roots);
  if (const char* lib_path = std::getenv("LD_LIBRARY_PATH")) {
    std::string dirs = lib_path;
    for (std::size_t at = 0; at <= dirs.size();) {
      const std::size_t end = std::min(dirs.find(':', at), dirs.size());
      if (end > at && dirs[at] == '/') roots.insert(dirs.substr(at, end - at));
      at = end + 1;
    }
  }
  for (const std::string& folder : Registry::StandardFolders()) roots.insert(folder);
  for (const std::filesystem::path& library : registry.ServerLibraries())
    roots.insert(library.parent_path().string());
  // Fonts and their caches, language data for text recognition, locales.
  const std::string home = EnvOr("HOME", "");
  if (!home.empty()) {
    roots.insert(EnvOr("XDG_CACHE_HOME", home + "/.cache") + "/fontconfig");
    roots.insert(EnvOr("XDG_DATA_HOME", home + "/.local/share") + "/fonts");
    roots.insert(EnvOr("XDG_CONFIG_HOME", home + "/.config") + "/fontconfig");
    roots.insert(home + "/.fonts");
  }
  for (const char* name : {"TESSDATA_PREFIX", "LOCPATH"}) {
    const std::string dir = EnvOr(name, "");
    if (!dir.empty()) roots.insert(dir);
  }
  return {roots.begin(), roots.end()};
}

void RaiseOpenFileLimit() {
  // Not above 1024: a descriptor past it would break any library that
  // still waits with select().
  constexpr rlim_t kEnough = 1024;
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= kEnough || files.rlim_cur >= files.rlim_max) return;
  files.rlim_cur = files.rlim_max == RLIM_INFINITY ? kEnough : std::min(files.rlim_max, kEnough);
  ::setrlimit(RLIMIT_NOFILE, &files);
}

void FailWritesPastTheFileSizeLimit() { ::signal(SIGXFSZ, SIG_IGN); }

std::uint64_t ConverterFileSizeLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_FSIZE, &files) != 0 || files.rlim_max == RLIM_INFINITY ||
      files.rlim_max > kConverterFileSizeLimit)
    return kConverterFileSizeLimit;
  return files.rlim_cur;
}

ConfineResult Confine(const Confinement& c) {
  ConfineResult result;
  // When memory runs out (the machine's, or a container's or batch job's
  // group's), the kernel is to end a converter, which costs one document,
  // before the program, which holds the run: a process may always raise its
  // own score, and nothing here needs it lower.
  if (const int fd = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC); fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, "1000", 4);
    ::close(fd);
  }
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);  // a crash leaves no copy of the document's memory behind
  if (rlimit files{}; c.file_size_limit > 0 && ::getrlimit(RLIMIT_FSIZE, &files) == 0 &&
                      (files.rlim_max == RLIM_INFINITY || files.rlim_max > c.file_size_limit)) {
    files.rlim_cur = files.rlim_max = c.file_size_limit;
    if (::setrlimit(RLIMIT_FSIZE, &files) != 0) {
      result.error = std::string("cannot limit the size of files: ") + std::strerror(errno);
      return result;
    }
  }
  if (c.memory_limit > 0 && AddressSpaceLimitApplies()) {
    const std::uint64_t mapped = MappedBytes();
    std::uint64_t cap = mapped + c.memory_limit;
    // Started under a stricter limit (a shell's `ulimit -v`, a batch
    // system's job limit), which no process may raise: that one holds.
    if (rlimit now{}; ::getrlimit(RLIMIT_AS, &now) == 0 && now.rlim_max != RLIM_INFINITY && now.rlim_max < cap)
      cap = now.rlim_max;
    const rlimit as{cap, cap};
    if (::setrlimit(RLIMIT_AS, &as) != 0) {
      result.error = std::string("cannot limit the memory: ") + std::strerror(errno);
      return result;
    }
    result.memory_limit = cap > mapped ? cap - mapped : 1;
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    result.error = std::string("cannot drop privileges: ") + std::strerror(errno);
    return result;
  }
  if (!DropCapabilities(&result.error)) return result;
  const int abi = ApplyLandlock(c.read_roots, c.scratch, &result.error);
  if (abi < 0) return result;
  result.landlock_abi = abi;
  // Signals only to itself: the kernel's own scope does this from Landlock 6
  // on; before it, a filter that knows the process's id.
  if (LoadFilter(ConverterSyscallFilter(), &result.error) && abi < 6)
    LoadFilter(SelfSignalFilter(::getpid()), &result.error);
  return result;
}

}  // namespace quarn

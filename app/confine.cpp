#include "app/confine.h"

#include <fcntl.h>
#include <link.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

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

struct FilterRelease {
  void operator()(scmp_filter_ctx ctx) const { seccomp_release(ctx); }
};

using FilterContext = std::unique_ptr<std::remove_pointer_t<scmp_filter_ctx>, FilterRelease>;

// Adds "refuse with err" rules to ctx; counts the rules that could not be added.
struct Denier {
  scmp_filter_ctx ctx;
  int failed = 0;
  void operator()(int nr, int err, unsigned count = 0, const scmp_arg_cmp* cmp = nullptr) {
    const int rc = seccomp_rule_add_array(ctx, SCMP_ACT_ERRNO(static_cast<unsigned>(err)), nr, count, cmp);
    if (rc != 0 && rc != -EEXIST) ++failed;
  }
};

// Signals only to itself: the kernel's own scope does this from Landlock 6
// on; before it, a filter that knows the process's id.
bool ApplySignalFilter(std::string* error) {
  FilterContext ctx(seccomp_init(SCMP_ACT_ALLOW));
  if (!ctx) {
    *error = "cannot create the system-call filter";
    return false;
  }
  seccomp_attr_set(ctx.get(), SCMP_FLTATR_CTL_TSYNC, 1);
  Denier deny{ctx.get()};
  const scmp_arg_cmp other_process = SCMP_A0(SCMP_CMP_NE, static_cast<scmp_datum_t>(::getpid()));
  for (int nr : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)})
    deny(nr, EPERM, 1, &other_process);
  const int rc = deny.failed > 0 ? -EINVAL : seccomp_load(ctx.get());
  if (rc != 0) *error = std::string("cannot load the system-call filter: ") + std::strerror(-rc);
  return rc == 0;
}

bool LoadSyscallFilter(const std::string& program, std::string* error) {
  if (program.empty() || program.size() % sizeof(sock_filter) != 0 ||
      program.size() / sizeof(sock_filter) > BPF_MAXINSNS) {
    *error = "the system-call filter is missing";
    return false;
  }
  std::vector<sock_filter> code(program.size() / sizeof(sock_filter));
  std::memcpy(code.data(), program.data(), program.size());
  sock_fprog prog{static_cast<unsigned short>(code.size()), code.data()};
  // Every thread, as the sanitizers' own may already run.
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

std::string BuildSyscallFilter(std::string* error) {
  FilterContext ctx(seccomp_init(SCMP_ACT_ALLOW));
  if (!ctx) {
    *error = "cannot create the system-call filter";
    return {};
  }
  seccomp_attr_set(ctx.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
  Denier deny{ctx.get()};
  for (int nr : {SCMP_SYS(socket), SCMP_SYS(execve), SCMP_SYS(execveat)}) deny(nr, EACCES);
  // New processes: fork and vfork always; clone unless it makes a thread.
  // clone3 hides its flags from the filter, so it is reported missing and
  // the C library falls back to clone.
  deny(SCMP_SYS(fork), EPERM);
  deny(SCMP_SYS(vfork), EPERM);
  const scmp_arg_cmp not_thread = SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0);
  deny(SCMP_SYS(clone), EPERM, 1, &not_thread);
  deny(SCMP_SYS(clone3), ENOSYS);
  // Typing into a terminal.
  const scmp_arg_cmp sti = SCMP_A1(SCMP_CMP_EQ, TIOCSTI);
  deny(SCMP_SYS(ioctl), EPERM, 1, &sti);
  for (int nr : {SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev), SCMP_SYS(kcmp),
                 SCMP_SYS(pidfd_open), SCMP_SYS(pidfd_getfd), SCMP_SYS(pidfd_send_signal), SCMP_SYS(tkill),
                 SCMP_SYS(chmod), SCMP_SYS(fchmod), SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(fchown),
                 SCMP_SYS(lchown), SCMP_SYS(fchownat), SCMP_SYS(setxattr), SCMP_SYS(lsetxattr), SCMP_SYS(fsetxattr),
                 SCMP_SYS(removexattr), SCMP_SYS(lremovexattr), SCMP_SYS(fremovexattr), SCMP_SYS(utime),
                 SCMP_SYS(utimes), SCMP_SYS(futimesat), SCMP_SYS(utimensat), SCMP_SYS(mknod), SCMP_SYS(mknodat),
                 SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot), SCMP_SYS(setns),
                 SCMP_SYS(unshare), SCMP_SYS(mount_setattr), SCMP_SYS(open_tree), SCMP_SYS(move_mount),
                 SCMP_SYS(fsopen), SCMP_SYS(fsconfig), SCMP_SYS(fsmount), SCMP_SYS(fspick), SCMP_SYS(bpf),
                 SCMP_SYS(perf_event_open), SCMP_SYS(userfaultfd), SCMP_SYS(io_uring_setup),
                 SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register), SCMP_SYS(keyctl), SCMP_SYS(add_key),
                 SCMP_SYS(request_key), SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(delete_module),
                 SCMP_SYS(kexec_load), SCMP_SYS(kexec_file_load), SCMP_SYS(reboot), SCMP_SYS(swapon),
                 SCMP_SYS(swapoff), SCMP_SYS(acct), SCMP_SYS(quotactl), SCMP_SYS(syslog), SCMP_SYS(iopl),
                 SCMP_SYS(ioperm), SCMP_SYS(settimeofday), SCMP_SYS(clock_settime), SCMP_SYS(clock_adjtime),
                 SCMP_SYS(adjtimex), SCMP_SYS(sethostname), SCMP_SYS(setdomainname), SCMP_SYS(name_to_handle_at),
                 SCMP_SYS(open_by_handle_at), SCMP_SYS(vhangup)})
    deny(nr, EPERM);
  if (deny.failed > 0) {
    *error = "cannot build the system-call filter";
    return {};
  }
  // The program, as the kernel takes it.
  OwnedFd memory = Own(::memfd_create("quarn-filter", MFD_CLOEXEC));
  std::string program;
  if (*memory >= 0 && seccomp_export_bpf(ctx.get(), *memory) == 0) {
    const off_t size = ::lseek(*memory, 0, SEEK_END);
    program.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (::pread(*memory, program.data(), program.size(), 0) != static_cast<ssize_t>(program.size())) program.clear();
  }
  if (program.empty()) *error = "cannot build the system-call filter";
  return program;
}

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
  for (const std::filesystem::path& folder : Registry::StandardFolders()) roots.insert(folder.string());
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

ConfineResult Confine(const Confinement& c) {
  ConfineResult result;
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);  // a crash leaves no copy of the document's memory behind
  if (c.memory_limit > 0 && AddressSpaceLimitApplies()) {
    const std::uint64_t cap = MappedBytes() + c.memory_limit;
    const rlimit as{cap, cap};
    if (::setrlimit(RLIMIT_AS, &as) != 0) {
      result.error = std::string("cannot limit the memory: ") + std::strerror(errno);
      return result;
    }
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    result.error = std::string("cannot drop privileges: ") + std::strerror(errno);
    return result;
  }
  if (!DropCapabilities(&result.error)) return result;
  const int abi = ApplyLandlock(c.read_roots, c.scratch, &result.error);
  if (abi < 0) return result;
  result.landlock_abi = abi;
  if (LoadSyscallFilter(c.syscall_filter, &result.error) && abi < 6) ApplySignalFilter(&result.error);
  return result;
}

}  // namespace quarn

// Writes the converter's system-call filters (syscall_filters.h) as a C++
// source file, built with libseccomp when the program is built:
//   syscall_filter_gen OUTPUT.cpp
// The rules live here; the program carries only the programs they make.
#include <linux/filter.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "app/syscall_filters.h"

namespace {

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

// The program as the kernel takes it; empty on failure.
std::vector<sock_filter> Export(scmp_filter_ctx ctx) {
  std::vector<sock_filter> code;
  const int fd = ::memfd_create("quarn-filter", MFD_CLOEXEC);
  if (fd < 0) return code;
  if (seccomp_export_bpf(ctx, fd) == 0) {
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size > 0 && size % static_cast<off_t>(sizeof(sock_filter)) == 0) {
      code.resize(static_cast<std::size_t>(size) / sizeof(sock_filter));
      if (::pread(fd, code.data(), static_cast<std::size_t>(size), 0) != size) code.clear();
    }
  }
  ::close(fd);
  return code;
}

std::vector<sock_filter> ConverterRules() {
  FilterContext ctx(seccomp_init(SCMP_ACT_ALLOW));
  if (!ctx) return {};
  seccomp_attr_set(ctx.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
  // As a binary tree over the call numbers: the kernel, when the filter is
  // loaded, runs it once for every call to find those it always allows, and
  // a list of ninety comparisons made that a sixth of a millisecond at every
  // converter's start.
  seccomp_attr_set(ctx.get(), SCMP_FLTATR_CTL_OPTIMIZE, 2);
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
  return deny.failed > 0 ? std::vector<sock_filter>{} : Export(ctx.get());
}

// Signals only to the process itself, written for the placeholder process id.
std::vector<sock_filter> SignalRules() {
  FilterContext ctx(seccomp_init(SCMP_ACT_ALLOW));
  if (!ctx) return {};
  Denier deny{ctx.get()};
  const scmp_arg_cmp other_process = SCMP_A0(SCMP_CMP_NE, static_cast<scmp_datum_t>(quarn::kFilterPidPlaceholder));
  for (int nr : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)})
    deny(nr, EPERM, 1, &other_process);
  return deny.failed > 0 ? std::vector<sock_filter>{} : Export(ctx.get());
}

void WriteArray(std::ofstream& out, const char* name, const std::vector<sock_filter>& code) {
  out << "constexpr sock_filter " << name << "[] = {\n";
  for (const sock_filter& i : code) {
    char line[96];
    std::snprintf(line, sizeof line, "    {0x%04x, %u, %u, 0x%08xU},\n", i.code, i.jt, i.jf, i.k);
    out << line;
  }
  out << "};\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
    return 2;
  }
  const std::vector<sock_filter> converter = ConverterRules();
  const std::vector<sock_filter> signal = SignalRules();
  if (converter.empty() || signal.empty() || converter.size() > BPF_MAXINSNS || signal.size() > BPF_MAXINSNS) {
    std::fprintf(stderr, "syscall_filter_gen: cannot build the system-call filters\n");
    return 1;
  }
  // The placeholder may stand only where the argument is compared with it,
  // so that replacing it changes nothing else.
  std::vector<std::size_t> pid_slots;
  for (std::size_t i = 0; i < signal.size(); ++i) {
    if (signal[i].k != quarn::kFilterPidPlaceholder) continue;
    if (signal[i].code != (BPF_JMP | BPF_JEQ | BPF_K)) {
      std::fprintf(stderr, "syscall_filter_gen: unexpected use of the process id in the signal filter\n");
      return 1;
    }
    pid_slots.push_back(i);
  }
  if (pid_slots.empty()) {
    std::fprintf(stderr, "syscall_filter_gen: the signal filter does not compare the process id\n");
    return 1;
  }
  std::ofstream out(argv[1], std::ios::trunc);
  out << "// Made by syscall_filter_gen from libseccomp's rules; not to be edited.\n"
         "#include \"app/syscall_filters.h\"\n\n#include <iterator>\n\n"
         "namespace quarn {\n\nnamespace {\n\n";
  WriteArray(out, "kConverter", converter);
  out << "\n";
  WriteArray(out, "kSignal", signal);
  out << "\nconstexpr unsigned kPidSlots[] = {";
  for (std::size_t i = 0; i < pid_slots.size(); ++i) out << (i ? ", " : "") << pid_slots[i];
  out << "};\n\n}  // namespace\n\n"
         "std::span<const sock_filter> ConverterSyscallFilter() { return kConverter; }\n\n"
         "std::vector<sock_filter> SelfSignalFilter(pid_t self) {\n"
         "  std::vector<sock_filter> code(std::begin(kSignal), std::end(kSignal));\n"
         "  for (unsigned slot : kPidSlots) code[slot].k = static_cast<std::uint32_t>(self);\n"
         "  return code;\n"
         "}\n\n}  // namespace quarn\n";
  out.close();
  if (!out) {
    std::fprintf(stderr, "syscall_filter_gen: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}

// The system-call filters made when the program is built: the signal filter
// is written for a placeholder process id and must end up naming the process
// that loads it, and nothing else.
#include "app/syscall_filters.h"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <span>
#include <vector>

#include <gtest/gtest.h>

namespace quarn {
namespace {

bool Load(std::span<const sock_filter> code) {
  sock_fprog prog{static_cast<unsigned short>(code.size()), const_cast<sock_filter*>(code.data())};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
}

// Runs check in a child process under the filter; its exit status: 0 when
// every expectation held, the number of the first that failed otherwise.
int InChild(std::span<const sock_filter> code, int (*check)()) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(Load(code) ? check() : 100);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

// The process that made the child, for the checks run in it.
pid_t the_parent = 0;

TEST(SyscallFilters, SignalsReachOnlyTheProcessThatLoadedTheFilter) {
  the_parent = ::getpid();
  // The filter is made in the child: its id is known only after the fork.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!Load(SelfSignalFilter(::getpid()))) ::_exit(100);
    if (::kill(::getpid(), 0) != 0) ::_exit(1);
    if (::syscall(SYS_tgkill, ::getpid(), ::gettid(), 0) != 0) ::_exit(2);
    if (::kill(the_parent, 0) == 0 || errno != EPERM) ::_exit(3);
    if (::kill(-1, 0) == 0 || errno != EPERM) ::_exit(4);
    if (::kill(0, 0) == 0 || errno != EPERM) ::_exit(5);
    if (::syscall(SYS_tgkill, the_parent, the_parent, 0) == 0 || errno != EPERM) ::_exit(6);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SyscallFilters, TheConverterFilterRefusesNetworkAndPrograms) {
  const int status = InChild(ConverterSyscallFilter(), [] {
    if (::socket(AF_UNIX, SOCK_STREAM, 0) >= 0 || errno != EACCES) return 1;
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    if (::execv("/bin/true", argv) == 0 || errno != EACCES) return 2;
    if (::syscall(SYS_fork) >= 0 || errno != EPERM) return 3;
    return ::getpid() > 0 ? 0 : 4;  // what is not named stays allowed
  });
  EXPECT_EQ(status, 0);
}

// The filter is laid out as a search over call numbers: calls at both ends
// of the range and in between, and the rules that look at an argument, each
// answer as the rules say, and their neighbours stay allowed.
TEST(SyscallFilters, EveryRuleHoldsWhereverItsCallLiesInTheFilter) {
  const int status = InChild(ConverterSyscallFilter(), [] {
    if (::syscall(SYS_vfork) >= 0 || errno != EPERM) return 1;
    if (::syscall(SYS_ptrace, 0, 0, 0, 0) >= 0 || errno != EPERM) return 2;
    if (::syscall(SYS_bpf, 0, nullptr, 0) >= 0 || errno != EPERM) return 3;
    if (::syscall(SYS_io_uring_setup, 1, nullptr) >= 0 || errno != EPERM) return 4;
    if (::syscall(SYS_fchmodat, AT_FDCWD, "/nonexistent", 0) >= 0 || errno != EPERM) return 5;
    if (::syscall(SYS_mount, "none", "/nonexistent", "tmpfs", 0, nullptr) >= 0 || errno != EPERM) return 6;
    if (::syscall(SYS_clone3, nullptr, 0) >= 0 || errno != ENOSYS) return 7;
    // clone: a thread is made, a process is not.
    if (::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0) >= 0 || errno != EPERM) return 8;
    bool ran = false;
    std::thread([&ran] { ran = true; }).join();
    if (!ran) return 9;
    // ioctl: typing into the terminal is refused, asking about it is not.
    char c = 'x';
    if (::ioctl(STDIN_FILENO, TIOCSTI, &c) >= 0 || errno != EPERM) return 10;
    termios t{};
    if (::ioctl(STDIN_FILENO, TCGETS, &t) < 0 && errno == EPERM) return 11;
    // Allowed calls beside the refused ones, low and high numbers alike.
    if (::syscall(SYS_read, -1, nullptr, 0) >= 0 || errno != EBADF) return 12;
    if (::syscall(SYS_getppid) <= 0) return 13;
    if (::syscall(SYS_close_range, 1000000, 1000001, 0) != 0) return 14;
    if (::syscall(SYS_getrandom, &c, 1, 0) != 1) return 15;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace quarn

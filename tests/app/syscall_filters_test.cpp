// The system-call filters made when the program is built: the signal filter
// is written for a placeholder process id and must end up naming the process
// that loads it, and nothing else.
#include "app/syscall_filters.h"

#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace
}  // namespace quarn

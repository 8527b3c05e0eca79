#include "shell/execute.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#if !defined(QUARN_SITE_URL) || !defined(QUARN_VERSION)
#error "QUARN_SITE_URL and QUARN_VERSION must be defined by the build"
#endif

extern char** environ;

namespace quarn {
namespace {

constexpr double kSecondsPerDay = 86400.0;

// A moment as days in local time, so that a day boundary is the local
// midnight and a change to or from summer time moves it like the clock.
double LocalDays(double unix_seconds) {
  const std::time_t whole = static_cast<std::time_t>(std::floor(unix_seconds));
  std::tm local{};
  long offset = 0;
  if (::localtime_r(&whole, &local)) offset = local.tm_gmtoff;
  return (unix_seconds + static_cast<double>(offset)) / kSecondsPerDay;
}

double NowDays() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return LocalDays(static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9);
}

std::string ProgramFolder() {
  std::vector<char> buf(PATH_MAX + 1);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  std::string exe(buf.data(), static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

// The install moment in Unix seconds, and whether it is the start time (to
// which the 999 days are still to be taken).
struct InstallMoment {
  double seconds;
  bool is_start;
};

InstallMoment ComputeInstallMoment() {
  const std::string folder = ProgramFolder();
  struct stat st {};
  if (!folder.empty() && ::stat((folder + "uninstall.exe").c_str(), &st) == 0)
    return {static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9, false};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9, true};
}

// Fixed at the first call.  Only the moment is taken then: its conversion
// to local days, which reads the time zone, waits until a page needs it.
InstallMoment FixedInstallMoment() {
  static const InstallMoment moment = ComputeInstallMoment();
  return moment;
}

// Starts program with its arguments in a session of its own (so that the
// terminal's Ctrl-C does not reach the browser).  False when it cannot be
// started at all.  A thread of its own waits for the opener, which some
// desktops keep running as long as the browser, so that it leaves no zombie.
bool SpawnDetached(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) return false;
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  try {
    std::thread([pid] {
      int status;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // No thread for the wait: the opener is reaped when the program ends.
  }
  return true;
}

}  // namespace

std::string SiteUrl() { return QUARN_SITE_URL; }

void FixInstallDate() { FixedInstallMoment(); }

double InstallDate() {
  static const double date = [] {
    const InstallMoment m = FixedInstallMoment();
    return LocalDays(m.seconds) - (m.is_start ? 999.0 : 0.0);
  }();
  return date;
}

std::string SiteQueryForDays(double days_since_install) {
  return "?prd=quarn&v=" QUARN_VERSION "&d=" + std::to_string(static_cast<long long>(std::trunc(days_since_install)));
}

std::string SiteQuery() { return SiteQueryForDays(NowDays() - InstallDate()); }

void OpenDocument(const std::string& target) {
  if (SpawnDetached({"xdg-open", target})) return;
  SpawnDetached({"gio", "open", target});
}

std::string SitePageUrl(std::string_view page) { return SiteUrl() + std::string(page) + SiteQuery(); }

void OpenSitePage(std::string_view page) { OpenDocument(SitePageUrl(page)); }

}  // namespace quarn

// Runs a program of the build end to end, in a folder of the test's
// choosing, and returns its exit status and what it wrote.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quarn::testing {

struct RunResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out, err;
};

struct RunOptions {
  std::string cwd;           // where the program runs
  std::string path_prefix;   // put before $PATH when not empty
  std::string path_only;     // the whole of $PATH when not empty
  bool unprivileged = false; // run as the user "nobody" (when the tests run as root)
  std::vector<std::string> env;  // NAME=VALUE settings added to the environment
  std::string stdin_file;    // what standard input reads (default /dev/null)
  std::string stdout_file;   // where standard output goes (default: into RunResult::out)
  struct Limit {
    int resource;  // RLIMIT_...
    rlim_t soft;
    rlim_t hard;
  };
  std::vector<Limit> limits;  // resource limits the program starts under
};

inline std::string QuarnBinary() { return std::string(QUARN_BINARY_DIR) + "/bin/quarn"; }

inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const RunOptions& options) {
  char out_name[] = "/tmp/quarn-run-out-XXXXXX";
  char err_name[] = "/tmp/quarn-run-err-XXXXXX";
  const int out_fd = ::mkstemp(out_name);
  const int err_fd = ::mkstemp(err_name);
  RunResult result;
  if (out_fd < 0 || err_fd < 0) return result;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::string path = options.path_only;
  if (path.empty()) {
    const char* old = std::getenv("PATH");
    path = old ? old : "/usr/bin:/bin";
    if (!options.path_prefix.empty()) path = options.path_prefix + ":" + path;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(options.stdout_file.empty() ? out_fd : ::open(options.stdout_file.c_str(), O_WRONLY), STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    const int null_fd = ::open(options.stdin_file.empty() ? "/dev/null" : options.stdin_file.c_str(), O_RDONLY);
    ::dup2(null_fd, STDIN_FILENO);
    ::setenv("PATH", path.c_str(), 1);
    for (const std::string& setting : options.env) ::putenv(const_cast<char*>(setting.c_str()));
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    for (const RunOptions::Limit& l : options.limits) {
      const rlimit r{l.soft, l.hard};
      if (::setrlimit(l.resource, &r) != 0) ::_exit(126);
    }
    if (options.unprivileged && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid > 0) ::waitpid(pid, &status, 0);
  ::close(out_fd);
  ::close(err_fd);
  auto slurp = [](const char* name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  result.out = slurp(out_name);
  result.err = slurp(err_name);
  ::unlink(out_name);
  ::unlink(err_name);
  if (pid > 0 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

inline RunResult RunQuarn(const std::vector<std::string>& args, const RunOptions& options) {
  return RunProgram(QuarnBinary(), args, options);
}

}  // namespace quarn::testing

// The program's entry: the command line does its job without a window, or
// the window runs until it is closed.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "process/exit_code.h"
#include "app/confine.h"
#include "app/converter_process.h"
#include "app/main.h"
#include "app/signals.h"
#include "convert/charset.h"
#include "ui/run_window.h"
#include "shell/execute.h"

namespace {

// An error nobody caught, on any thread: say what it was and end with
// status 1 rather than an abort and a core dump.
[[noreturn]] void LastChance() {
  std::string what = "unexpected error";
  if (std::exception_ptr e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      what += ": ";
      what += x.what();
    } catch (...) {
    }
  }
  std::fprintf(stderr, "quarn: %s\n", what.c_str());
  std::fflush(stderr);
  ::_exit(quarn::Status(quarn::ExitCode::kFailed));
}

}  // namespace

int main(int argc, char** argv) {
  quarn::RunConverterProcessIfAsked(argc, argv);  // the program started as a converter ends there
  std::set_terminate(LastChance);
  quarn::RaiseOpenFileLimit();
  quarn::FailWritesPastTheFileSizeLimit();
  quarn::InstallCleanupHandlers();
  quarn::FixInstallDate();  // fixed when the program starts, before anything else runs
  quarn::UseEnvironmentCharacterSet();
  try {
    int status = quarn::Status(quarn::ExitCode::kOk);
    if (quarn::StartUp(quarn::CommandLineArguments(argc, argv), &status)) {
      status = RunWindow(argc, argv);
      quarn::ShutDown();
    }
    return quarn::FinishProgram(status);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quarn: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quarn: unexpected error\n");
  }
  return quarn::FinishProgram(quarn::Status(quarn::ExitCode::kFailed));
}

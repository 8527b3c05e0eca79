// Stands in for the window in a build without one.
#include <cstdio>

#include "process/exit_code.h"
#include "ui/run_window.h"

int RunWindow(int, char**) {
  std::fprintf(stderr,
               "quarn: this build has no window; name a file to convert, or see \"quarn --help\"\n");
  return quarn::Status(quarn::ExitCode::kUsage);
}

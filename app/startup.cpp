// The start and end of the program: reading the command line, the one-time
// set-up, the conversion without a window and the batch mode.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/batch.h"
#include "process/exit_code.h"
#include "app/main.h"
#include "process/process.h"
#include "shell/execute.h"

#ifndef QUARN_VERSION
#error "QUARN_VERSION must be defined by the build"
#endif

namespace quarn {
namespace {

constexpr const char* kUsage =
    "Usage: quarn FILE              write FILE's text beside it, extension \"txt\"\n"
    "       quarn FILE OUT          write FILE's text to OUT\n"
    "       quarn --batch PATH...   convert every document of the files and folders\n"
    "                               named (folders are walked), progress on standard error\n"
    "       quarn                   open the window (also with three or more arguments)\n"
    "       quarn /uninstall        open the uninstall feedback page\n"
    "       quarn -- FILE [OUT]     the same for a FILE whose name begins with \"--\"\n"
    "       quarn --help | --version\n"
    "\n"
    "Exit status:\n"
    "  0  the text was written (--batch: every document was written)\n"
    "  1  something failed: the input could not be read, the output could not be\n"
    "     created or written, or an unexpected error; the reason is on standard error\n"
    "  2  the command line was not understood, or this build has no window\n"
    "  3  no text could be extracted and nothing was written (--batch: some documents\n"
    "     had no text, none failed)\n";

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quarn: %s\n%s", why.c_str(), kUsage);
  return Status(ExitCode::kUsage);
}

// What stands in for the COM set-up: the registry of filters is read once,
// before any conversion, then the queue is made ready.
void InitialiseConversion() {
  InstallRegistry(Registry::LoadStandard());
  InitProcessing();
  SetFileConverter([](const std::string& path) { return ConvertFile(path, ""); });
}

int ConvertOne(const std::string& in, const std::string& out) {
  const ConvertResult r = ConvertFile(in, out);
  const std::string name = PrintablePath(in);
  switch (r.outcome) {
    case Outcome::kWritten:
      if (!r.reason.empty()) std::fprintf(stderr, "quarn: %s: %s\n", name.c_str(), r.reason.c_str());
      return Status(ExitCode::kOk);
    case Outcome::kSameFile:
      std::fprintf(stderr, "quarn: %s: %s; nothing written\n", name.c_str(), r.reason.c_str());
      return Status(ExitCode::kOk);
    case Outcome::kNoText:
      std::fprintf(stderr, "quarn: %s: no text: %s\n", name.c_str(), r.reason.c_str());
      return Status(ExitCode::kNoText);
    case Outcome::kFailed:
      break;
  }
  std::fprintf(stderr, "quarn: %s\n", r.reason.c_str());
  return Status(ExitCode::kFailed);
}

// One argument converts beside the input, two write to the second; none or
// three and more want the window.
bool StartClassic(const std::vector<std::string>& args, int* exit_status) {
  InitialiseConversion();
  if (args.size() != 1 && args.size() != 2) return true;
  *exit_status = ConvertOne(args[0], args.size() == 2 ? args[1] : std::string());
  DoneProcessing();
  return false;
}

// The options, read only when the first argument begins with "--".
bool StartWithOptions(const std::vector<std::string>& args, int* exit_status) {
  const std::string& option = args[0];
  if (option == "--") return StartClassic({args.begin() + 1, args.end()}, exit_status);
  if (option == "--help") {
    std::fputs(kUsage, stdout);
    *exit_status = Status(ExitCode::kOk);
    return false;
  }
  if (option == "--version") {
    std::printf("Velmor Quarn version %s\n", QUARN_VERSION);
    *exit_status = Status(ExitCode::kOk);
    return false;
  }
  if (option == "--batch") {
    std::vector<std::string> paths;
    bool options_ended = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (!options_ended && args[i] == "--") {
        options_ended = true;
      } else if (!options_ended && args[i].starts_with("--")) {
        *exit_status = UsageError("unknown option \"" + args[i] + "\"");
        return false;
      } else {
        paths.push_back(args[i]);
      }
    }
    if (paths.empty()) {
      *exit_status = UsageError("--batch needs at least one file or folder");
      return false;
    }
    InitialiseConversion();
    *exit_status = RunBatch(paths);
    DoneProcessing();
    return false;
  }
  *exit_status = UsageError("unknown option \"" + option + "\"");
  return false;
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc && argv[i] && argv[i][0] != '\0'; ++i) args.emplace_back(argv[i]);
  return args;
}

bool StartUp(const std::vector<std::string>& args, int* exit_status) {
  *exit_status = Status(ExitCode::kOk);
  // Case matters: "/UNINSTALL" is a file name.  Nothing else is set up.
  if (!args.empty() && args[0] == "/uninstall") {
    OpenSitePage(kPageUninstall);
    return false;
  }
  if (!args.empty() && args[0].starts_with("--")) return StartWithOptions(args, exit_status);
  return StartClassic(args, exit_status);
}

void ShutDown() { DoneProcessing(); }

int FinishProgram(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (WorkersAlive() > 0) ::_exit(status);
  return status;
}

}  // namespace quarn

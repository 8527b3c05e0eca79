// The start and end of the program: reading the command line, the one-time
// set-up, the conversion without a window and the batch mode.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/batch.h"
#include "process/exit_code.h"
#include "app/main.h"
#include "convert/conversion_options.h"
#include "convert/filters/module.h"
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
    "       quarn [OCR] FILE [OUT] | quarn --batch [OCR] PATH...\n"
    "         --ocr-lang LANGS      languages of pictures and scanned pages, as \"eng+deu\"\n"
    "                               (default: $QUARN_OCR_LANG, else \"eng\")\n"
    "         --no-ocr              no text recognition of pictures and scanned pages\n"
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
    "     had no text, none failed)\n"
    "  130, 143  --batch was stopped by SIGINT or SIGTERM (the summary says what was done)\n";

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quarn: %s\n%s", why.c_str(), kUsage);
  return Status(ExitCode::kUsage);
}

// The text recognition settings of the command line.
struct OcrChoice {
  ConversionOptions options;
  bool languages_named = false;  // by --ocr-lang or QUARN_OCR_LANG
};

OcrChoice DefaultOcrChoice() {
  OcrChoice c;
  c.options.ocr_languages = DefaultOcrLanguages();
  const char* env = std::getenv("QUARN_OCR_LANG");
  c.languages_named = env && *env;
  return c;
}

// Takes an OCR option at args[*i] ("--no-ocr", "--ocr-lang LANGS" or
// "--ocr-lang=LANGS"), moving *i past it.  False when args[*i] is none;
// *error is set when it is one but lacks its value.
bool TakeOcrOption(const std::vector<std::string>& args, std::size_t* i, OcrChoice* choice, std::string* error) {
  const std::string& a = args[*i];
  if (a == "--no-ocr") {
    choice->options.ocr = false;
    ++*i;
    return true;
  }
  std::string value;
  if (a == "--ocr-lang") {
    if (*i + 1 >= args.size() || args[*i + 1].empty()) {
      *error = "--ocr-lang needs a language list, as \"eng\" or \"eng+deu\"";
      return true;
    }
    value = args[*i + 1];
    *i += 2;
  } else if (a.starts_with("--ocr-lang=")) {
    value = a.substr(11);
    ++*i;
    if (value.empty()) {
      *error = "--ocr-lang needs a language list, as \"eng\" or \"eng+deu\"";
      return true;
    }
  } else {
    return false;
  }
  choice->options.ocr_languages = value;
  choice->languages_named = true;
  return true;
}

// Languages named by the user are checked once, before any document, so that
// a missing language package is one clear error rather than a failure per
// picture.  Empty when they are usable.
std::string CheckNamedLanguages(const OcrChoice& choice) {
  if (!choice.options.ocr || !choice.languages_named) return {};
  std::string why;
  const FilterModule* module = LoadFilterModule("image", &why);
  if (!module || !module->check_ocr_languages) return "text recognition is not available: " + why;
  return module->check_ocr_languages(choice.options.ocr_languages);
}

// What stands in for the COM set-up: the registry of filters is read once,
// before any conversion, the conversion settings are installed, then the
// queue is made ready.
void InitialiseConversion(const OcrChoice& choice = DefaultOcrChoice()) {
  SetConversionOptions(choice.options);
  InstallRegistry(Registry::LoadStandard());
  InitProcessing();
  // Each document's text file goes through the run's gate: a run never
  // replaces one of its own documents, nor the text file of another.
  SetGatedFileConverter([](const std::string& path, OutputGate& gate) { return ConvertFile(path, "", &gate); });
}

int ConvertOne(const std::string& in, const std::string& out) {
  const ConvertResult r = ConvertFile(in, out);
  const std::string name = PrintablePath(in);
  switch (r.outcome) {
    case Outcome::kWritten:
      if (!r.reason.empty()) std::fprintf(stderr, "quarn: %s: %s\n", name.c_str(), PrintablePath(r.reason).c_str());
      if (r.recognized_pages > 0)
        std::fprintf(stderr, "quarn: %s: text of %u %s read by OCR\n", name.c_str(), r.recognized_pages,
                     r.recognized_pages == 1 ? "page" : "pages");
      return Status(ExitCode::kOk);
    case Outcome::kSameFile:
      // Asked to write a document's text over the document itself: refused,
      // and that is a failure, not a conversion.
      std::fprintf(stderr, "quarn: %s: the output is the document itself; nothing written\n", name.c_str());
      return Status(ExitCode::kFailed);
    case Outcome::kNoText:
      std::fprintf(stderr, "quarn: %s: no text: %s\n", name.c_str(), PrintablePath(r.reason).c_str());
      return Status(ExitCode::kNoText);
    case Outcome::kFailed:
      break;
  }
  std::fprintf(stderr, "quarn: %s\n", PrintablePath(r.reason).c_str());
  return Status(ExitCode::kFailed);
}

// One argument converts beside the input, two write to the second; none or
// three and more want the window.
bool StartClassic(const std::vector<std::string>& args, int* exit_status) {
  if (args.size() != 1 && args.size() != 2) {
    InitialiseConversion();
    return true;
  }
  const OcrChoice choice = DefaultOcrChoice();
  if (std::string why = CheckNamedLanguages(choice); !why.empty()) {
    std::fprintf(stderr, "quarn: %s\n", why.c_str());
    *exit_status = Status(ExitCode::kFailed);
    return false;
  }
  InitialiseConversion(choice);
  *exit_status = ConvertOne(args[0], args.size() == 2 ? args[1] : std::string());
  DoneProcessing();
  return false;
}

// One document with OCR options before it: "--ocr-lang deu FILE [OUT]".
bool StartOneWithOcrOptions(const std::vector<std::string>& args, int* exit_status) {
  OcrChoice choice = DefaultOcrChoice();
  std::size_t i = 0;
  std::string error;
  while (i < args.size() && error.empty() && TakeOcrOption(args, &i, &choice, &error)) {
  }
  if (!error.empty()) {
    *exit_status = UsageError(error);
    return false;
  }
  if (i < args.size() && args[i] == "--") ++i;
  const std::size_t left = args.size() - i;
  if (left == 0 || left > 2) {
    *exit_status = UsageError(left == 0 ? "the OCR options need a FILE" : "too many arguments after the OCR options");
    return false;
  }
  if (left > 0 && args[i].starts_with("--") && (i == 0 || args[i - 1] != "--")) {
    *exit_status = UsageError("unknown option \"" + args[i] + "\"");
    return false;
  }
  if (std::string why = CheckNamedLanguages(choice); !why.empty()) {
    std::fprintf(stderr, "quarn: %s\n", why.c_str());
    *exit_status = Status(ExitCode::kFailed);
    return false;
  }
  InitialiseConversion(choice);
  *exit_status = ConvertOne(args[i], left == 2 ? args[i + 1] : std::string());
  DoneProcessing();
  return false;
}

// The options, read only when the first argument begins with "--".
bool StartWithOptions(const std::vector<std::string>& args, int* exit_status) {
  const std::string& option = args[0];
  if (option == "--") return StartClassic({args.begin() + 1, args.end()}, exit_status);
  if (option == "--no-ocr" || option == "--ocr-lang" || option.starts_with("--ocr-lang=")) {
    // "--ocr-lang eng --batch ..." reads as "--batch --ocr-lang eng ...".
    std::vector<std::string> rest = args;
    std::size_t i = 0;
    OcrChoice ignored;
    std::string error;
    while (i < rest.size() && error.empty() && TakeOcrOption(rest, &i, &ignored, &error)) {
    }
    if (error.empty() && i < rest.size() && rest[i] == "--batch") {
      rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
      rest.insert(rest.begin(), "--batch");
      return StartWithOptions(rest, exit_status);
    }
    return StartOneWithOcrOptions(args, exit_status);
  }
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
    OcrChoice choice = DefaultOcrChoice();
    bool options_ended = false;
    for (std::size_t i = 1; i < args.size();) {
      std::string error;
      if (!options_ended && args[i] == "--") {
        options_ended = true;
        ++i;
      } else if (!options_ended && TakeOcrOption(args, &i, &choice, &error)) {
        if (!error.empty()) {
          *exit_status = UsageError(error);
          return false;
        }
      } else if (!options_ended && args[i].starts_with("--")) {
        *exit_status = UsageError("unknown option \"" + args[i] + "\"");
        return false;
      } else {
        paths.push_back(args[i++]);
      }
    }
    if (paths.empty()) {
      *exit_status = UsageError("--batch needs at least one file or folder");
      return false;
    }
    if (std::string why = CheckNamedLanguages(choice); !why.empty()) {
      std::fprintf(stderr, "quarn: %s\n", why.c_str());
      *exit_status = Status(ExitCode::kFailed);
      return false;
    }
    InitialiseConversion(choice);
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

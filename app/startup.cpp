// The start and end of the program: reading the command line, the one-time
// set-up, the conversion without a window and the batch mode.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/converter_client.h"
#include "process/exit_code.h"
#include "app/main.h"
#include "convert/conversion_options.h"
#include "convert/filter.h"
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
    "       quarn [OPTIONS] FILE [OUT] | quarn --batch [OPTIONS] PATH... | quarn [OPTIONS]\n"
    "         --timeout SECONDS     give up a document after this long (default 300; 0: never)\n"
    "         --memory-limit SIZE   give up a document that needs more memory, as \"2G\" or\n"
    "                               \"512M\" (default the smaller of 4G and half the memory; 0: none)\n"
    "         --ocr-lang LANGS      languages of pictures and scanned pages, as \"eng+deu\"\n"
    "                               (default: $QUARN_OCR_LANG, else \"eng\")\n"
    "         --no-ocr              no text recognition of pictures and scanned pages\n"
    "       quarn                   open the window (also with three or more arguments)\n"
    "       quarn /uninstall        open the uninstall feedback page\n"
    "       quarn -- FILE [OUT]     the same for a FILE whose name begins with \"--\"\n"
    "       quarn --list-extensions\n"
    "                               list the file-name extensions a filter is registered\n"
    "                               for, one a line, plug-ins' registrations included\n"
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

ConversionOptions DefaultOptions() {
  ConversionOptions options;
  options.ocr_languages = DefaultOcrLanguages();
  return options;
}

bool DefaultLanguagesNamed() {
  const char* env = std::getenv("QUARN_OCR_LANG");
  return env && *env;
}

// The settings of a run that the command line may change.
struct RunChoices {
  ConversionOptions options = DefaultOptions();
  bool languages_named = DefaultLanguagesNamed();  // by --ocr-lang or QUARN_OCR_LANG
  ConverterLimits limits = DefaultConverterLimits();
  // Documents are read by converter processes.  The internal option that
  // turns it off exists to measure what isolation costs.
  bool isolated = true;
};

// Takes an OCR option at args[*i] ("--no-ocr", "--ocr-lang LANGS" or
// "--ocr-lang=LANGS"), moving *i past it.  False when args[*i] is none;
// *error is set when it is one but lacks its value.
bool TakeOcrOption(const std::vector<std::string>& args, std::size_t* i, RunChoices* choices, std::string* error) {
  const std::string& a = args[*i];
  if (a == "--no-ocr") {
    choices->options.ocr = false;
    ++*i;
    return true;
  }
  std::string value;
  if (a == "--ocr-lang") {
    if (*i + 1 < args.size()) value = args[*i + 1];
    *i += 2;
  } else if (a.starts_with("--ocr-lang=")) {
    value = a.substr(11);
    ++*i;
  } else {
    return false;
  }
  if (value.empty()) {
    *error = "--ocr-lang needs a language list, as \"eng\" or \"eng+deu\"";
    return true;
  }
  choices->options.ocr_languages = value;
  choices->languages_named = true;
  return true;
}

// Takes a limit option at args[*i] ("--timeout 60", "--timeout=60",
// "--memory-limit 2G", "--memory-limit=2G"), moving *i past it.  False when
// args[*i] is none; *error is set when it is one with a missing or bad value.
bool TakeRunOption(const std::vector<std::string>& args, std::size_t* i, RunChoices* choices, std::string* error) {
  if (TakeOcrOption(args, i, choices, error)) return true;
  const std::string& a = args[*i];
  if (a == "--internal-no-isolation") {
    choices->isolated = false;
    ++*i;
    return true;
  }
  std::string name, value;
  for (const char* option : {"--timeout", "--memory-limit"}) {
    const std::string o = option;
    if (a == o) {
      name = o;
      if (*i + 1 < args.size()) value = args[*i + 1];
      *i += 2;
    } else if (a.starts_with(o + "=")) {
      name = o;
      value = a.substr(o.size() + 1);
      *i += 1;
    }
  }
  if (name.empty()) return false;
  if (name == "--timeout") {
    if (const auto seconds = ParseSeconds(value)) {
      choices->limits.timeout = *seconds;
    } else {
      *error = "--timeout needs a number of seconds, as \"300\"";
    }
  } else if (const auto bytes = ParseSize(value)) {
    choices->limits.memory_bytes = *bytes;
  } else {
    *error = "--memory-limit needs a size, as \"4G\" or \"512M\"";
  }
  return true;
}

bool IsRunOption(const std::string& arg) {
  RunChoices ignored;
  std::size_t i = 0;
  std::string error;
  return TakeRunOption({arg}, &i, &ignored, &error);
}

ConverterSettings SettingsFor(const RunChoices& choices) {
  ConverterSettings settings;
  settings.limits = choices.limits;
  settings.options = EncodeConversionOptions(choices.options);
  // A long scan's pages may go to an idle worker's core: the converters see
  // the queue's count of idle workers.
  settings.spare_workers_fd = ShareSpareWorkers();
  return settings;
}

// Languages named by the user are checked once, before any document, so that
// a missing language package is one clear error rather than a failure per
// picture.  Empty when they are usable.
std::string CheckNamedLanguages(const RunChoices& choices) {
  if (!choices.options.ocr || !choices.languages_named) return {};
  std::string why;
  const FilterModule* module = LoadFilterModule("image", &why);
  if (!module || !module->check_ocr_languages) return "text recognition is not available: " + why;
  return module->check_ocr_languages(choices.options.ocr_languages);
}

// A run whose languages cannot be used ends before it starts.
bool LanguagesUsable(const RunChoices& choices, int* exit_status) {
  const std::string why = CheckNamedLanguages(choices);
  if (why.empty()) return true;
  std::fprintf(stderr, "quarn: %s\n", why.c_str());
  *exit_status = Status(ExitCode::kFailed);
  return false;
}

// What stands in for the COM set-up: the registry of filters is read once,
// before any conversion, then the queue is made ready.  Each worker reads its
// documents through a converter process of its own, started on its first
// document and kept until it ends.
void InitialiseConversion(const RunChoices& choices = {}) {
  SetConversionOptions(choices.options);
  InstallRegistry(Registry::LoadStandard());
  InitProcessing();
  // Each document's text file goes through the run's gate: a run never
  // replaces one of its own documents, nor the text file of another.
  if (!choices.isolated) {
    SetGatedFileConverter([](const std::string& path, OutputGate& gate) { return ConvertFile(path, "", &gate); });
    return;
  }
  ConverterSettings settings = SettingsFor(choices);
  settings.requested_paths = RequestedPaths;
  SetFileConverterFactory([settings](StopQuery stop_requested) -> GatedFileConverter {
    auto client = std::make_shared<ConverterClient>(settings, std::move(stop_requested));
    return [client](const std::string& path, OutputGate& gate) {
      return ConvertFile(
          path, "", [&client](const DocumentInput& input) { return client->Read(input); }, &gate);
    };
  });
}

int ConvertOne(const std::string& in, const std::string& out, const RunChoices& choices = {}) {
  ConvertResult r;
  if (choices.isolated) {
    // The program has one thread here, so the converter is forked rather
    // than started again: it finds the registry read and its set-up made,
    // and costs a fork instead of a second start of the program.
    ConverterSettings settings = SettingsFor(choices);
    settings.fork_without_exec = true;
    ConverterClient converter(settings);
    r = ConvertFile(in, out, [&converter](const DocumentInput& input) { return converter.Read(input); });
  } else {
    r = ConvertFile(in, out);
  }
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
bool StartClassic(const std::vector<std::string>& args, int* exit_status, const RunChoices& choices = {}) {
  if (args.size() == 1 || args.size() == 2) {
    if (!LanguagesUsable(choices, exit_status)) return false;
  }
  InitialiseConversion(choices);
  if (args.size() != 1 && args.size() != 2) return true;
  *exit_status = ConvertOne(args[0], args.size() == 2 ? args[1] : std::string(), choices);
  DoneProcessing();
  return false;
}

bool StartBatch(const std::vector<std::string>& args, int* exit_status, RunChoices choices);

// Limits before the rest: "--timeout 60 FILE [OUT]", "--timeout 60 --batch
// PATH..." or "--timeout 60" alone for the window.
bool StartWithRunOptions(const std::vector<std::string>& args, int* exit_status) {
  RunChoices choices;
  std::size_t i = 0;
  std::string error;
  while (i < args.size() && error.empty() && TakeRunOption(args, &i, &choices, &error)) {
  }
  if (!error.empty()) {
    *exit_status = UsageError(error);
    return false;
  }
  if (i < args.size() && args[i] == "--batch") return StartBatch({args.begin() + i, args.end()}, exit_status, choices);
  if (i < args.size() && args[i] == "--") {
    ++i;
  } else if (i < args.size() && args[i].starts_with("--")) {
    *exit_status = UsageError("unknown option \"" + args[i] + "\"");
    return false;
  }
  return StartClassic({args.begin() + i, args.end()}, exit_status, choices);
}

// "--batch [LIMITS] PATH...": limits may come anywhere before "--".
bool StartBatch(const std::vector<std::string>& args, int* exit_status, RunChoices choices) {
  std::vector<std::string> paths;
  bool options_ended = false;
  for (std::size_t i = 1; i < args.size();) {
    std::string error;
    if (!options_ended && args[i] == "--") {
      options_ended = true;
      ++i;
    } else if (!options_ended && TakeRunOption(args, &i, &choices, &error)) {
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
  if (!LanguagesUsable(choices, exit_status)) return false;
  InitialiseConversion(choices);
  *exit_status = RunBatch(paths);
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
  if (option == "--list-extensions") {
    for (const std::string& ext : RegisteredExtensions(Registry::LoadStandard()))
      std::printf("%s\n", ext.c_str() + 1);
    *exit_status = Status(ExitCode::kOk);
    return false;
  }
  if (option == "--batch") return StartBatch(args, exit_status, RunChoices{});
  if (IsRunOption(option)) return StartWithRunOptions(args, exit_status);
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

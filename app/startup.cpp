// The start and end of the program: reading the command line, the one-time
// set-up, the conversion without a window and the batch mode.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/batch.h"
#include "app/converter_client.h"
#include "app/output_plan.h"
#include "process/exit_code.h"
#include "app/main.h"
#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "convert/filters/module.h"
#include "libquarn/library.h"
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
    "       quarn FILE -  |  quarn [OPTIONS] --stdout FILE\n"
    "                               write FILE's text to standard output\n"
    "       quarn --batch [OPTIONS] [BATCH OPTIONS] PATH...\n"
    "         --jsonl               one JSON object a line on standard output for each\n"
    "                               document as it ends (the fields are in the README)\n"
    "         --files-from LIST     convert the paths in the file LIST too, one a line\n"
    "                               (\"-\": standard input); PATH may then be left out\n"
    "         -0                    the paths in LIST end with a NUL byte, not a line end\n"
    "         --update              leave alone a document whose text file is newer\n"
    "         --output-dir DIR      write the text files under DIR, at each document's\n"
    "                               path below the file or folder named for it\n"
    "         --jobs N              convert N documents at once (default 2; 1 to 256)\n"
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
    "  130, 143, 141  --batch was stopped by SIGINT, SIGTERM or SIGPIPE (its output no\n"
    "     longer read); the summary says what was done\n";

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

// The settings of a command line's batch beyond those of every run.
struct BatchChoices {
  BatchOptions report;
  bool update = false;
  std::string output_dir;
  std::string files_from;  // empty: none
  bool nul_separated = false;
};

// The number of --jobs: digits only, 1 to kMaxWorkers.
std::optional<int> ParseJobs(const std::string& value) {
  if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int n = std::stoi(value);
  if (n < 1 || n > kMaxWorkers) return std::nullopt;
  return n;
}

// Takes a batch option at args[*i], moving *i past it.  False when args[*i]
// is none; *error is set when it is one with a missing value.
bool TakeBatchOption(const std::vector<std::string>& args, std::size_t* i, BatchChoices* batch, std::string* error) {
  const std::string& a = args[*i];
  if (a == "--jobs" || a.starts_with("--jobs=")) {
    std::string value;
    if (a == "--jobs") {
      if (*i + 1 < args.size()) value = args[*i + 1];
      *i += 2;
    } else {
      value = a.substr(7);
      ++*i;
    }
    if (const std::optional<int> jobs = ParseJobs(value)) {
      batch->report.jobs = *jobs;
    } else {
      *error = "--jobs needs a number of documents to convert at once, from 1 to " + std::to_string(kMaxWorkers) +
               ", as \"4\"";
    }
    return true;
  }
  if (a == "--jsonl" || a == "--update" || a == "-0") {
    if (a == "--jsonl") batch->report.jsonl = true;
    if (a == "--update") batch->update = true;
    if (a == "-0") batch->nul_separated = true;
    ++*i;
    return true;
  }
  for (auto [option, target] : {std::pair{"--files-from", &batch->files_from}, {"--output-dir", &batch->output_dir}}) {
    const std::string o = option;
    std::string value;
    if (a == o) {
      if (*i + 1 < args.size()) value = args[*i + 1];
      *i += 2;
    } else if (a.starts_with(o + "=")) {
      value = a.substr(o.size() + 1);
      ++*i;
    } else {
      continue;
    }
    if (value.empty()) *error = o + (o == "--files-from" ? " needs a file (\"-\": standard input)" : " needs a folder");
    *target = value;
    return true;
  }
  return false;
}

// Adds the paths listed in the file from ("-": standard input) to *paths:
// one a line, or each ended by a NUL byte; empty entries are left out.
// Empty, or why the list could not be read.
std::string ReadPathList(const std::string& from, bool nul_separated, PathList* paths) {
  const int fd = from == "-" ? STDIN_FILENO : ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot read the list \"" + PrintablePath(from) + "\": " + std::strerror(errno);
  const char end = nul_separated ? '\0' : '\n';
  // Read a piece at a time: the list is kept once, packed, never whole as read.
  std::string partial;  // an entry that goes on in the next piece
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      if (fd != STDIN_FILENO) ::close(fd);
      return "cannot read the list \"" + PrintablePath(from) + "\": " + std::strerror(err);
    }
    const std::string_view piece(buf, static_cast<std::size_t>(n));
    for (std::size_t at = 0; at < piece.size();) {
      const std::size_t next = piece.find(end, at);
      if (next == std::string_view::npos) {
        partial.append(piece.substr(at));
        break;
      }
      partial.append(piece.substr(at, next - at));
      // A line of a list that is not NUL-separated may hold a NUL, which no
      // path can: the path ends there, as a C string would.
      if (!partial.empty()) paths->Add(std::string_view(partial.c_str()));
      partial.clear();
      at = next + 1;
    }
  }
  if (fd != STDIN_FILENO) ::close(fd);
  if (!partial.empty()) paths->Add(std::string_view(partial.c_str()));
  return {};
}

// One document's conversion in a batch: its text file where the plan says,
// or nothing when the plan finds it up to date.
ConvertResult ConvertPlanned(const OutputPlan* plan, const std::string& path, const DocumentReader& read,
                             OutputGate& gate) {
  if (!plan) return ConvertFile(path, "", read, &gate);
  std::string why;
  const std::string out = plan->OutputFor(path, &why);
  if (out.empty()) return ConvertResult::Failed(why);
  // A text file held by another document is that document's; but a file no
  // filter reads has no claim on it and says so, whichever came first.
  if (std::optional<ConvertResult> skipped = plan->UpToDate(path, out, gate.DocumentState());
      skipped && (skipped->outcome != Outcome::kFailed || HasFilterFor(InstalledRegistry(), path)))
    return *skipped;
  if (std::string why = plan->MakeFolders(out); !why.empty()) return ConvertResult::Failed(why);
  return ConvertFile(path, out, read, &gate);
}

// What stands in for the COM set-up: the registry of filters is read once,
// before any conversion, then the queue is made ready.  Each worker reads its
// documents through a converter process of its own, started on its first
// document and kept until it ends.
void InitialiseConversion(const RunChoices& choices = {}, std::shared_ptr<const OutputPlan> plan = nullptr) {
  SetConversionOptions(choices.options);
  InstallRegistry(Registry::LoadStandard());
  InitProcessing();
  // Each document's text file goes through the run's gate: a run never
  // replaces one of its own documents, nor the text file of another.
  if (!choices.isolated) {
    SetGatedFileConverter([plan](const std::string& path, OutputGate& gate) {
      return ConvertPlanned(
          plan.get(), path, [](const DocumentInput& input) { return ReadDocument(InstalledRegistry(), input.path); },
          gate);
    });
    return;
  }
  ConverterSettings settings = SettingsFor(choices);
  settings.requested_folders = [](std::size_t from) { return RequestedFolders(from); };
  settings.next_paths = NextPaths;
  SetFileConverterFactory([settings, plan](StopQuery stop_requested) -> GatedFileConverter {
    auto client = std::make_shared<ConverterClient>(settings, std::move(stop_requested));
    return [client, plan](const std::string& path, OutputGate& gate) {
      return ConvertPlanned(
          plan.get(), path, [&client](const DocumentInput& input) { return client->Read(input); }, gate);
    };
  });
}

// The run's choices as the library's options; they point into choices.
quarn_options LibraryOptions(const RunChoices& choices) {
  quarn_options options;
  quarn_options_init(&options);
  options.timeout_seconds = static_cast<unsigned long>(choices.limits.timeout.count());
  options.memory_limit = choices.limits.memory_bytes;
  options.ocr = choices.options.ocr;
  options.ocr_languages = choices.options.ocr_languages.c_str();
  return options;
}

// out "-": the text goes to standard output.  The document goes through the
// library's conversion, as a program that embeds it would convert it.
int ConvertOne(const std::string& in, const std::string& out, const RunChoices& choices = {}) {
  CallRoute route;
  // The program has one thread here, so the converter is forked rather
  // than started again: it finds the registry read and its set-up made,
  // and costs a fork instead of a second start of the program.
  route.fork_converter = true;
  if (!choices.isolated)
    route.reader = [](const DocumentInput& input) { return ReadDocument(InstalledRegistry(), input.path); };
  else
    route.read_here = [](const DocumentInput& input) { return ReadOwnPlainText(InstalledRegistry(), input); };
  if (out == "-") route.out_fd = STDOUT_FILENO;
  const quarn_options options = LibraryOptions(choices);
  quarn_result r;
  ConvertDocument(in.c_str(), out.c_str(), &options, &r, route);
  const std::unique_ptr<quarn_result, void (*)(quarn_result*)> owned(&r, quarn_result_free);
  const std::string name = PrintablePath(in);
  const std::string reason = r.reason ? PrintablePath(r.reason) : std::string("out of memory");
  switch (r.outcome) {
    case QUARN_WRITTEN:
      if (!reason.empty()) std::fprintf(stderr, "quarn: %s: %s\n", name.c_str(), reason.c_str());
      if (r.ocr_pages > 0)
        std::fprintf(stderr, "quarn: %s: text of %lu %s read by OCR\n", name.c_str(), r.ocr_pages,
                     r.ocr_pages == 1 ? "page" : "pages");
      return Status(ExitCode::kOk);
    case QUARN_NO_TEXT:
      std::fprintf(stderr, "quarn: %s: no text: %s\n", name.c_str(), reason.c_str());
      return Status(ExitCode::kNoText);
    default:
      std::fprintf(stderr, "quarn: %s\n", reason.c_str());
      return Status(ExitCode::kFailed);
  }
}

// One argument converts beside the input, two write to the second; none or
// three and more want the window.
bool StartClassic(const std::vector<std::string>& args, int* exit_status, const RunChoices& choices = {}) {
  if (args.size() != 1 && args.size() != 2) {
    InitialiseConversion(choices);
    return true;
  }
  if (!LanguagesUsable(choices, exit_status)) return false;
  // One document goes by the library's route alone: the queue and its
  // workers, which it never uses, are not made.
  SetConversionOptions(choices.options);
  InstallRegistry(Registry::LoadStandard());
  *exit_status = ConvertOne(args[0], args.size() == 2 ? args[1] : std::string(), choices);
  return false;
}

bool StartBatch(const std::vector<std::string>& args, int* exit_status, RunChoices choices);

// "--stdout FILE": FILE's text on standard output.
bool StartToStdout(const std::vector<std::string>& args, int* exit_status, const RunChoices& choices = {}) {
  if (args.size() != 2) {
    *exit_status = UsageError("--stdout needs one file");
    return false;
  }
  return StartClassic({args[1], "-"}, exit_status, choices);
}

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
  if (i < args.size() && args[i] == "--stdout") return StartToStdout({args.begin() + i, args.end()}, exit_status, choices);
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
  BatchChoices batch;
  bool options_ended = false;
  for (std::size_t i = 1; i < args.size();) {
    std::string error;
    if (!options_ended && args[i] == "--") {
      options_ended = true;
      ++i;
    } else if (!options_ended &&
               (TakeRunOption(args, &i, &choices, &error) || TakeBatchOption(args, &i, &batch, &error))) {
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
  if (paths.empty() && batch.files_from.empty()) {
    *exit_status = UsageError("--batch needs at least one file or folder");
    return false;
  }
  if (batch.nul_separated && batch.files_from.empty()) {
    *exit_status = UsageError("-0 goes with --files-from");
    return false;
  }
  // The command line's paths first, then the list's.
  PathList all;
  for (const std::string& p : paths) all.Add(p);
  if (!batch.files_from.empty()) {
    if (std::string why = ReadPathList(batch.files_from, batch.nul_separated, &all); !why.empty()) {
      std::fprintf(stderr, "quarn: %s\n", why.c_str());
      *exit_status = Status(ExitCode::kFailed);
      return false;
    }
  }
  if (!LanguagesUsable(choices, exit_status)) return false;
  std::shared_ptr<const OutputPlan> plan;
  if (batch.update || !batch.output_dir.empty())
    plan = std::make_shared<const OutputPlan>(batch.output_dir, all, paths.size(), batch.update);
  InitialiseConversion(choices, plan);
  *exit_status = RunBatch(std::move(all), batch.report);
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
  if (option == "--stdout") return StartToStdout(args, exit_status);
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

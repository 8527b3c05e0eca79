#include "libquarn/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "app/converter_client.h"
#include "app/converter_limits.h"
#include "convert/conversion_options.h"

#ifndef QUARN_VERSION
#error "QUARN_VERSION must be defined by the build"
#endif
#ifndef QUARN_LIBRARY_TO_PROGRAM
#error "QUARN_LIBRARY_TO_PROGRAM must be defined by the build"
#endif
#ifndef QUARN_INSTALLED_PROGRAM
#error "QUARN_INSTALLED_PROGRAM must be defined by the build"
#endif

namespace quarn {
namespace {

std::string ParentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The quarn program installed with this library: found from where the
// library itself lies (the same relative place in the build tree and in any
// installation), else where the build meant to install it.
std::string InstalledProgram() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&quarn_convert_file), &info) != 0 && info.dli_fname && *info.dli_fname) {
    char real[PATH_MAX];
    if (::realpath(info.dli_fname, real)) {
      const std::string program = ParentFolder(real) + "/" + QUARN_LIBRARY_TO_PROGRAM;
      if (::access(program.c_str(), X_OK) == 0) return program;
    }
  }
  return QUARN_INSTALLED_PROGRAM;
}

// The caller's settings: the first options->size bytes of its struct, the
// defaults for the fields its header did not have yet.
quarn_options Effective(const quarn_options* given) {
  quarn_options o;
  quarn_options_init(&o);
  if (given) std::memcpy(&o, given, std::min(given->size, sizeof o));
  o.size = sizeof o;
  return o;
}

ConverterSettings SettingsFor(const quarn_options& o, const CallRoute& route, std::string* why) {
  ConverterSettings settings;
  settings.limits.timeout = std::chrono::seconds(o.timeout_seconds);
  settings.limits.memory_bytes = o.memory_limit;
  ConversionOptions conversion;
  conversion.ocr = o.ocr != 0;
  conversion.ocr_languages = o.ocr_languages && *o.ocr_languages ? o.ocr_languages : DefaultOcrLanguages();
  settings.options = EncodeConversionOptions(conversion);
  settings.fork_without_exec = route.fork_converter;
  if (!route.fork_converter) {
    settings.program = o.converter && *o.converter ? o.converter : InstalledProgram();
    if (::access(settings.program.c_str(), X_OK) != 0) {
      *why = "cannot start the converter \"" + settings.program + "\": " + std::strerror(errno);
      return settings;
    }
    // The converter reads its own installation (registry, filter modules,
    // libraries) wherever that lies, even when the host's is elsewhere.
    const std::string prefix = ParentFolder(ParentFolder(settings.program));
    settings.requested_folders = [prefix](std::size_t from) {
      return from == 0 ? std::vector<std::string>{prefix} : std::vector<std::string>{};
    };
  }
  return settings;
}

ConvertResult Convert(const std::string& path, const char* out, const quarn_options& options, const CallRoute& route,
                      std::string* text) {
  std::optional<ConverterClient> converter;
  ConverterSettings settings;
  DocumentReader read = route.reader;
  if (!read) {
    std::string why;
    settings = SettingsFor(options, route, &why);
    if (!why.empty()) return ConvertResult::Failed(why);
    read = [&](const DocumentInput& input) -> DocumentText {
      if (route.read_here)
        if (std::optional<DocumentText> here = route.read_here(input)) return std::move(*here);
      if (!converter) converter.emplace(std::move(settings));
      return converter->Read(input);
    };
  }
  if (route.to_memory) return ConvertToText(path, read, text);
  if (route.out_fd >= 0) return ConvertToStream(path, route.out_fd, read);
  return ConvertFile(path, out ? out : "", read);
}

// A copy of s that the result owns (NULL when memory ran out).
char* Owned(const std::string& s) {
  char* copy = static_cast<char*>(std::malloc(s.size() + 1));
  if (copy) {
    std::memcpy(copy, s.data(), s.size());
    copy[s.size()] = '\0';
  }
  return copy;
}

int OutcomeOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kWritten: return QUARN_WRITTEN;
    case Outcome::kNoText: return QUARN_NO_TEXT;
    case Outcome::kSkipped: return QUARN_SKIPPED;
    case Outcome::kSameFile:
    case Outcome::kFailed: break;
  }
  return QUARN_FAILED;
}

void Fill(const std::string& path, const ConvertResult& r, std::string* text, quarn_result* result) {
  result->outcome = OutcomeOf(r.outcome);
  // Writing a document's text over the document itself is refused, and
  // that is a failure, not a conversion.
  result->reason = Owned(r.outcome == Outcome::kSameFile ? path + ": " + kSameFileReason : r.reason);
  if (r.written() && !r.output.empty()) result->output = Owned(r.output);
  if (!r.reader.empty()) result->filter = Owned(r.reader);
  result->input_bytes = r.input_bytes;
  result->text_chars = r.text_chars;
  result->pages = r.pages;
  result->ocr_pages = r.recognized_pages;
  if (r.written() && text) {
    result->text = Owned(*text);
    if (result->text) {
      result->text_size = text->size();
    } else {
      result->outcome = QUARN_FAILED;
      std::free(result->reason);
      result->reason = Owned("out of memory for the text of \"" + path + "\"");
    }
  }
}

}  // namespace

int ConvertDocument(const char* path, const char* out, const quarn_options* options, quarn_result* result,
                    const CallRoute& route) {
  if (!result) return QUARN_FAILED;
  std::memset(result, 0, sizeof *result);
  result->outcome = QUARN_FAILED;
  result->pages = -1;
  const auto start = std::chrono::steady_clock::now();
  try {
    if (!path || !*path) {
      Fill("", ConvertResult::Failed("no document named"), nullptr, result);
    } else {
      std::string text;
      const std::string name = path;
      const ConvertResult r = Convert(name, out, Effective(options), route, &text);
      Fill(name, r, route.to_memory ? &text : nullptr, result);
    }
  } catch (const std::exception& e) {
    quarn_result_free(result);
    result->outcome = QUARN_FAILED;
    result->reason = Owned(std::string("unexpected error: ") + e.what());
  } catch (...) {
    quarn_result_free(result);
    result->outcome = QUARN_FAILED;
    result->reason = Owned("unexpected error");
  }
  result->milliseconds = static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  return result->outcome;
}

}  // namespace quarn

extern "C" {

void quarn_options_init(quarn_options* options) {
  if (!options) return;
  std::memset(options, 0, sizeof *options);
  options->size = sizeof *options;
  const quarn::ConverterLimits limits = quarn::DefaultConverterLimits();
  options->timeout_seconds = static_cast<unsigned long>(limits.timeout.count());
  options->memory_limit = limits.memory_bytes;
  options->ocr = 1;
}

int quarn_convert_file(const char* path, const char* out, const quarn_options* options, quarn_result* result) {
  return quarn::ConvertDocument(path, out, options, result, {});
}

int quarn_convert_to_memory(const char* path, const quarn_options* options, quarn_result* result) {
  quarn::CallRoute route;
  route.to_memory = true;
  return quarn::ConvertDocument(path, nullptr, options, result, route);
}

void quarn_result_free(quarn_result* result) {
  if (!result) return;
  for (char** s : {&result->reason, &result->output, &result->filter, &result->text}) {
    std::free(*s);
    *s = nullptr;
  }
  result->text_size = 0;
}

const char* quarn_outcome_name(int outcome) {
  switch (outcome) {
    case QUARN_WRITTEN: return "written";
    case QUARN_NO_TEXT: return "no_text";
    case QUARN_FAILED: return "failed";
    case QUARN_SKIPPED: return "skipped";
    default: return nullptr;
  }
}

const char* quarn_version(void) { return QUARN_VERSION; }

}  // extern "C"

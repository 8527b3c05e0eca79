#include "convert/filters/builtin.h"

#include <array>

#include "convert/filters/doc_filter.h"
#include "convert/filters/eml_filter.h"
#include "convert/filters/ppt_filter.h"
#include "convert/filters/text_filter.h"
#include "convert/filters/xls_filter.h"

namespace quarn {

namespace {

// Class ids: {5155524E-F0xx-...} create a filter, {5155524E-A0xx-...} are the
// persistent handlers that extensions point to.  Never reuse a number.
constexpr std::string_view kTextExtensions[] = {
    ".txt", ".text", ".log", ".csv", ".tsv", ".md", ".markdown", ".rst", ".ini", ".cfg", ".conf",
    ".json", ".yaml", ".yml", ".sql", ".tex", ".c", ".h", ".cc", ".cpp", ".cxx", ".hpp", ".hh",
    ".java", ".js", ".ts", ".py", ".rb", ".pl", ".pm", ".php", ".sh", ".bash", ".go", ".rs", ".cs",
    ".swift", ".kt", ".lua", ".r", ".m", ".css", ".bat", ".ps1", ".properties", ".toml", ".srt",
};
constexpr std::string_view kDocExtensions[] = {".doc", ".dot"};
constexpr std::string_view kXlsExtensions[] = {".xls", ".xlt"};
constexpr std::string_view kPptExtensions[] = {".ppt", ".pps", ".pot"};
constexpr std::string_view kEmlExtensions[] = {".eml", ".msg"};

const std::array kFilters = {
    BuiltinFilterInfo{"text", "{5155524E-F001-4000-8000-000000000001}", "{5155524E-A001-4000-8000-000000000001}",
                      kTextExtensions, CreateTextFilter},
    BuiltinFilterInfo{"doc", "{5155524E-F00B-4000-8000-00000000000B}", "{5155524E-A00B-4000-8000-00000000000B}",
                      kDocExtensions, CreateDocFilter},
    BuiltinFilterInfo{"xls", "{5155524E-F00C-4000-8000-00000000000C}", "{5155524E-A00C-4000-8000-00000000000C}",
                      kXlsExtensions, CreateXlsFilter},
    BuiltinFilterInfo{"ppt", "{5155524E-F00D-4000-8000-00000000000D}", "{5155524E-A00D-4000-8000-00000000000D}",
                      kPptExtensions, CreatePptFilter},
    BuiltinFilterInfo{"eml", "{5155524E-F00E-4000-8000-00000000000E}", "{5155524E-A00E-4000-8000-00000000000E}",
                      kEmlExtensions, CreateEmlFilter},
};

}  // namespace

std::span<const BuiltinFilterInfo> BuiltinFilters() { return kFilters; }

const BuiltinFilterInfo* FindBuiltinFilter(std::string_view name) {
  for (const BuiltinFilterInfo& f : kFilters)
    if (f.name == name) return &f;
  return nullptr;
}

ExtractResult ExtractWithBuiltin(std::string_view name, const std::string& path, TextSink& sink) {
  const BuiltinFilterInfo* info = FindBuiltinFilter(name);
  if (!info) return ExtractResult::Failed("no built-in filter \"" + std::string(name) + "\"");
  return info->create()->Extract(path, sink);
}

}  // namespace quarn

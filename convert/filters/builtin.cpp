#include "convert/filters/builtin.h"

#include <array>

#include "convert/filters/rtf_filter.h"
#include "convert/filters/text_filter.h"
#include "convert/filters/xml_filter.h"

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

constexpr std::string_view kRtfExtensions[] = {".rtf"};
constexpr std::string_view kXmlExtensions[] = {".xml"};

const std::array kFilters = {
    BuiltinFilterInfo{"text", "{5155524E-F001-4000-8000-000000000001}", "{5155524E-A001-4000-8000-000000000001}",
                      kTextExtensions, CreateTextFilter},
    BuiltinFilterInfo{"rtf", "{5155524E-F009-4000-8000-000000000009}", "{5155524E-A009-4000-8000-000000000009}",
                      kRtfExtensions, CreateRtfFilter},
    BuiltinFilterInfo{"xml", "{5155524E-F00A-4000-8000-00000000000A}", "{5155524E-A00A-4000-8000-00000000000A}",
                      kXmlExtensions, CreateXmlFilter},
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

// The table of built-in format filters: every built-in filter is listed here
// once, with the class id it is created by, the persistent handler that the
// compiled-in registry maps its extensions to, and those extensions.  Read by
// the registry (to compile the registrations in) and by the filter host (to
// create a built-in named "builtin:<name>" by InprocServer32).  Immutable.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

struct BuiltinFilterInfo {
  std::string_view name;        // InprocServer32 names it "builtin:" + name
  std::string_view class_id;    // braced, upper-case
  std::string_view handler_id;  // the persistent handler, braced, upper-case
  std::span<const std::string_view> extensions;  // with their dot, lower case
  // Filters of the program itself are created directly; the others live in
  // a filter module, loaded on first use (see module.h).
  std::unique_ptr<BuiltinFilter> (*create)();
  std::string_view module;  // the module (see module.h) when create is null
  // Files of the same name beside a document that the filter reads too (a
  // table's memo file), by their extensions, with their dot, lower case.
  std::span<const std::string_view> side_extensions = {};
  // Its extensions name other formats too (".db": Paradox's and every
  // application's SQLite databases): a document whose first bytes plainly
  // name another format goes to that format's filter.
  bool shares_extensions = false;
};

// Every built-in filter, in a fixed order.
std::span<const BuiltinFilterInfo> BuiltinFilters();

// The built-in filter of that name, or nullptr.
const BuiltinFilterInfo* FindBuiltinFilter(std::string_view name);

// The built-in filter that registers extension (with its dot, lower case),
// or nullptr; of two that list it, the later in the table.
const BuiltinFilterInfo* FindBuiltinFilterForExtension(std::string_view extension);

// A new filter object of that built-in; nullptr with the reason in *error
// when its module cannot be loaded.
std::unique_ptr<BuiltinFilter> CreateBuiltinFilter(const BuiltinFilterInfo& info, std::string* error);

// Runs the named built-in filter on path into sink: how a filter hands a
// document whose content belongs to another format to that format's filter.
ExtractResult ExtractWithBuiltin(std::string_view name, const std::string& path, TextSink& sink);

}  // namespace quarn

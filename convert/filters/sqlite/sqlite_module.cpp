// The SQLite database filter, on libsqlite3.
#include "convert/filters/module.h"
#include "convert/filters/sqlite/sqlite_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "sqlite" ? CreateSqliteFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnSqliteModule() { return &quarn::kModule; }

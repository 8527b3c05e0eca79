// The Access database filter, on libmdb.
#include "convert/filters/module.h"

#include "convert/filters/access/access_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "access" ? CreateAccessFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnAccessModule() { return &quarn::kModule; }

// The filter of Safari's web archives, on libplist.
#include "convert/filters/module.h"

#include "convert/filters/webarchive/webarchive_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "webarchive" ? CreateWebArchiveFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnWebArchiveModule() { return &quarn::kModule; }

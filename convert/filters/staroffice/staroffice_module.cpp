// The filter of StarOffice's binary files, on libstaroffice.
#include "convert/filters/module.h"

#include "convert/filters/staroffice/staroffice_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "staroffice" ? CreateStarOfficeFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnStarOfficeModule() { return &quarn::kModule; }

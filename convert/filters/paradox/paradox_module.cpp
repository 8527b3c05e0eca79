// The Paradox table filter, on pxlib.
#include "convert/filters/module.h"

#include "convert/filters/paradox/paradox_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "paradox" ? CreateParadoxFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnParadoxModule() { return &quarn::kModule; }

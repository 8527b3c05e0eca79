// The filter of FreeHand, on libfreehand.
#include "convert/filters/module.h"

#include "convert/filters/freehand/freehand_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "freehand" ? CreateFreeHandFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnFreeHandModule() { return &quarn::kModule; }

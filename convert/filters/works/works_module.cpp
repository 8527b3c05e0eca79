// The filter of Works, Lotus, Quattro and Write, on libwps.
#include "convert/filters/module.h"

#include "convert/filters/works/works_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "works" ? CreateWorksFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnWorksModule() { return &quarn::kModule; }

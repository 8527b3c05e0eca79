// The filter of QuarkXPress, on libqxp.
#include "convert/filters/module.h"

#include "convert/filters/quark/quark_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "quark" ? CreateQuarkFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnQuarkModule() { return &quarn::kModule; }

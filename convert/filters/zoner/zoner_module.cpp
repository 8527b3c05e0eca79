// The filter of Zoner Draw and Zebra, on libzmf.
#include "convert/filters/module.h"

#include "convert/filters/zoner/zoner_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "zoner" ? CreateZonerFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnZonerModule() { return &quarn::kModule; }

// The filter of classic Macintosh and other old documents, on libmwaw.
#include "convert/filters/module.h"

#include "convert/filters/mac/mac_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "mac" ? CreateMacFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnMacModule() { return &quarn::kModule; }

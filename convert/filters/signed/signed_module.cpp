// The filter of signed files, on OpenSSL.
#include "convert/filters/module.h"

#include "convert/filters/signed/signed_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "signed" ? CreateSignedFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnSignedModule() { return &quarn::kModule; }

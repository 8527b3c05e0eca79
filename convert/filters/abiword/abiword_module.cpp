// The filter of AbiWord, on libabw.
#include "convert/filters/module.h"

#include "convert/filters/abiword/abiword_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "abiword" ? CreateAbiWordFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnAbiWordModule() { return &quarn::kModule; }

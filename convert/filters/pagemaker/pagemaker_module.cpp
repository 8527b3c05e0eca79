// The filter of PageMaker, on libpagemaker.
#include "convert/filters/module.h"

#include "convert/filters/pagemaker/pagemaker_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "pagemaker" ? CreatePageMakerFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnPageMakerModule() { return &quarn::kModule; }

// The filter of Publisher, on libmspub.
#include "convert/filters/module.h"

#include "convert/filters/publisher/publisher_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "publisher" ? CreatePublisherFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnPublisherModule() { return &quarn::kModule; }

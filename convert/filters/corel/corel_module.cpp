// The filter of CorelDRAW, on libcdr.
#include "convert/filters/module.h"

#include "convert/filters/corel/corel_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "corel" ? CreateCorelFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnCorelModule() { return &quarn::kModule; }

// The filter of Visio drawings, on libvisio.
#include "convert/filters/module.h"

#include "convert/filters/visio/visio_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "visio" ? CreateVisioFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnVisioModule() { return &quarn::kModule; }

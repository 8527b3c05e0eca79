// The dBASE table filter, on shapelib.
#include "convert/filters/module.h"

#include "convert/filters/dbase/dbase_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "dbase" ? CreateDbaseFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnDbaseModule() { return &quarn::kModule; }

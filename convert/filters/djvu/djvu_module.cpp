// The filter of DjVu documents, on djvulibre.
#include "convert/filters/module.h"

#include "convert/filters/djvu/djvu_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "djvu" ? CreateDjvuFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnDjvuModule() { return &quarn::kModule; }

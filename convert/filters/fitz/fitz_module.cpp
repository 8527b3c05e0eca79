// The filters of the formats MuPDF reads besides PDF, through the PDF text
// library (which the program has loaded already): a module of its own only
// so that the core stays the core.
#include "convert/filters/module.h"

#include "convert/filters/fitz/fitz_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "xps" || name == "cbz" || name == "svg") return CreateFitzFilter(name);
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnFitzModule() { return &quarn::kModule; }

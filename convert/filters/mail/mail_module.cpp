// The e-mail filter, built on GMime.
#include "convert/filters/module.h"


#include "convert/filters/mail/eml_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "eml") return CreateEmlFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnMailModule() { return &quarn::kModule; }

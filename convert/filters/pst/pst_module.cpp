// The Outlook data-file filter, built on libpst.
#include "convert/filters/module.h"

#include "convert/filters/pst/pst_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "pst") return CreatePstFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnPstModule() { return &quarn::kModule; }

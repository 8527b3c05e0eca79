// The filters of WordPerfect's own formats, on libwpd and libwpg.
#include "convert/filters/module.h"

#include "convert/filters/wordperfect/wordperfect_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "wordperfect") return CreateWordPerfectFilter();
  if (name == "wpg") return CreateWpgFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnWordPerfectModule() { return &quarn::kModule; }

// The filters built on libarchive: archives and single compressed files.
#include "convert/filters/module.h"

#include "convert/filters/archive/archive_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "archive") return CreateArchiveFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnArchiveModule() { return &quarn::kModule; }

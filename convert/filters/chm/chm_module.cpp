// The compiled-help filter, built on chmlib (and the HTML filter).
#include "convert/filters/module.h"

#include <libxml/xmlerror.h>

#include "convert/filters/chm/chm_filter.h"

namespace quarn {

namespace {

void IgnoreXmlMessage(void*, const char*, ...) {}

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  // libxml2 prints some errors through its generic handler (per thread).
  xmlSetGenericErrorFunc(nullptr, IgnoreXmlMessage);
  if (name == "chm") return CreateChmFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnChmModule() { return &quarn::kModule; }

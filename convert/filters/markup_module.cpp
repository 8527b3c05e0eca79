// The filters built on libxml2 alone: web pages and XML.
#include "convert/filters/module.h"

#include <memory>
#include <string>

#include "convert/filters/html_filter.h"
#include "convert/filters/xml_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "html") return CreateHtmlFilter();
  if (name == "xml") return CreateXmlFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnMarkupModule() { return &quarn::kModule; }

// The filters built on libxml2 alone: web pages and XML.
#include "convert/filters/module.h"

#include <libxml/xmlerror.h>

#include <memory>
#include <string>

#include "convert/filters/markup/html_filter.h"
#include "convert/filters/markup/xml_filter.h"

namespace quarn {

namespace {

// libxml2 reports some encoding and input errors through its generic
// handler, which prints to standard error; the filters report problems in
// their results instead.  The handler is per thread: set it on the thread
// that is about to use the filter.
void IgnoreXmlMessage(void*, const char*, ...) {}

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  xmlSetGenericErrorFunc(nullptr, IgnoreXmlMessage);
  if (name == "html") return CreateHtmlFilter();
  if (name == "xml") return CreateXmlFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnMarkupModule() { return &quarn::kModule; }

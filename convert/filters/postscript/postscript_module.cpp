// The filter of PostScript and EPS files, on Ghostscript.
#include "convert/filters/module.h"

#include "convert/filters/postscript/postscript_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  return name == "postscript" ? CreatePostScriptFilter() : nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnPostScriptModule() { return &quarn::kModule; }

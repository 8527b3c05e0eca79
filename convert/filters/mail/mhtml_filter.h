// The web-archive filter (.mht, .mhtml): a saved web page is a MIME message
// whose root part is the page; its text comes through the HTML filter, with
// the charset the part declares.  Parsed with GMime.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateMhtmlFilter();

}  // namespace quarn

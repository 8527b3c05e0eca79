// The compiled-help filter (.chm), on chmlib: the pages in the order of the
// help file's table of contents, each read by the HTML filter (without its
// <title>, which a help viewer never shows in the page), then the pages the
// contents leave out, in the file's own order.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateChmFilter();

}  // namespace quarn

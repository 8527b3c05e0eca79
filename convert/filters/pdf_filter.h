// PDF documents with a text layer: every page's text, in reading order, one
// chunk per page, read through the PDF text library.  A PDF without any text
// yields no chunks, so the conversion falls back to the PDF route.  Needs no
// lock: each call opens the document in a context of its own.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreatePdfFilter();

}  // namespace quarn

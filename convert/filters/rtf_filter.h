// Rich Text Format documents: a streaming tokenizer that keeps the body text,
// table rows, field results, headers, footers and footnotes, decodes 8-bit
// text through the document's (or the font's) code page and skips the
// destinations that hold no readable text (font, colour and style tables,
// pictures, embedded objects).  One object per document, on one thread.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateRtfFilter();

}  // namespace quarn

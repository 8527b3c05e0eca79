// The built-in filter for Word 97-2003 documents (.doc, .dot), and the Word
// 6/95 files that share their container.  Reads the text through the piece
// table of the WordDocument stream: the body, tables as rows of tab-separated
// cells, the text of embedded objects, then footnotes, endnotes, comments,
// text boxes, headers and footers.  List items start with their number or
// bullet (Word 6/95 automatic numbering too).  Reentrant: each call reads its
// own copy of the streams.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateDocFilter();

}  // namespace quarn

// Plain-text documents (the "text" built-in filter): the character set is
// found from a byte-order mark, then the NUL pattern of UTF-16 and UTF-32,
// then valid UTF-8, then uchardet, with windows-1252 as the last resort, and
// the file is decoded to UTF-8 block by block, so a large file is never held
// twice.  Bytes the character set does not allow become U+FFFD.  Line ends
// come out as "\n" (CR LF and a lone CR included).  Binary data with a text
// extension is refused as an unknown format; a zip, OLE2, PDF or RTF file
// with a text extension goes to the filter of its real format.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateTextFilter();

}  // namespace quarn

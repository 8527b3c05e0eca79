// The classic Macintosh formats and other old documents libmwaw reads:
// MacWrite, ClarisWorks and AppleWorks, WriteNow, Word for the Macintosh
// 1 to 5, Works for the Macintosh, Nisus Writer, MacDraw and about fifty
// more, as text, spreadsheet, presentation or drawing as the file is.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateMacFilter();

}  // namespace quarn

// The TNEF filter (winmail.dat, .tnef, and application/ms-tnef parts of
// messages, which reach it through their name): the message's subject,
// sender and date when the stream carries them, its body (plain text, else
// the HTML or the compressed RTF body), then each attachment by name with its
// text, through the filter its name or content calls for.  Parsed with
// libytnef.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateTnefFilter();

}  // namespace quarn

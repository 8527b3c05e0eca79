// The mailbox filter (.mbox, .mbx, and files that start with a "From "
// line): every message of the mailbox in order, each written as the e-mail
// filter writes a message, separated by a line of dashes.  The mailbox is
// mapped and split at its "From " lines that a header block follows (or
// where a Content-Length header says a body ends); the ">" escaping body
// lines that start with "From " is undone, and each message is parsed on its
// own (GMime), so one damaged message costs only itself.  One object per
// document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateMboxFilter();

}  // namespace quarn

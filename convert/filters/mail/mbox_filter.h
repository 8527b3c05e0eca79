// The mailbox filter (.mbox, .mbx, and files that start with a "From "
// line): every message of the mailbox in order, each written as the e-mail
// filter writes a message, separated by a line of dashes.  Messages are
// parsed one at a time from the file (GMime), so a mailbox of any size costs
// the memory of its largest message.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateMboxFilter();

}  // namespace quarn

// The mailbox filter (.mbox, .mbx, and files that start with a "From "
// line): every message of the mailbox in order, each written as the e-mail
// filter writes a message, separated by a line of dashes.  The mailbox is
// mapped a window at a time and split at its "From " lines that a header
// block follows (or where a Content-Length header says a body ends); the ">"
// escaping body lines that start with "From " is undone, and each message is
// parsed on its own (GMime), so one damaged message costs only itself.  One
// object per document.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// How much of a mailbox is in memory at once: the window mapped, the part at
// its end where a message's end is judged again in the next window, and the
// largest message read (larger ones are passed over).
struct MailboxWindowing {
  std::size_t window = std::size_t{256} << 20;
  std::size_t guard = std::size_t{1} << 20;
  std::size_t max_message = std::size_t{512} << 20;
};

std::unique_ptr<BuiltinFilter> CreateMboxFilter();

// What the filter does, through windows of the given sizes (the filter's own
// are the defaults; tests make them small).
ExtractResult ExtractMailbox(const std::string& path, TextSink& sink, const MailboxWindowing& sizes = {});

}  // namespace quarn

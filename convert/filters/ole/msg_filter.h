// The Outlook message filter (.msg, and .oft templates): the message
// properties of the compound file, read through libgsf.  Sender, recipients,
// date and subject as the e-mail filter writes them; an appointment's time
// and place, a task's dates, a contact's addresses and phones (from the
// file's named properties) as lines of the same kind; then the body (the plain
// text, else the HTML body through the HTML filter, else the compressed RTF
// body unpacked and read by the RTF filter); then each attachment by name
// with its text, through the filter its name or content calls for, and
// attached messages, read the same way one level deeper.  One object per
// document, on the thread that reads it.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateMsgFilter();

}  // namespace quarn

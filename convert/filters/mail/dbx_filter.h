// Outlook Express's mail folders: the .dbx files of versions 5 and 6 (a
// tree of entries, each pointing at its message, kept as a chain of blocks)
// and the .mbx files of version 4 (messages one after the other, each with
// a small header).  Every message is read as the mailbox filter reads its
// messages, in the folder's order, separated by a line of dashes; one
// damaged message or block costs only that message.  The folder list
// (Folders.dbx) and the other files of the family hold no messages and say
// so.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateDbxFilter();

}  // namespace quarn

// The Outlook data-file filter (.pst, .ost), on libpst: the folders in
// their tree order, each named on a line of its own, then its messages as the
// e-mail filter writes them (headers, body, attachments by name with their
// text) and its contacts, appointments and notes by title and text.  One
// object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreatePstFilter();

}  // namespace quarn

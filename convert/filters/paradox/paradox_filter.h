// The Paradox table filter (.db of Paradox 3 to 7, as Borland's database
// engine wrote them for many desktop programs), on pxlib: a line of the
// field names, then one line of tab-separated values a record, in the
// file's order.  Text in the table's code page, numbers as written, money
// to two decimals, dates as "2019-03-01", times and time stamps to the
// second, logical fields as "Yes" or "No".  Memo fields are read from the
// memo file beside the table (.mb), their line breaks as spaces; without it
// the start a record keeps of each memo is read and the missing file is
// said.  Pictures, OLE objects and binary fields are not text.  A table
// encrypted with a password is said to be.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateParadoxFilter();

}  // namespace quarn

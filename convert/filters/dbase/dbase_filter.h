// The dBASE table filter (.dbf: dBASE III to 7, FoxPro and Visual FoxPro,
// Clipper, and the attribute tables of shapefiles), on shapelib's DBF reader:
// a line of the field names, then one line of tab-separated values a record,
// in the file's order; deleted records are left out.  Text in the table's
// code page (its language driver byte or the .cpg file beside it, else
// found from the bytes), numbers as written, dates as "2019-03-01", logical
// fields as "Yes" or "No", Visual FoxPro's integers, currency and date-times
// decoded.  Memo fields are read from the memo file beside the table (.dbt
// of dBASE, .fpt of FoxPro), their line breaks as spaces; a missing memo
// file is said.  Pictures and OLE objects in memo files are not text.  One
// object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateDbaseFilter();

}  // namespace quarn

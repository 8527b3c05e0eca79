// The Access database filter (.mdb, .accdb and their compiled forms .mde,
// .accde), on libmdb: every table the database's users made, by name, as a
// line of its column names and a line of tab-separated values a row, in the
// order the rows are stored.  Text and memo fields as written (a memo's line
// breaks as spaces, so that a row stays one line), numbers and currency as
// the library writes them, dates as "2024-03-01" or "2024-03-01 14:30:00",
// Yes/No fields as "Yes" or "No".  System tables, linked tables (their rows
// live in another file), queries, forms, reports and code are not the
// database's text; pictures and files kept in OLE and attachment fields are
// left out.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateAccessFilter();

}  // namespace quarn

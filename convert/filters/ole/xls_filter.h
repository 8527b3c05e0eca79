// The built-in filter for Excel 97-2003 workbooks (.xls, .xlt; BIFF8, and
// BIFF5 from Excel 5/95).  Walks the records of the Workbook stream: every
// worksheet by name on its own line, then its rows, one line each with
// tab-separated cells; numbers without spurious decimals, dates, times and
// percentages as the cell's number format shows them, formulas by their last
// computed value.  Reentrant: each call reads its own copy of the stream.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateXlsFilter();

// A number as a person reads it in a cell without a special format: up to 15
// significant digits, no trailing zeros, no exponent for ordinary magnitudes.
std::string FormatCellNumber(double value);

}  // namespace quarn

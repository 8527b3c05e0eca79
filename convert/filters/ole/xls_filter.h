// The built-in filter for Excel workbooks (.xls, .xlt): BIFF8 and BIFF5 in
// the Workbook stream of a compound file, and the plain record files of
// Excel 2 to 4.  Every worksheet by name on its own line, then its rows, one
// line each with tab-separated cells; numbers without spurious decimals,
// dates, times and percentages as the cell's number format shows them,
// formulas by their last computed value; then the sheet's text boxes and
// its page header and footer.  A workbook encrypted with the password Excel
// uses when none was set is read; one a person locked is reported as
// password-protected.  Reentrant: each call reads its own copy of the stream.
#pragma once

#include <memory>
#include <string_view>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/ole/office_crypt.h"

namespace quarn {

// password: the one tried on an encrypted workbook (tests give others).
std::unique_ptr<BuiltinFilter> CreateXlsFilter(std::u16string_view password = kExcelDefaultPassword);

// A number as a person reads it in a cell without a special format: up to 15
// significant digits, no trailing zeros, no exponent for ordinary magnitudes.
std::string FormatCellNumber(double value);

}  // namespace quarn

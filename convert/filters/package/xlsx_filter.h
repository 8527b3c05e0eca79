// Spreadsheets (Office Open XML: xlsx, xlsm, xltx, xltm; and the binary
// workbook, xlsb, whose package keeps its sheets as records).
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateXlsxFilter();
std::unique_ptr<BuiltinFilter> CreateXlsbFilter();

}  // namespace quarn

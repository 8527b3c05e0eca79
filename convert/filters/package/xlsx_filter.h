// Spreadsheets (Office Open XML: xlsx, xlsm, xltx, xltm).
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateXlsxFilter();

}  // namespace quarn

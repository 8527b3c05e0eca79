// The binary files of StarOffice 3 to 5.2 -- StarWriter, StarCalc,
// StarImpress and StarDraw (.sdw, .sgl, .sdc, .sdd, .sda) -- on
// libstaroffice.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateStarOfficeFilter();

}  // namespace quarn

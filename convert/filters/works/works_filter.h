// Microsoft Works (word processor, spreadsheet and database, DOS and Windows
// versions), Lotus 1-2-3, Quattro Pro, Microsoft Write, Word for DOS and
// Pocket Word, on libwps.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateWorksFilter();

}  // namespace quarn

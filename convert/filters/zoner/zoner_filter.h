// Zoner Draw and Zoner Zebra drawings (.zmf, .zbr), on libzmf: the text of their text objects.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateZonerFilter();

}  // namespace quarn

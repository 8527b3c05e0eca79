// AbiWord documents (.abw, compressed .zabw, templates .awt), on libabw.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateAbiWordFilter();

}  // namespace quarn

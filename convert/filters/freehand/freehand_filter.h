// FreeHand drawings (versions 3 to 11), on libfreehand: the text of their text objects.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateFreeHandFilter();

}  // namespace quarn

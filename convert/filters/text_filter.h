// Plain-text documents: decoded from their own character set to UTF-8.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateTextFilter();

}  // namespace quarn

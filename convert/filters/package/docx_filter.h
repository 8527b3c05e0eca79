// Word documents (Office Open XML: docx, docm, dotx, dotm).
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateDocxFilter();

}  // namespace quarn

// Presentations (Office Open XML: pptx, pptm, ppsx, ppsm, potx, potm).
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreatePptxFilter();

}  // namespace quarn

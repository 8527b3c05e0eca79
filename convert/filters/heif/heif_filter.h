// HEIF and AVIF pictures (.heic, .heif, .avif), on libheif: each picture of
// the file, turned as a viewer shows it, read by OCR as a page.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateHeifFilter();

}  // namespace quarn

// Pictures of text (scans, photos of pages, screenshots): PNG, JPEG, TIFF
// with all its pages, GIF, BMP, WebP, PNM and JPEG 2000 files read by OCR,
// one chunk per page.  Pictures are checked before they are decoded: more
// than kMaxPicturePixels pixels, a damaged or truncated file gives a reason
// and no text.  One object per document, on the worker that made it.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateImageFilter();

}  // namespace quarn

// The formats MuPDF reads besides PDF: XPS and OpenXPS, comic-book archives
// (CBZ) and SVG.  The text comes from the PDF text library, which carries MuPDF; pages without
// text (a comic's pictures) are rendered in grey for OCR.
#pragma once

#include <memory>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// kind is the filter's name and MuPDF's name of the format: "xps", "cbz" or
// "svg".
std::unique_ptr<BuiltinFilter> CreateFitzFilter(std::string_view kind);

}  // namespace quarn

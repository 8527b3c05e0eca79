// PDF documents: every page's text, in reading order, one chunk per page,
// read through the PDF text library; pages without text that show a picture
// (scans) are read by OCR in the image module, in their place among the
// others.  A PDF without any text yields no chunks, so the conversion falls
// back to the PDF route.  Needs no lock: each call opens the document in a
// context of its own.
#pragma once

#include <memory>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreatePdfFilter();

// Opens the filter's reasons that concern the OCR of pages without text, so
// that the PDF route, which writes such a document's information instead,
// can pass the reason on.
inline constexpr std::string_view kPdfOcrProblem = "text recognition: ";

}  // namespace quarn

// DjVu documents, on djvulibre: the hidden text layer of every page, in page
// order; pages without one are rendered in grey for OCR.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateDjvuFilter();

}  // namespace quarn

// PageMaker publications (.pmd, .pm6, .p65), on libpagemaker: the text of their text blocks, page by page.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreatePageMakerFilter();

}  // namespace quarn

// CorelDRAW drawings (.cdr, .cdt) and Corel Presentation Exchange files
// (.cmx), on libcdr: the text of their text objects, page by page.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateCorelFilter();

}  // namespace quarn

// Publisher documents (versions 2 to 2013 and later), on libmspub: the text of their text boxes and tables, page by
// page.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreatePublisherFilter();

}  // namespace quarn

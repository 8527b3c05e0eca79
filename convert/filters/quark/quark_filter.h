// QuarkXPress documents (.qxp, .qxd, .qxt), on libqxp: the text of their boxes, page by page.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateQuarkFilter();

}  // namespace quarn

// Apple iWork documents -- Pages, Numbers and Keynote, both the XML
// packages of iWork '05 to '09 and the later protobuf packages -- on
// libetonyek: text, sheets under their names, slides in order.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateIworkFilter();

}  // namespace quarn

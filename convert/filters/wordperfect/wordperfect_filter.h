// WordPerfect documents (versions 1 to 12 and later, libwpd) and WordPerfect
// graphics (libwpg, whose text objects are read).
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateWordPerfectFilter();
std::unique_ptr<BuiltinFilter> CreateWpgFilter();

}  // namespace quarn

// E-books (the "epub" built-in filter): META-INF/container.xml names the
// package document, whose spine lists the chapters in reading order; each
// chapter is read as HTML, one chunk per chapter.  Reentrant: every call
// opens its own archive and parsers.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateEpubFilter();

}  // namespace quarn

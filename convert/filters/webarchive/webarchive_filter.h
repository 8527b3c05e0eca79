// Safari's web archives (.webarchive: a page saved whole, as a Mac saves web
// pages by default): a property list (binary or XML) whose main resource is
// the page's HTML in the character set it names, with the archives of its
// frames inside it.  The page's text, then each frame's, as for web pages;
// a main resource of another kind (a PDF or a text file Safari showed) is
// read by the filter of its kind.  Pictures, style sheets and scripts the
// archive keeps beside the page are not text.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateWebArchiveFilter();

}  // namespace quarn

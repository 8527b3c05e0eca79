// XML documents: the text content in document order, streamed through a
// libxml2 reader that loads no DTD, no external entity and nothing from the
// network.  Word 2003 XML documents come out as paragraphs and table rows,
// Excel 2003 XML workbooks as named sheets of tab-separated rows.  One object
// per document, on one thread.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateXmlFilter();

}  // namespace quarn

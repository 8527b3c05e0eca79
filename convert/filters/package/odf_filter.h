// OpenDocument text, spreadsheets, presentations and drawings (the "odf"
// built-in filter): the zip packages (odt ott ods ots odp otp odg otg) and the
// flat XML forms (fodt fods fodp fodg).  content.xml (or the flat file) is
// streamed through a libxml2 text reader, so a large document costs the size
// of its text, not of its tree.  Reentrant: every call has its own reader.
//
// The text, in this order: the body (paragraphs and headings as lines, list
// items on their own lines, table rows as tab-separated cells, each sheet
// introduced by its name, each page or slide followed by its notes, text
// boxes and shapes' text after the paragraph they are anchored in); then,
// for text documents, the page headers and footers of the master pages; then
// footnotes, then endnotes, then comments.  Deleted tracked changes are left
// out.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateOdfFilter();

}  // namespace quarn

// The parser options every module that reads XML with libxml2 uses, so that
// no document can reach the network, load a DTD or expand entities.
#pragma once

#include <libxml/parser.h>

namespace quarn {

// Options every XML part is parsed with: no network, no DTD loading, no
// entity substitution, no error printing.
constexpr int kSafeXmlOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT;

}  // namespace quarn

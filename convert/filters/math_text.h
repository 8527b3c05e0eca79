// Formulas as one line of text: Office Math (OMML, in Word documents) and
// MathML (in OpenDocument formula objects and web pages) become a linear
// form a reader can follow: fractions as a/b, powers as superscripts or ^,
// roots, sums and brackets with their parts in order.
#pragma once

#include <libxml/tree.h>

#include <string>

namespace quarn {

// The text of an m:oMath element.
std::string OmmlText(xmlNodePtr omath);
// The text of a MathML math element.
std::string MathMlText(xmlNodePtr math);

}  // namespace quarn

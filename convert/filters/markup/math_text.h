// Formulas as one line of text: Office Math (OMML, in Word documents) and
// MathML (in OpenDocument formula objects and web pages) become a linear
// form a reader can follow: fractions as a/b, powers as superscripts or ^,
// roots, sums and brackets with their parts in order.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlreader.h>

#include <string>

namespace quarn {

// The text of an m:oMath element.
std::string OmmlText(xmlNodePtr omath);
// The text of a MathML math element.
std::string MathMlText(xmlNodePtr math);

enum class MathKind { kOmml, kMathMl };

// The text of the formula element a streaming reader is on.  The element
// is read through (the reader ends on its end tag) into a small tree of at
// most 100,000 elements, the rest read past: a huge formula costs no more.
// *status is the reader's last status (1 while it can go on).
std::string ReadMathText(xmlTextReaderPtr r, MathKind kind, int* status);

}  // namespace quarn

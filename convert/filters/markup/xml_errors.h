// libxml2's complaints in the user's words, for every filter that parses
// XML or HTML.  A limit the parser stopped at (nesting depth, the size of
// one text run, entity expansion) is told as what the document holds; any
// other error means the document is not well-formed.  Pure functions.
#pragma once

#include <libxml/xmlerror.h>

#include <string>
#include <string_view>

namespace quarn {

// The short reason when error is a limit of the parser ("nested deeper than
// 256 levels", "a text run larger than 10 MB", "entity expansion refused"),
// or empty when the document is malformed.
std::string XmlLimitReason(const xmlError& error);

// "line N: what is wrong", without libxml2's advice to its own callers.
std::string XmlErrorText(const xmlError& error);

// The reason for a part of a package: "<part>: <limit>", or "the part
// <part> is not well-formed XML (line N: ...)".
std::string XmlPartProblem(const xmlError& error, std::string_view part);

}  // namespace quarn

// PostScript and Encapsulated PostScript (.ps, .eps: what "print to file"
// wrote on Unix and the Mac, papers and manuals typeset with TeX, groff or
// a word processor's printer driver): Ghostscript runs the program into a
// PDF in the filter's private folder, and that PDF is read as any other, so
// its words, spacing and pages come out as a PDF's do, and pages that are
// only pictures (a scan sent to the printer) go to text recognition.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreatePostScriptFilter();

// The first error Ghostscript reported in its output ("/syntaxerror in
// --token--"), without the words around it; empty when there is none.
std::string PostScriptError(std::string_view output);

}  // namespace quarn

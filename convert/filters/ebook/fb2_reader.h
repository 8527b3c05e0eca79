// FictionBook 2 books read as the XML they are: the bodies in order (the
// story, then its notes), a line for each paragraph, verse line, title
// paragraph, subtitle, author line and date, table rows as tab-separated
// cells, note references kept where they stand; the description (the
// book's properties) and the pictures left out.  Reentrant.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// Whether the first bytes of a file are those of a FictionBook document.
bool IsFictionBookHead(std::string_view head);

// Reads the book at path into sink; nullopt when the file cannot be parsed
// far enough to give any text (another reader may then try it).
std::optional<ExtractResult> ExtractFictionBook(const std::string& path, TextSink& sink);
// The same for a book held in memory (the member of a zipped book).
std::optional<ExtractResult> ExtractFictionBookBytes(std::string_view bytes, TextSink& sink);

}  // namespace quarn

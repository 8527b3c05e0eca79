// MOBI books (Mobipocket, and the Kindle books that share its format): the
// text records of the Palm database, decompressed (stored or PalmDoc's
// LZ77), stripped of their trailing index entries and read as the HTML they
// are; Kindle books of the newer kind (KF8) as the files their text flow
// holds.  Books compressed with the Huffman dictionary or protected against
// copying are refused with that reason.  Reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// Whether the first bytes of a file are those of a MOBI book.
bool IsMobiHead(std::string_view head);

// Reads the book at path into sink.
ExtractResult ExtractMobi(const std::string& path, TextSink& sink);

// PalmDoc's LZ77 decompression of one record; at most max_out bytes are
// written (a hostile record cannot ask for more).
std::string PalmDocDecompress(std::string_view in, std::size_t max_out = 65536);

// The files of a KF8 book's text flow, each rebuilt as one HTML document:
// the flow holds each file's skeleton (up to its </html>) followed by the
// fragments of its body, which are put back before the skeleton's </body>.
std::vector<std::string> Kf8Files(std::string_view flow);

// The size of the trailing entries a text record carries after its text,
// as the book's extra-data flags announce them.
std::size_t TrailingEntriesSize(std::string_view record, std::uint16_t flags);

}  // namespace quarn

// Outlook's compressed RTF (the "LZFu" scheme of message bodies in .msg files
// and TNEF streams): unpacking it into the RTF text it stands for.  Pure
// function; reentrant.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quarn {

// The RTF held in a compressed-RTF stream (also the uncompressed "MELA"
// form), or nullopt when the header is not one or claims more than
// max_bytes.  Damaged data ends the text where it breaks.
std::optional<std::string> DecompressRtf(std::string_view stream, std::size_t max_bytes = std::size_t{64} << 20);

}  // namespace quarn

// Shared pieces of the Office 97-2003 filters (doc, xls, ppt) and the mail
// filter: reading the streams of an OLE2 compound file through libgsf,
// little-endian fields of binary records, and decoding 8-bit code pages and
// UTF-16LE into UTF-8.  Reentrant; every call owns what it opens.
#pragma once

#include <gsf/gsf.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/charset.h"
#include "convert/filters/common/text_decode.h"

namespace quarn {

struct GObjectUnref {
  void operator()(void* object) const;
};
using CompoundFile = std::unique_ptr<GsfInfile, GObjectUnref>;

// Sends GLib's log messages (libgsf's and GMime's warnings about a damaged
// file) to the diagnostic of the document being read instead of standard
// error.  Once per process; every module built on GLib calls it on loading.
void RouteGlibMessages();

// Opens path as a compound file; nullptr (and *why) when it is not one or is
// too damaged to read its directory.
CompoundFile OpenCompoundFile(const std::string& path, std::string* why = nullptr);

// The names of the compound file's top-level entries.
std::vector<std::string> CompoundEntryNames(GsfInfile* file);

// The whole stream of that name under the root, or nullopt when it is absent
// or longer than max_bytes (a damaged size must not make us allocate wildly).
std::optional<std::string> ReadCompoundStream(GsfInfile* file, const char* name,
                                              std::size_t max_bytes = std::size_t{512} << 20);

class TextSink;

// Writes the text of an OLE object stored as a storage of its own (a Word
// document's object pool entry) or as a whole compound file (what a
// presentation keeps): an embedded workbook's cells, an embedded document's
// text, a packaged file's text.  True when some text was written.
bool ExtractEmbeddedStorage(GsfInfile* storage, TextSink& sink);
bool ExtractEmbeddedCompoundFile(std::string_view bytes, TextSink& sink);

// Inflates zlib data (as Office files compress embedded objects) up to
// max_bytes of output; nullopt when it is damaged or larger than that.
std::optional<std::string> InflateZlib(std::string_view data, std::size_t max_bytes);

// Little-endian fields at offset; zero past the end so that damaged records
// read as zero rather than out of bounds.
inline uint16_t Le16(std::string_view s, std::size_t off) {
  if (off > s.size() || s.size() - off < 2) return 0;
  return static_cast<uint16_t>(static_cast<unsigned char>(s[off]) | static_cast<unsigned char>(s[off + 1]) << 8);
}
inline uint32_t Le32(std::string_view s, std::size_t off) {
  if (off > s.size() || s.size() - off < 4) return 0;
  return static_cast<uint32_t>(Le16(s, off)) | static_cast<uint32_t>(Le16(s, off + 2)) << 16;
}


// Decodes bytes in the named character set into UTF-8.  Invalid or
// unmappable bytes become U+FFFD, so the words around them survive.  An
// unknown charset name falls back to UTF-8 when the bytes are valid UTF-8,
// else to windows-1252.
std::string DecodeCharset(std::string_view bytes, std::string_view charset);

// The Windows code page ("windows-1251") used for 8-bit text of a language id.
const char* CodePageForLanguageId(uint16_t lid);

}  // namespace quarn

// Objects embedded in documents (the OLE objects of Office 97-2003 files and
// of RTF): their bytes hold another document, whose text is read by the
// built-in filter of its content from a private anonymous file.  Used by the
// RTF filter and the Office 97-2003 filters, on their worker thread;
// reentrant.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// Objects inside objects are followed this deep; deeper ones give nothing.
inline constexpr int kMaxEmbeddingDepth = 3;

// Writes the text of the document held in bytes into sink (each chunk of
// its text ending its line) and returns true when it wrote some.  The
// content decides which filter reads it; name (a packaged file's name) is
// the fallback for content nobody recognises, such as plain text.  Unknown
// content, damaged objects and objects nested too deep give nothing.
bool ExtractEmbedded(std::string_view bytes, TextSink& sink, std::string_view name = {});

// An embedded OLE 1.0 object (what RTF's \objdata holds): the class of the
// program that wrote it and the bytes it wrote.
struct Ole1Object {
  std::string class_name;
  std::string_view native;
};
// nullopt when bytes is no embedded OLE 1.0 object (a linked one, or damage).
std::optional<Ole1Object> ParseOle1Object(std::string_view bytes);

// A file embedded as itself (an object of the "Package" class): its name
// and its bytes.
struct PackagedFile {
  std::string name;
  std::string_view bytes;
};
// native is the object's native data (without the size in front that the
// "\1Ole10Native" stream puts there); nullopt when it is no package.
std::optional<PackagedFile> ParsePackage(std::string_view native);

}  // namespace quarn

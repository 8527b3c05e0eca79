// Objects embedded in documents (the OLE objects of Office 97-2003 files and
// of RTF): their bytes hold another document, read like a member of a
// container (members.h), one level deeper.  Used by the RTF filter and the
// Office 97-2003 filters, on their worker thread; reentrant.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// Whether an object embedded in what sink receives would lie deeper than
// containers are followed (its text would not be read).
bool EmbeddingTooDeep(const TextSink& sink);

// Writes the text of the document held in bytes into sink (each chunk of
// its text ending its line) and returns true when it wrote some.  A packaged
// file's name finds its filter as a member's does; a nameless object is read
// by the filter its content calls for.  Unknown content, pictures, damaged
// objects and objects nested too deep give nothing.
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

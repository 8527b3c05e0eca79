// The filter route of a conversion: find the plug-in registered for a file's
// extension, read its text through the chunk and text loop, thin out runs of
// spaces and write the text file.  Called by ConvertFile from the workers and
// from the command line at the same time; every call has its own plug-in
// object and buffers, and the registry is read-only, so nothing is locked.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "convert/outcome.h"
#include "convert/registry.h"
#include "convert/text_file.h"

namespace quarn {

// Bounds on what one plug-in can make the pipeline do.
struct FilterLimits {
  // Code-page bytes kept per document; the rest is dropped and the document
  // reported incomplete.
  std::size_t max_text_bytes = std::size_t{256} << 20;
  // Consecutive GetText calls that deliver nothing (or fail) before the chunk
  // is given up, and consecutive failed GetChunk calls before the document is.
  int max_consecutive_failures = 64;
};

// The file-name extension of path: from its last "." after the last "/",
// dot included; empty when there is none.
std::string_view ExtensionOf(std::string_view path);

// Whether two class ids are one: braced hexadecimal, written in either case.
bool SameClassId(std::string_view a, std::string_view b);

// The class id of the filter registered for path's extension, or empty.
// Throws std::runtime_error ("Invalid data type for ''") for a registry value
// of the wrong type.
std::string FindFilterClass(const Registry& registry, std::string_view path);

// The extensions, with their dot and in lower case, for which
// FindFilterClass finds a filter class: every name the registry can read,
// sorted.  An extension whose keys hold values of the wrong type is left out.
std::vector<std::string> RegisteredExtensions(const Registry& registry);

struct FilterText {
  std::string text;     // in the system character set
  std::string problem;  // why there is no text, or what is missing from it
  bool incomplete = false;  // text was read but not all of it
  unsigned recognized_pages = 0;  // pages or pictures whose text OCR read
  std::int64_t pages = -1;        // the document's pages, when the filter knows them
  std::string reader;   // the filter that read it: a built-in's name or a plug-in's file
};

// Whether a filter would read path: one registered for its extension, or a
// built-in one its content plainly belongs to (what ExtractFilterText looks
// for).  A file without one gives no text whatever lies beside it.
bool HasFilterFor(const Registry& registry, const std::string& path);

// The files beside a document that its built-in filter reads too, those that
// exist: the same name with the filter's side extensions, in lower or upper
// case (a dBASE table's memo file, a shapefile's code page file).  A
// converter confined to the documents it was given must be given these too.
std::vector<std::string> SideFiles(const std::string& path);

// The document's text through its filter plug-in.  Empty text (with a
// problem) when no plug-in could be created, loaded or initialised.
FilterText ExtractFilterText(const Registry& registry, const std::string& path,
                             const FilterLimits& limits = {});

// The text of path through the filter of class_id, converted to codeset:
// ExtractFilterText after its look-up, for callers that chose the class
// themselves (a document inside another one, read as UTF-8).
FilterText ExtractWithFilterClass(const Registry& registry, std::string_view class_id, const std::string& path,
                                  const FilterLimits& limits, const std::string& codeset);

// The four replace-all passes that thin runs of spaces: 10, 8, 4, then 2
// spaces become one.
std::string ThinSpaces(std::string_view text);
void ThinSpacesInPlace(std::string& text);
// What one run of n spaces becomes after the four passes.
std::size_t ThinnedRunLength(std::size_t n);

// Documents are regular files: why a file of another type (st_mode) is
// refused, "not a document: a named pipe".
std::string NotADocumentReason(mode_t mode);

// Whether text holds a character that shows: anything but white space,
// control and format characters (zero-width spaces, the byte-order mark).
bool HasVisibleText(std::string_view text);

// Extracts and thins: the text to write, or kNoText with the reason when it
// has no visible character.  Throws the registry's errors like the functions
// above; writes nothing.
DocumentText ReadWithFilter(const Registry& registry, const std::string& path, const FilterLimits& limits = {});
// What ReadWithFilter makes of a filter's text: thinned, and kNoText with
// the reason when nothing visible is left.
DocumentText TextToWrite(FilterText extracted);

// Extracts, thins and writes: kWritten; kNoText with the reason when the text
// has no visible character; kSameFile or kFailed when SaveTextFile found the
// document itself or the gate refused the place.  Throws FileError and the
// registry's errors like the functions above.
ConvertResult ConvertWithFilter(const Registry& registry, const std::string& path,
                                const std::string& out_path, const FilterLimits& limits = {},
                                const SaveOptions& save = {});

// What a SaveTextFile result means for the conversion.
ConvertResult ResultOfSave(const SaveResult& saved, std::string note = {});

}  // namespace quarn

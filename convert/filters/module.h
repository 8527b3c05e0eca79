// Filter modules: the built-in filters that need large libraries (libxml2,
// libzip, libgsf, GMime, libarchive, libpst, chmlib, libical, the Document
// Liberation libraries, djvulibre) live in shared objects of their own,
// loaded the first time a document needs one, so that converting a text
// file, an RTF file or a
// PDF never pays for loading and relocating those libraries.
//
// Each module exports one function, named in the table in module.cpp, that
// returns its FilterModule.  A module stays loaded until the program ends.
// Loading is thread-safe; the loaded table is immutable.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// What text recognition read from one page, as modules hand it to the core.
struct RecognizedPage {
  std::string text;     // UTF-8, one paragraph a line; empty when nothing was read
  std::string problem;  // why the page gave no text or only part of it, else empty
};

// An 8-bit grey picture (0 black, 255 white) that the caller keeps alive
// during the call; rows of stride bytes from the top.  dpi is 0 when unknown.
struct GreyImage {
  const unsigned char* pixels;
  int width;
  int height;
  int stride;
  int dpi;
};

// Pictures that claim more pixels than this are refused unread.
constexpr std::uint64_t kMaxPicturePixels = 300'000'000;

// Why a picture of width x height pixels (more than kMaxPicturePixels) is
// not read.
std::string PictureTooLargeReason(std::uint64_t width, std::uint64_t height);

struct OcrPageText {
  // UTF-8, one paragraph per line in reading order; empty when the page
  // shows no text.
  std::string text;
  // Why the page has no text or only part of it; empty when all went well.
  std::string problem;
  // The page ran past the time limit and was given up.
  bool timed_out = false;
};

// One part of a zip package as its central directory describes it.
struct ZipPart {
  std::string name;
  std::uint64_t size = 0;    // inflated
  std::uint64_t packed = 0;  // as stored
};

// A zip read entry after entry from the headers in front of them, for a
// package whose directory at its end is lost: the entries that read whole,
// in order, and why reading stopped.
struct SalvagedZip {
  std::vector<std::pair<std::string, std::string>> entries;  // name, bytes
  std::string stopped;
};

struct FilterModule {
  // The module's filter of that name, or nullptr.
  std::unique_ptr<BuiltinFilter> (*create)(std::string_view name);
  // Zip containers: the built-in filter that reads this package ("docx",
  // "odf", "epub", ...), "archive" for a zip that is no package, or empty
  // when it cannot be read or is a package of another kind.  Only in the
  // module that reads zips.
  std::string (*zip_filter)(const std::string& path);
  // Compound files: the names of the top-level streams, empty when the
  // directory cannot be read.  Only in the module that reads compound files.
  std::vector<std::string> (*compound_names)(const std::string& path);
  // Text recognition of the listed pages (from 0) of a PDF, one result per
  // page, empty for pages that show no picture; and the check of an OCR
  // language list (empty, or why it cannot be used).  Only in the module
  // that reads pictures.
  std::vector<RecognizedPage> (*recognize_pdf_pages)(const std::string& path, const std::vector<int>& pages);
  std::string (*check_ocr_languages)(const std::string& languages);
  // Text recognition of one page picture, for the modules whose documents
  // have pages without text: they load the module that reads pictures (and
  // its OCR libraries) only when such a page comes.  Only in that module.
  OcrPageText (*recognize_grey_page)(const GreyImage& image) = nullptr;
  // The parts a zip package's central directory lists; nullopt when the file
  // is no zip or its directory cannot be read.  Only in the module that reads
  // zips, so that modules that meet a zip only now and then do not load
  // libzip (and its cryptography) for every document.
  std::optional<std::vector<ZipPart>> (*zip_directory)(const std::string& path) = nullptr;
  // The entries of a zip whose directory is lost, read up to the first that
  // does not read whole or that would pass either limit (inflated bytes of
  // one entry, of all).  Only in the module built on libarchive, which the
  // package module loads for such a rare package only.
  SalvagedZip (*salvage_zip)(const std::string& path, std::uint64_t max_entry_bytes,
                             std::uint64_t max_total_bytes) = nullptr;
};

// RecognizeGreyPage of the image module, which is loaded when the first page
// needs it: the modules that meet pages without text in documents of their
// own (XPS, DjVu) do not load the OCR libraries for the many documents that
// never need them.
OcrPageText RecognizeGreyPageOnDemand(const GreyImage& image);

// The module of that name ("markup", "package", "ole", "mail", "wordperfect",
// ... as listed in module.cpp), loaded on first use;
// nullptr with the reason in *error when it cannot be loaded.
const FilterModule* LoadFilterModule(std::string_view name, std::string* error = nullptr);

}  // namespace quarn

// The entry points the modules export.
extern "C" {
const quarn::FilterModule* QuarnMarkupModule();
const quarn::FilterModule* QuarnPackageModule();
const quarn::FilterModule* QuarnOleModule();
const quarn::FilterModule* QuarnMailModule();
const quarn::FilterModule* QuarnArchiveModule();
const quarn::FilterModule* QuarnPstModule();
const quarn::FilterModule* QuarnChmModule();
const quarn::FilterModule* QuarnCalendarModule();
const quarn::FilterModule* QuarnWordPerfectModule();
const quarn::FilterModule* QuarnWorksModule();
const quarn::FilterModule* QuarnMacModule();
const quarn::FilterModule* QuarnIworkModule();
const quarn::FilterModule* QuarnVisioModule();
const quarn::FilterModule* QuarnPublisherModule();
const quarn::FilterModule* QuarnStarOfficeModule();
const quarn::FilterModule* QuarnCorelModule();
const quarn::FilterModule* QuarnHeifModule();
const quarn::FilterModule* QuarnSignedModule();
const quarn::FilterModule* QuarnPostScriptModule();
const quarn::FilterModule* QuarnWebArchiveModule();
const quarn::FilterModule* QuarnAccessModule();
const quarn::FilterModule* QuarnDbaseModule();
const quarn::FilterModule* QuarnSqliteModule();
const quarn::FilterModule* QuarnParadoxModule();
const quarn::FilterModule* QuarnQuarkModule();
const quarn::FilterModule* QuarnZonerModule();
const quarn::FilterModule* QuarnFreeHandModule();
const quarn::FilterModule* QuarnPageMakerModule();
const quarn::FilterModule* QuarnAbiWordModule();
const quarn::FilterModule* QuarnEbookModule();
const quarn::FilterModule* QuarnFitzModule();
const quarn::FilterModule* QuarnDjvuModule();
const quarn::FilterModule* QuarnImageModule();
}

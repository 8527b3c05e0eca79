// The PDF text library (libpdfinfo.so), loaded the first time a document
// needs it rather than when the program starts: most conversions never touch
// a PDF, and loading it costs every process its mapping and relocation.
// Any thread may ask; the library is loaded once and stays loaded.
#pragma once

#include <string>

#include "pdfinfo/pdfinfo.h"

namespace quarn {

// The library's entry points, with the call contract of pdfinfo/pdfinfo.h.
struct PdfLibrary {
  int (*GetDocInfo)(const char* path, char* info) = nullptr;
  char* (*GetTextContentFormated)(const char* path, int flags, int n) = nullptr;
  int (*PdfExtractPages)(const char* path, PdfPageTextFunc on_page, void* user, char* error,
                         size_t error_size) = nullptr;
  int (*PdfExtractAttachments)(const char* path, size_t max_bytes, PdfAttachmentFunc on_file, void* user,
                               char* error, size_t error_size) = nullptr;
};

// The loaded library, or nullptr with the reason in *error when it cannot be
// loaded (missing, or without one of the functions).  It is looked for beside
// the conversion core (lib/ of the program's prefix), then by the loader's
// usual search.
const PdfLibrary* LoadPdfLibrary(std::string* error = nullptr);

}  // namespace quarn

/*
 * The text of the other page-based formats MuPDF reads -- XPS and OpenXPS,
 * comic-book archives (CBZ) and SVG -- exported by the PDF
 * text library beside its PDF functions, so that MuPDF is linked into one
 * shared object only.  The filters of those formats call it on the
 * converting thread; like the PDF functions, each call opens the document in
 * a MuPDF context of its own, under the same memory, text and time limits,
 * and keeps nothing afterwards.
 */
#ifndef QUARN_PDFINFO_FITZ_TEXT_H
#define QUARN_PDFINFO_FITZ_TEXT_H

#include <stddef.h>

#include "pdfinfo/pdfinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives a page that has no text of its own (a scan, a comic's picture),
   rendered in 8-bit grey: width x height pixels, rows stride bytes apart,
   at dpi dots per inch.  The pixels live until the call returns.  Returns 0
   to go on, anything else to stop reading. */
typedef int (*FitzPageImageFunc)(void* user, int page, const unsigned char* pixels, int width, int height, int stride,
                                 int dpi);

/* Reads the document at path as the MuPDF format named by kind ("xps",
   "cbz", "svg"), page by page, handing each page's UTF-8 text to on_page (as
   PdfExtractPages does) and, when on_image is not NULL, each page without
   text to on_image as well.  Returns one of the
   PDFINFO_ status codes; for every status but PDFINFO_OK and PDFINFO_NO_TEXT,
   error (error_size bytes, may be NULL) says why in one NUL-terminated line.
   PDFINFO_NO_TEXT also when pages went to on_image but none had text. */
PDFINFO_EXPORT int FitzExtractPages(const char* path, const char* kind, PdfPageTextFunc on_page,
                                    FitzPageImageFunc on_image, void* user, char* error, size_t error_size);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_PDFINFO_FITZ_TEXT_H */

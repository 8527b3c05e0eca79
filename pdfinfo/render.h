/*
 * Page pictures from the PDF text library (libpdfinfo.so): the OCR of pages
 * that hold no text asks here whether a page shows a picture and for the page
 * rendered in grey.  A renderer holds one open document in a MuPDF context of
 * its own and is used by one thread at a time; two threads that render pages
 * of the same document each open a renderer.
 *
 * Work is bounded: a renderer may allocate at most PDFRENDER_MEMORY_LIMIT
 * bytes, and one page stops after PDFRENDER_PAGE_TIME_LIMIT_MS milliseconds.
 */
#ifndef QUARN_PDFINFO_RENDER_H
#define QUARN_PDFINFO_RENDER_H

#include <stddef.h>

#include "pdfinfo/pdfinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PDFRENDER_MEMORY_LIMIT ((size_t)768 << 20)
#define PDFRENDER_PAGE_TIME_LIMIT_MS 60000

typedef struct PdfRenderer PdfRenderer;

/* Opens path for rendering; NULL with the reason in error (error_size bytes,
   may be NULL) when it cannot be opened or needs a password. */
PDFINFO_EXPORT PdfRenderer* PdfOpenRenderer(const char* path, char* error, size_t error_size);
PDFINFO_EXPORT void PdfCloseRenderer(PdfRenderer* renderer);
PDFINFO_EXPORT int PdfRendererPageCount(const PdfRenderer* renderer);

/* A page in 8-bit grey, white 255, rows of stride bytes from the top. */
typedef struct PdfGreyPage {
  const unsigned char* pixels;
  int width;
  int height;
  int stride;
  int dpi;       /* the resolution it was rendered at */
  void* handle;  /* the library's; PdfReleaseGreyPage frees it */
} PdfGreyPage;

/* Status codes of PdfRenderGreyPage. */
enum {
  PDFRENDER_OK = 0,        /* *out holds the page */
  PDFRENDER_NO_PICTURE = 1, /* the page draws no image and no glyph: nothing was rendered */
  PDFRENDER_FAILED = 2     /* error says why */
};

/* Renders page (from 0) in grey at dpi, or at the highest resolution below
   it whose picture has at most max_pixels pixels and at most 30000 pixels a
   side, provided the page draws at least one image (an image, an image mask
   or an inline image), visible glyphs (whose text, when the page is asked
   for, could not be read) or words drawn as filled outlines (many small
   curved shapes); pages drawing only other vector graphics give
   PDFRENDER_NO_PICTURE.  Release a rendered page with PdfReleaseGreyPage
   before the renderer is closed. */
PDFINFO_EXPORT int PdfRenderGreyPage(PdfRenderer* renderer, int page, int dpi, size_t max_pixels,
                                     PdfGreyPage* out, char* error, size_t error_size);
PDFINFO_EXPORT void PdfReleaseGreyPage(PdfRenderer* renderer, PdfGreyPage* page);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_PDFINFO_RENDER_H */

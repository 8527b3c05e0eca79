/*
 * The PDF text library (libpdfinfo.so).  The program links it at load time and
 * calls GetDocInfo and GetTextContentFormated for one document under its
 * PdfLock; the PDF filter also reads page text through PdfExtractPages, which
 * keeps all state per call and so needs no lock.
 */
#ifndef QUARN_PDFINFO_PDFINFO_H
#define QUARN_PDFINFO_PDFINFO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PDFINFO_EXPORT __attribute__((visibility("default")))
#define PDFINFO_INFO_SIZE 2040

/* Fills info (PDFINFO_INFO_SIZE bytes, always NUL-terminated) with the
   document information; non-zero on success, 0 for a document that cannot be
   opened (damaged, or protected by a password the empty one does not open). */
PDFINFO_EXPORT int GetDocInfo(const char* path, char* info);

/* The text of every page in reading order, NUL-terminated, in memory the
   caller releases with VirtualFree(text, 0, MEM_RELEASE); NULL when there is
   none.  flags is 0; n is reserved and passed as 0. */
PDFINFO_EXPORT char* GetTextContentFormated(const char* path, int flags, int n);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_PDFINFO_PDFINFO_H */

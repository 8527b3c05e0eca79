/*
 * The PDF text library (libpdfinfo.so).  The program links it at load time and
 * calls GetDocInfo and GetTextContentFormated for one document under its
 * PdfLock; the PDF filter also reads page text through PdfExtractPages.
 *
 * Every call opens the document in a MuPDF context of its own and drops it
 * before returning, so the library keeps no state between calls and any
 * function may run on several threads at once.  MuPDF's own warning and error
 * messages are swallowed; problems are reported through return values only.
 *
 * Work on one document is bounded: MuPDF may allocate at most
 * PDFINFO_MEMORY_LIMIT bytes for it, text beyond PDFINFO_TEXT_LIMIT bytes is
 * dropped, and reading stops after PDFINFO_TIME_LIMIT_MS milliseconds.
 */
#ifndef QUARN_PDFINFO_PDFINFO_H
#define QUARN_PDFINFO_PDFINFO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PDFINFO_EXPORT __attribute__((visibility("default")))
#define PDFINFO_INFO_SIZE 2040

#define PDFINFO_MEMORY_LIMIT ((size_t)1 << 30)
#define PDFINFO_TEXT_LIMIT ((size_t)256 << 20)
#define PDFINFO_TIME_LIMIT_MS 30000

/* Fills info (PDFINFO_INFO_SIZE bytes, always NUL-terminated) with the
   document information, one "Name: value" line each, ending in a line feed:
   Title, Author, Subject, Keywords, Creator and Producer when the document
   has them, then always "Pages: <count>".  Values are cut at a character
   boundary so the whole fits; line breaks and other control characters in
   them become spaces.  The text is in the system character set (the locale's,
   UTF-8 for the C locale).  Returns non-zero on success and 0 for a document
   that cannot be opened: damaged beyond repair, without pages, or protected by
   a password that the empty password does not open. */
PDFINFO_EXPORT int GetDocInfo(const char* path, char* info);

/* The text returned by GetTextContentFormated lives in one anonymous mmap
   mapping that starts with this header; the returned pointer is the first
   byte after it.  To release the text, step back sizeof(PdfInfoTextHeader)
   bytes, check magic, and munmap(header, header->map_length). */
typedef struct PdfInfoTextHeader {
  uint64_t magic;       /* PDFINFO_TEXT_MAGIC */
  uint64_t map_length;  /* length of the whole mapping, header included */
  uint64_t text_length; /* bytes of text before the terminating NUL */
  uint64_t reserved;    /* 0; keeps the text 32-byte aligned */
} PdfInfoTextHeader;
#define PDFINFO_TEXT_MAGIC UINT64_C(0x5458547466645071) /* "qPdftTXT" */

/* The text of every page in reading order (MuPDF's structured text: one line
   feed after each line, an empty line after each block), NUL-terminated, in
   the system character set, in mmap memory laid out as PdfInfoTextHeader
   tells.  An opened document without text gives an empty text.  NULL when the
   document cannot be opened (as for GetDocInfo) or memory cannot be mapped.
   Damaged pages are skipped.  flags must be 0; n is reserved and should be 0
   (other values are ignored). */
PDFINFO_EXPORT char* GetTextContentFormated(const char* path, int flags, int n);

/* Status codes of PdfExtractPages. */
enum {
  PDFINFO_OK = 0,          /* every page was read and some had text */
  PDFINFO_NO_TEXT = 1,     /* every page was read and none had text */
  PDFINFO_DAMAGED = 2,     /* the document cannot be opened, or no page could be read */
  PDFINFO_PASSWORD = 3,    /* the empty password does not open the document */
  PDFINFO_INCOMPLETE = 4,  /* some text was delivered, but pages or parts of them are missing */
  PDFINFO_STOPPED = 5      /* the callback asked to stop */
};

/* Hints on a page, or-ed together in the callback's hints. */
enum {
  /* The page's words are in its pictures: it has no text of its own (what
     text it gives is its comments), or pictures cover most of it and its
     text is at most a few short lines (a scan with a few words stamped on
     it), or most of its glyphs map to no character (fonts embedded without
     their character maps; the words that do map are in its text).  OCR may
     read it. */
  PDFINFO_PAGE_FOR_OCR = 1
};

/* Receives the UTF-8 text of one page (page counts from 0; text is not
   NUL-terminated and size may be 0 for a page without text) and the page's
   hints (PDFINFO_PAGE_*).  Returns 0 to go on, anything else to stop reading.
   PdfExtractPages gives a page's text in reading order, then the text of its
   comments (sticky notes, and the notes of marked-up passages and drawn
   marks), a line each. */
typedef int (*PdfPageTextFunc)(void* user, int page, const char* text, size_t size, unsigned hints);

/* Reads the document's pages in order and hands each page's text to
   on_page.  Returns one of the status codes above; for every status but
   PDFINFO_OK and PDFINFO_NO_TEXT, error (error_size bytes, may be NULL) says
   why in one NUL-terminated line.  Needs no lock: two threads may read
   documents at once. */
PDFINFO_EXPORT int PdfExtractPages(const char* path, PdfPageTextFunc on_page, void* user, char* error,
                                   size_t error_size);

/* Receives one file embedded in the document: its name as the document
   gives it (UTF-8, NUL-terminated, never empty) and its bytes, or data NULL
   and size its stated size for a file larger than the caller's max_bytes or
   one that cannot be read.  Returns 0 to go on, anything else to stop. */
typedef int (*PdfAttachmentFunc)(void* user, const char* name, const char* data, size_t size);

/* Hands each file embedded in the document to on_file, once each, in
   document order: the document's attached files (a portfolio's too), then
   the files attached to its pages' comments.  At most 10000 files are
   looked at.  Returns PDFINFO_OK (also when there are none),
   PDFINFO_PASSWORD, PDFINFO_DAMAGED or PDFINFO_STOPPED, with error as for
   PdfExtractPages.  Needs no lock. */
PDFINFO_EXPORT int PdfExtractAttachments(const char* path, size_t max_bytes, PdfAttachmentFunc on_file, void* user,
                                         char* error, size_t error_size);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_PDFINFO_PDFINFO_H */

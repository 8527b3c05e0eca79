/*
 * libquarn: the document-to-text conversion of Quarn for programs that embed
 * it, as a C interface (C99, usable from C++).  Link with
 * `pkg-config --cflags --libs quarn`.
 */
#ifndef QUARN_H
#define QUARN_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * How it works.  Each call reads its document in a converter process of its
 * own: the installed `quarn` program, started anew (never forked from the
 * calling process, so a host with threads is safe), confined so that it can
 * read only what a conversion needs, and held to a time and memory limit.
 * A document that crashes, hangs or exhausts memory costs that call alone:
 * the call comes back failed, with the reason.  The text file is written by
 * the library, in the calling process, atomically (a temporary file put in
 * place at the end), and never over the document itself.
 *
 * Threads: every function may be called from several threads at once; each
 * call has its converter process to itself.  A call blocks its thread until
 * the document is done.  Starting the converter costs a few milliseconds per
 * call; for many documents, the command line's batch mode
 * (`quarn --batch --files-from - --jsonl`) keeps its converters between
 * documents.
 *
 * Signals: the library installs no signal handler.  It waits for its own
 * converter by process id, so a host whose SIGCHLD is ignored gets
 * "the converter ended unexpectedly" for every document.
 */

/* What became of a document: the `status` of the command line's JSON lines. */
enum quarn_outcome {
  QUARN_WRITTEN = 0, /* the text was written (reason non-empty: what the text lacks) */
  QUARN_NO_TEXT = 1, /* no text could be extracted; nothing was written */
  QUARN_FAILED = 2,  /* the document could not be read or the text not written; see reason */
  QUARN_SKIPPED = 3  /* left alone on purpose (batch runs' statuses; not returned by this version) */
};

/*
 * The settings of a conversion.  Start from quarn_options_init(), which sets
 * `size` and the defaults, then change what you need.  The library reads only
 * the first `size` bytes, so a program built against this header keeps
 * working with a later library that has added fields at the end.  Passing
 * NULL for the options means the defaults.
 */
typedef struct quarn_options {
  size_t size;                   /* sizeof(quarn_options), set by quarn_options_init */
  unsigned long timeout_seconds; /* give up a document after this long; 0: never (default 300) */
  unsigned long long memory_limit; /* bytes the converter may use; 0: no limit
                                      (default: the smaller of 4 GiB and half the memory) */
  int ocr;                       /* nonzero: read pictures and scanned pages by OCR (default 1) */
  const char *ocr_languages;     /* Tesseract languages, as "eng+deu"; NULL: $QUARN_OCR_LANG, else "eng" */
  const char *converter;         /* the quarn program to start; NULL: the one installed with
                                    this library */
} quarn_options;

/*
 * What one call did.  The library fills every field (it never reads the
 * struct first); the strings and the text belong to the result and are
 * released by quarn_result_free(), which must be called before the struct is
 * used for another call or goes out of scope.  Strings are paths and reasons
 * as bytes: UTF-8 where the names are, the file names' own bytes otherwise.
 */
typedef struct quarn_result {
  int outcome;                    /* an enum quarn_outcome */
  char *reason;                   /* why it failed or had no text, or what a written text
                                     lacks; "" for a whole text.  NULL only when memory ran out */
  char *output;                   /* the text file written; NULL when none */
  char *filter;                   /* what read the document: a built-in filter's name ("text",
                                     "rtf", "pdf"...), a plug-in's library file or "libpdfinfo";
                                     NULL when nothing did */
  unsigned long long input_bytes; /* the document's size in bytes (0: it could not be read) */
  unsigned long long text_chars;  /* characters (Unicode code points) of the text */
  long long pages;                /* the document's pages; -1 when not known */
  unsigned long ocr_pages;        /* pages or pictures whose text was read by OCR */
  unsigned long long milliseconds; /* the time the call took */
  char *text;                     /* quarn_convert_to_memory: the text, NUL-terminated; else NULL */
  size_t text_size;               /* its length in bytes, without the terminating NUL */
  void *reserved[8];              /* room for fields added later; set to zero */
} quarn_result;

/* Fills *options with the defaults and sets its size. */
void quarn_options_init(quarn_options *options);

/*
 * Converts the document at path into the text file out: a UTF-8 text file,
 * written atomically.  out NULL: beside the document, its extension replaced
 * by "txt" ("report.pdf" -> "report.txt"; a name without an extension gets
 * ".txt").  An out that names the document itself is refused (QUARN_FAILED).
 * options NULL: the defaults.  Returns result->outcome (QUARN_WRITTEN is 0);
 * result must not be NULL.
 */
int quarn_convert_file(const char *path, const char *out, const quarn_options *options, quarn_result *result);

/*
 * The same reading with no file written: on QUARN_WRITTEN the text is in
 * result->text (result->text_size bytes, followed by a NUL), owned by the result.
 */
int quarn_convert_to_memory(const char *path, const quarn_options *options, quarn_result *result);

/* Releases what the result holds and sets its pointers to NULL.  NULL is allowed. */
void quarn_result_free(quarn_result *result);

/* "written", "no_text", "failed" or "skipped" (the JSON lines' status); NULL for another value. */
const char *quarn_outcome_name(int outcome);

/* The library's version, as "1.2.3". */
const char *quarn_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_H */

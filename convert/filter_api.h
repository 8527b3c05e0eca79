/*
 * The filter plug-in interface: how Quarn asks a per-format plug-in for a
 * document's text.  Built-in filters and shared objects loaded with dlopen
 * implement the same C interface, so a third party can add a format without
 * linking against Quarn.
 *
 * Threading contract: Quarn creates one filter object per document and uses it
 * from one thread only, but two workers create and use filters of the same
 * class at the same time, so QuarnCreateFilter and everything a plug-in
 * shares between its objects must be reentrant.
 */
#ifndef QUARN_CONVERT_FILTER_API_H
#define QUARN_CONVERT_FILTER_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t QUARN_HRESULT;
typedef uint16_t QUARN_WCHAR; /* one UTF-16 code unit */

/* Status codes, with the values Windows gives them. */
#define QUARN_S_OK ((QUARN_HRESULT)0x00000000)
#define QUARN_E_FAIL ((QUARN_HRESULT)0x80004005)
#define QUARN_E_INVALIDARG ((QUARN_HRESULT)0x80070057)
#define QUARN_E_OUTOFMEMORY ((QUARN_HRESULT)0x8007000E)
#define QUARN_E_ACCESSDENIED ((QUARN_HRESULT)0x80070005)
#define QUARN_CLASS_E_CLASSNOTAVAILABLE ((QUARN_HRESULT)0x80040111)
#define QUARN_FILTER_E_END_OF_CHUNKS ((QUARN_HRESULT)0x80041700)
#define QUARN_FILTER_E_NO_MORE_TEXT ((QUARN_HRESULT)0x80041701)
#define QUARN_FILTER_E_ACCESS ((QUARN_HRESULT)0x80041703)
#define QUARN_FILTER_E_PASSWORD ((QUARN_HRESULT)0x8004170B)
#define QUARN_FILTER_E_UNKNOWNFORMAT ((QUARN_HRESULT)0x8004170C)
#define QUARN_FILTER_S_LAST_TEXT ((QUARN_HRESULT)0x00041709)

#define QUARN_SUCCEEDED(hr) (((QUARN_HRESULT)(hr)) >= 0)
#define QUARN_FAILED(hr) (((QUARN_HRESULT)(hr)) < 0)

/* The only flag Quarn passes to Init, and the open mode it passes to Load. */
#define QUARN_IFILTER_INIT_APPLY_INDEX_ATTRIBUTES 0x10u
#define QUARN_STGM_SHARE_DENY_NONE 0x40u

/* Chunk flags: bit 0 marks a chunk that carries text. */
#define QUARN_CHUNK_TEXT 0x1u
#define QUARN_CHUNK_VALUE 0x2u

/* Chunk break types. */
#define QUARN_CHUNK_NO_BREAK 0
#define QUARN_CHUNK_EOW 1
#define QUARN_CHUNK_EOS 2
#define QUARN_CHUNK_EOP 3
#define QUARN_CHUNK_EOC 4

typedef struct QuarnStatChunk {
  uint32_t id_chunk;
  uint32_t break_type;
  uint32_t flags;
  uint32_t locale;
  uint32_t id_chunk_source;
  uint32_t start_source;
  uint32_t len_source;
} QuarnStatChunk;

typedef struct QuarnFilter QuarnFilter;

typedef struct QuarnFilterVtbl {
  /* sizeof(QuarnFilterVtbl) as the plug-in was built; later members are
     present only when this size covers them. */
  uint32_t size;

  /* Opens the document.  path is UTF-16 and NUL-terminated; bytes of a
     native path that are not valid UTF-8 arrive as the lone surrogates
     U+DC80..U+DCFF (quarn_path_from_utf16 in filter_path.h undoes this). */
  QUARN_HRESULT (*load)(QuarnFilter* self, const QUARN_WCHAR* path, uint32_t mode);

  /* Prepares the text for reading.  *flags_out may be ignored by the caller. */
  QUARN_HRESULT (*init)(QuarnFilter* self, uint32_t init_flags, uint32_t attribute_count,
                        const void* attributes, uint32_t* flags_out);

  /* Moves to the next chunk.  QUARN_FILTER_E_END_OF_CHUNKS once there is no
     more, and on every call after that. */
  QUARN_HRESULT (*get_chunk)(QuarnFilter* self, QuarnStatChunk* chunk);

  /* Copies up to *count code units of the current chunk's text into buffer
     and sets *count to the number delivered.  QUARN_FILTER_E_NO_MORE_TEXT
     when the chunk has nothing left. */
  QUARN_HRESULT (*get_text)(QuarnFilter* self, uint32_t* count, QUARN_WCHAR* buffer);

  /* Frees the object.  Called exactly once, after which self is gone. */
  void (*release)(QuarnFilter* self);

  /* Optional (NULL allowed): why the document yielded no text or only part
     of it, as UTF-8, or NULL when there is nothing to say.  The text stays
     valid until the next call on this object. */
  const char* (*diagnostic)(QuarnFilter* self);

  /* Optional (NULL allowed): how many pages or pictures of the document were
     read by text recognition (OCR) instead of from text the document holds.
     Asked after the last chunk; 0 for none. */
  uint32_t (*recognized_pages)(QuarnFilter* self);

  /* Optional (NULL allowed): the document's pages (a presentation's slides)
     when the filter knows them cheaply, or -1 when it does not.  Asked after
     the last chunk. */
  int64_t (*page_count)(QuarnFilter* self);
} QuarnFilterVtbl;

struct QuarnFilter {
  const QuarnFilterVtbl* vtbl;
};

/* What a plug-in shared object exports.  class_id is the braced, upper-case
   class id the registry named; the plug-in creates a fresh object for it or
   returns QUARN_CLASS_E_CLASSNOTAVAILABLE. */
typedef QUARN_HRESULT (*QuarnCreateFilterFn)(const char* class_id, QuarnFilter** filter);
#define QUARN_CREATE_FILTER_SYMBOL "QuarnCreateFilter"

#ifdef __cplusplus
}
#endif

#endif /* QUARN_CONVERT_FILTER_API_H */

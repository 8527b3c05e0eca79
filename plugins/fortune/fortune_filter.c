/*
 * An example filter plug-in for Quarn, in plain C: it reads fortune-cookie
 * files (cookies separated by lines holding only "%") and hands each cookie
 * to Quarn as one chunk of text.  It shows everything a third-party filter
 * needs: the create function Quarn looks up with dlopen, the five operations,
 * and the optional diagnostic.  Build it as a shared object and register it
 * with a .reg file (see fortune.reg).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "convert/filter_api.h"
#include "convert/filter_path.h"

#define FORTUNE_CLASS_ID "{0F0E7A11-C00C-4E1E-9A5A-000000000001}"

typedef struct Fortune {
  QuarnFilter base; /* first, so a QuarnFilter* is a Fortune* */
  char* text;       /* the whole file, UTF-8 */
  size_t size;
  size_t chunk_start, chunk_end; /* the current cookie */
  size_t read_pos;               /* next byte of it to deliver */
  size_t next_start;             /* where the next cookie begins */
  const char* problem;
} Fortune;

static QUARN_HRESULT fortune_load(QuarnFilter* self, const QUARN_WCHAR* path, uint32_t mode) {
  Fortune* f = (Fortune*)self;
  char native[8192];
  (void)mode;
  if (quarn_path_from_utf16(path, native, sizeof native) == (size_t)-1 || native[0] == 0) {
    f->problem = "path too long";
    return QUARN_E_INVALIDARG;
  }
  FILE* in = fopen(native, "rb");
  if (!in) {
    f->problem = "cannot open the file";
    return QUARN_FILTER_E_ACCESS;
  }
  size_t cap = 4096, n = 0, got;
  char* buf = malloc(cap);
  while (buf && (got = fread(buf + n, 1, cap - n, in)) > 0) {
    n += got;
    if (n == cap && cap < ((size_t)64 << 20)) {
      char* bigger = realloc(buf, cap * 2);
      if (!bigger) break;
      buf = bigger;
      cap *= 2;
    } else if (n == cap) {
      break; /* a fortune file of 64 MiB is not one */
    }
  }
  fclose(in);
  if (!buf) return QUARN_E_OUTOFMEMORY;
  f->text = buf;
  f->size = n;
  return QUARN_S_OK;
}

static QUARN_HRESULT fortune_init(QuarnFilter* self, uint32_t flags, uint32_t count, const void* attrs,
                                  uint32_t* flags_out) {
  (void)self; (void)flags; (void)count; (void)attrs;
  if (flags_out) *flags_out = 0;
  return QUARN_S_OK;
}

/* A separator is a line holding only "%". */
static int is_separator(const Fortune* f, size_t line) {
  return line < f->size && f->text[line] == '%' &&
         (line + 1 == f->size || f->text[line + 1] == '\n' || f->text[line + 1] == '\r');
}

static QUARN_HRESULT fortune_get_chunk(QuarnFilter* self, QuarnStatChunk* chunk) {
  Fortune* f = (Fortune*)self;
  for (;;) {
    size_t start = f->next_start, pos = start;
    if (start >= f->size) return QUARN_FILTER_E_END_OF_CHUNKS;
    while (pos < f->size && !is_separator(f, pos)) {
      const char* nl = memchr(f->text + pos, '\n', f->size - pos);
      pos = nl ? (size_t)(nl - f->text) + 1 : f->size;
    }
    f->chunk_start = f->read_pos = start;
    f->chunk_end = pos;
    /* Skip the separator line itself. */
    const char* nl = pos < f->size ? memchr(f->text + pos, '\n', f->size - pos) : NULL;
    f->next_start = nl ? (size_t)(nl - f->text) + 1 : f->size;
    if (f->chunk_end == f->chunk_start) continue; /* an empty cookie */
    memset(chunk, 0, sizeof *chunk);
    chunk->flags = QUARN_CHUNK_TEXT;
    chunk->break_type = QUARN_CHUNK_EOP;
    return QUARN_S_OK;
  }
}

static QUARN_HRESULT fortune_get_text(QuarnFilter* self, uint32_t* count, QUARN_WCHAR* buffer) {
  Fortune* f = (Fortune*)self;
  uint32_t n = 0;
  while (f->read_pos < f->chunk_end && n + 2 <= *count) {
    uint32_t cp;
    size_t len = quarn_utf8_sequence((const unsigned char*)f->text + f->read_pos, f->chunk_end - f->read_pos, &cp);
    if (len == 0) { cp = 0xFFFD; len = 1; }
    if (cp >= 0x10000) {
      buffer[n++] = (QUARN_WCHAR)(0xD800 + ((cp - 0x10000) >> 10));
      buffer[n++] = (QUARN_WCHAR)(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      buffer[n++] = (QUARN_WCHAR)cp;
    }
    f->read_pos += len;
  }
  *count = n;
  return n == 0 ? QUARN_FILTER_E_NO_MORE_TEXT : QUARN_S_OK;
}

static void fortune_release(QuarnFilter* self) {
  Fortune* f = (Fortune*)self;
  free(f->text);
  free(f);
}

static const char* fortune_diagnostic(QuarnFilter* self) { return ((Fortune*)self)->problem; }

static const QuarnFilterVtbl fortune_vtbl = {
    sizeof(QuarnFilterVtbl), fortune_load, fortune_init, fortune_get_chunk, fortune_get_text,
    fortune_release,         fortune_diagnostic,  NULL, NULL,
};

__attribute__((visibility("default"))) QUARN_HRESULT QuarnCreateFilter(const char* class_id, QuarnFilter** out) {
  if (strcmp(class_id, FORTUNE_CLASS_ID) != 0) return QUARN_CLASS_E_CLASSNOTAVAILABLE;
  Fortune* f = calloc(1, sizeof *f);
  if (!f) return QUARN_E_OUTOFMEMORY;
  f->base.vtbl = &fortune_vtbl;
  *out = &f->base;
  return QUARN_S_OK;
}

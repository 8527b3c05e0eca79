/*
 * Paths between Quarn and its filter plug-ins.  Linux paths are byte strings;
 * the plug-in interface carries UTF-16.  Bytes that are valid UTF-8 travel as
 * their characters, every other byte b as the lone surrogate U+DC00 + b, so
 * any native path survives the round trip exactly.  Header-only C, so that
 * third-party plug-ins can use it without linking against Quarn.
 */
#ifndef QUARN_CONVERT_FILTER_PATH_H
#define QUARN_CONVERT_FILTER_PATH_H

#include <stddef.h>
#include <stdint.h>

#include "filter_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Length in bytes of the valid UTF-8 sequence at s (at most n bytes), with
   its code point in *cp; 0 when the bytes there are not valid UTF-8. */
static inline size_t quarn_utf8_sequence(const unsigned char* s, size_t n, uint32_t* cp) {
  if (n == 0) return 0;
  unsigned char c = s[0];
  if (c < 0x80) { *cp = c; return 1; }
  size_t len;
  uint32_t v, min;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; v = c & 0x1Fu; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; v = c & 0x0Fu; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; v = c & 0x07u; min = 0x10000; }
  else return 0;
  if (n < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (s[i] & 0x3Fu);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

/* Converts the UTF-16 path (NUL-terminated) to native bytes in out (room for
   out_size bytes including the terminator).  Returns the length written, or
   (size_t)-1 when it does not fit. */
static inline size_t quarn_path_from_utf16(const QUARN_WCHAR* path, char* out, size_t out_size) {
  size_t n = 0;
  for (size_t i = 0; path[i] != 0; ++i) {
    uint32_t u = path[i];
    unsigned char buf[4];
    size_t len;
    if (u >= 0xDC80 && u <= 0xDCFF) {
      buf[0] = (unsigned char)(u - 0xDC00); len = 1;
    } else {
      if (u >= 0xD800 && u <= 0xDBFF && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (path[i + 1] - 0xDC00u);
        ++i;
      } else if (u >= 0xD800 && u <= 0xDFFF) {
        u = 0xFFFD; /* a lone surrogate no native path could have produced */
      }
      if (u < 0x80) { buf[0] = (unsigned char)u; len = 1; }
      else if (u < 0x800) { buf[0] = (unsigned char)(0xC0 | (u >> 6)); buf[1] = (unsigned char)(0x80 | (u & 0x3F)); len = 2; }
      else if (u < 0x10000) { buf[0] = (unsigned char)(0xE0 | (u >> 12)); buf[1] = (unsigned char)(0x80 | ((u >> 6) & 0x3F)); buf[2] = (unsigned char)(0x80 | (u & 0x3F)); len = 3; }
      else { buf[0] = (unsigned char)(0xF0 | (u >> 18)); buf[1] = (unsigned char)(0x80 | ((u >> 12) & 0x3F)); buf[2] = (unsigned char)(0x80 | ((u >> 6) & 0x3F)); buf[3] = (unsigned char)(0x80 | (u & 0x3F)); len = 4; }
    }
    if (n + len + 1 > out_size) return (size_t)-1;
    for (size_t k = 0; k < len; ++k) out[n++] = (char)buf[k];
  }
  if (n + 1 > out_size) return (size_t)-1;
  out[n] = 0;
  return n;
}

/* Converts native bytes to a NUL-terminated UTF-16 path in out (room for
   out_units units including the terminator).  Returns the number of units
   written, or (size_t)-1 when it does not fit. */
static inline size_t quarn_path_to_utf16(const char* path, size_t len, QUARN_WCHAR* out, size_t out_units) {
  const unsigned char* s = (const unsigned char*)path;
  size_t n = 0;
  for (size_t i = 0; i < len;) {
    uint32_t cp;
    size_t step = quarn_utf8_sequence(s + i, len - i, &cp);
    if (step == 0) { cp = 0xDC00u + s[i]; step = 1; }
    if (cp >= 0x10000) {
      if (n + 3 > out_units) return (size_t)-1;
      out[n++] = (QUARN_WCHAR)(0xD800 + ((cp - 0x10000) >> 10));
      out[n++] = (QUARN_WCHAR)(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      if (n + 2 > out_units) return (size_t)-1;
      out[n++] = (QUARN_WCHAR)cp;
    }
    i += step;
  }
  if (n + 1 > out_units) return (size_t)-1;
  out[n] = 0;
  return n;
}

#ifdef __cplusplus
}
#endif

#endif /* QUARN_CONVERT_FILTER_PATH_H */

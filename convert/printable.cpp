#include "convert/printable.h"

#include <cstdio>
#include <cwchar>

#include "convert/charset.h"

namespace quarn {

namespace {

ShownChar Escaped(unsigned char byte) {
  switch (byte) {
    case '\n': return {"\\n", 2};
    case '\t': return {"\\t", 2};
    case '\r': return {"\\r", 2};
    case '\\': return {"\\\\", 2};
    default: break;
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02x", byte);
  return {buf, 4};
}

// Characters that change how the text around them is laid out: the C1
// controls and the bidirectional embeddings, overrides and isolates.
bool Reorders(char32_t cp) {
  return (cp >= 0x80 && cp < 0xA0) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::vector<ShownChar> ShownChars(std::string_view text, bool utf8) {
  std::vector<ShownChar> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20 || b == 0x7F || b == '\\') {
      out.push_back(Escaped(b));
      ++i;
      continue;
    }
    if (b < 0x80) {
      out.push_back({std::string(1, static_cast<char>(b)), 1});
      ++i;
      continue;
    }
    if (!utf8) {
      // In the single-byte sets 0x80 to 0x9F are controls (ISO 8859) or
      // letters (Windows code pages); shown escaped, they are safe in both.
      if (b < 0xA0) out.push_back(Escaped(b));
      else out.push_back({std::string(1, static_cast<char>(b)), 1});
      ++i;
      continue;
    }
    const std::size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    char32_t cp = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && i + len <= text.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= kMin[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!ok) {
      out.push_back(Escaped(b));
      ++i;
      continue;
    }
    if (Reorders(cp)) {
      for (std::size_t k = 0; k < len; ++k) out.push_back(Escaped(static_cast<unsigned char>(text[i + k])));
    } else {
      const int w = ::wcwidth(static_cast<wchar_t>(cp));
      out.push_back({std::string(text.substr(i, len)), w < 0 ? 1 : w});
    }
    i += len;
  }
  return out;
}

std::string PrintableText(std::string_view text, bool utf8) {
  std::string out;
  out.reserve(text.size());
  for (const ShownChar& c : ShownChars(text, utf8)) out += c.text;
  return out;
}

std::string PrintableText(std::string_view text) { return PrintableText(text, IsUtf8CodeSet(SystemCodeSet())); }

}  // namespace quarn

#include "convert/charset.h"

#include "convert/big_buffer.h"

#include <langinfo.h>

#include <cerrno>
#include <clocale>

#include "convert/filter_path.h"

namespace quarn {

bool IsUtf8CodeSet(std::string_view c) {
  auto eq = [&](std::string_view w) {
    if (c.size() != w.size()) return false;
    for (std::size_t i = 0; i < c.size(); ++i) {
      char a = c[i];
      if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
      if (a != w[i]) return false;
    }
    return true;
  };
  return c.empty() || eq("UTF-8") || eq("UTF8") || eq("ANSI_X3.4-1968") || eq("ASCII") ||
         eq("US-ASCII") || eq("POSIX");
}

void UseEnvironmentCharacterSet() {
  std::setlocale(LC_ALL, "C");
  std::setlocale(LC_CTYPE, "");
}

const std::string& SystemCodeSet() {
  // Read once, after the start-up's setlocale; the locale never changes later.
  static const std::string codeset = [] {
    const char* c = nl_langinfo(CODESET);
    std::string s = c ? c : "";
    return IsUtf8CodeSet(s) ? std::string("UTF-8") : s;
  }();
  return codeset;
}

Utf16ToCodePage::Utf16ToCodePage(const std::string& codeset) : utf8_(IsUtf8CodeSet(codeset)) {
  if (!utf8_) {
    cd_ = iconv_open(codeset.c_str(), "UTF-32LE");
    if (cd_ == reinterpret_cast<iconv_t>(-1)) utf8_ = true;  // unknown set: fall back to UTF-8
  }
}

Utf16ToCodePage::~Utf16ToCodePage() {
  if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16Le(std::string_view bytes, std::string& out) {
  auto unit = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), out);
        i += 2;
        continue;
      }
    }
    AppendUtf8(u, out);
  }
}

void Utf16ToCodePage::AppendCodePoint(char32_t cp, std::string& out) {
  if (utf8_) {
    AppendUtf8(cp, out);
    return;
  }
  if (cp < 0x80) {  // every supported code page keeps ASCII
    out.push_back(static_cast<char>(cp));
    return;
  }
  unsigned char in[4] = {static_cast<unsigned char>(cp), static_cast<unsigned char>(cp >> 8),
                         static_cast<unsigned char>(cp >> 16), static_cast<unsigned char>(cp >> 24)};
  char buf[16];
  char* inp = reinterpret_cast<char*>(in);
  std::size_t inleft = 4;
  char* outp = buf;
  std::size_t outleft = sizeof buf;
  if (iconv(cd_, &inp, &inleft, &outp, &outleft) == static_cast<std::size_t>(-1)) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.push_back(' ');
    return;
  }
  out.append(buf, static_cast<std::size_t>(outp - buf));
}

void Utf16ToCodePage::Append(std::u16string_view units, std::string& out) {
  std::size_t i = 0;
  if (pending_high_ && !units.empty()) {
    char16_t low = units[0];
    if (low >= 0xDC00 && low <= 0xDFFF) {
      AppendCodePoint(0x10000 + ((pending_high_ - 0xD800) << 10) + (low - 0xDC00), out);
      i = 1;
    } else {
      out.push_back(' ');
    }
    pending_high_ = 0;
  }
  const std::size_t n = units.size();
  if (utf8_) {
    // Fast path: the piece is encoded into one block of the worst-case size
    // (3 bytes per unit) and appended once, instead of byte by byte.
    const std::size_t start = out.size();
    GrowBuffer(out, 3 * (n - i));
    out.resize(start + 3 * (n - i));
    char* o = out.data() + start;
    auto put = [&o](char32_t cp) {
      if (cp < 0x800) {
        *o++ = static_cast<char>(0xC0 | (cp >> 6));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        *o++ = static_cast<char>(0xE0 | (cp >> 12));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        *o++ = static_cast<char>(0xF0 | (cp >> 18));
        *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
      }
    };
    while (i < n) {
      char16_t u = units[i];
      if (u < 0x80) {
        *o++ = static_cast<char>(u);
        ++i;
      } else if (u >= 0xD800 && u <= 0xDBFF) {
        if (i + 1 == n) {
          pending_high_ = u;
          break;
        }
        char16_t low = units[i + 1];
        if (low >= 0xDC00 && low <= 0xDFFF) {
          put(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));  // 4 bytes for 2 units
          i += 2;
        } else {
          *o++ = ' ';
          ++i;
        }
      } else if (u >= 0xDC00 && u <= 0xDFFF) {
        *o++ = ' ';
        ++i;
      } else {
        put(u);
        ++i;
      }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return;
  }
  for (; i < n; ++i) {
    char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == n) {
        pending_high_ = u;
        return;
      }
      char16_t low = units[i + 1];
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendCodePoint(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), out);
        ++i;
        continue;
      }
      out.push_back(' ');
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      out.push_back(' ');
    } else {
      AppendCodePoint(u, out);
    }
  }
}

void Utf16ToCodePage::Flush(std::string& out) {
  if (pending_high_) out.push_back(' ');
  pending_high_ = 0;
}

std::string Utf8ToCodePage(std::string_view utf8, const std::string& codeset) {
  if (IsUtf8CodeSet(codeset)) return std::string(utf8);
  Utf16ToCodePage conv(codeset);
  std::string out;
  std::u16string units;
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  for (std::size_t i = 0; i < utf8.size();) {
    uint32_t cp;
    std::size_t step = quarn_utf8_sequence(s + i, utf8.size() - i, &cp);
    if (step == 0) {
      cp = 0xFFFD;
      step = 1;
    }
    if (cp >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
    i += step;
  }
  conv.Append(units, out);
  conv.Flush(out);
  return out;
}

}  // namespace quarn

#include "convert/filters/package/xml_bytes.h"

#include <cstdint>
#include <cstring>

namespace quarn {
namespace {

// Windows-1252's characters for 0x80-0x9F (0: none there); 0xA0-0xFF are
// Latin-1's, the same code points.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A byte that is no part of a UTF-8 character, as the Windows-1252
// character it was most likely written for (U+FFFD where that has none).
void AppendStray(unsigned char b, std::string& out) {
  char32_t c = b >= 0xA0 ? char32_t{b} : char32_t{kCp1252High[b - 0x80]};
  AppendUtf8(c ? c : U'\uFFFD', out);
}

// The length of the well-formed UTF-8 character at s (1-4), 0 when the bytes
// there begin none, -1 when they may begin one that the bytes end before.
// Surrogates, overlong forms and U+FFFE/U+FFFF, which XML refuses, begin none.
int CharacterAt(const unsigned char* s, std::size_t left) {
  const unsigned char b = s[0];
  int n;
  char32_t min;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) n = 2, min = 0x80;
  else if (b >= 0xE0 && b <= 0xEF) n = 3, min = 0x800;
  else if (b >= 0xF0 && b <= 0xF4) n = 4, min = 0x10000;
  else return 0;
  char32_t c = b & (0x7F >> n);
  for (int i = 1; i < n; ++i) {
    if (static_cast<std::size_t>(i) >= left) return -1;
    if ((s[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (s[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) return 0;
  return n;
}

bool IsControl(unsigned char b) { return b < 0x20 && b != '\t' && b != '\n' && b != '\r'; }

}  // namespace

void XmlBytesCleaner::Decide(std::string_view start) {
  // UTF-16 and UTF-32 show a byte-order mark or a NUL in their first four
  // bytes; a declaration may name any other encoding.
  mode_ = Mode::kClean;
  const std::string_view head = start.substr(0, 4);
  if (head.starts_with("\xFE\xFF") || head.starts_with("\xFF\xFE") || head.find('\0') != std::string_view::npos) {
    mode_ = Mode::kAsIs;
    return;
  }
  if (start.starts_with("\xEF\xBB\xBF")) start.remove_prefix(3);
  if (!start.starts_with("<?xml")) return;
  const std::string_view declaration = start.substr(0, start.find("?>"));
  const std::size_t at = declaration.find("encoding");
  if (at == std::string_view::npos) return;
  const std::size_t quote = declaration.find_first_of("\"'", at);
  if (quote == std::string_view::npos) return;
  const std::size_t end = declaration.find(declaration[quote], quote + 1);
  std::string name(declaration.substr(quote + 1, end == std::string_view::npos ? 0 : end - quote - 1));
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (name != "utf-8" && name != "utf8") mode_ = Mode::kAsIs;
}

void XmlBytesCleaner::Clean(std::string_view bytes, bool at_end, std::string& out) {
  if (mode_ == Mode::kUndecided) {
    // Decided on the first bytes there are (a part's first read holds its
    // declaration whole).
    if (bytes.empty() && !at_end) return;
    Decide(bytes);
  }
  if (mode_ == Mode::kAsIs) {
    out.append(bytes);
    return;
  }
  std::string joined;
  if (!carry_.empty()) {
    joined = std::move(carry_) + std::string(bytes);
    carry_.clear();
    bytes = joined;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0, run = 0;  // the well-formed bytes from run to i are appended in one piece
  while (i < size) {
    // Eight printable ASCII bytes at a time: no high bit, and none below 0x20.
    for (std::uint64_t w; i + 8 <= size; i += 8) {
      std::memcpy(&w, s + i, 8);
      if ((w | ((w - 0x2020202020202020u) & ~w)) & 0x8080808080808080u) break;
    }
    if (i == size) break;
    const unsigned char b = s[i];
    if (b >= 0x20 && b < 0x80) {
      ++i;
      continue;
    }
    int n = IsControl(b) ? 0 : CharacterAt(s + i, size - i);
    if (n > 0) {
      i += static_cast<std::size_t>(n);
      continue;
    }
    out.append(bytes.substr(run, i - run));
    if (n < 0 && !at_end) {
      carry_.assign(bytes.substr(i));  // finished, or not, by the next bytes
      return;
    }
    if (IsControl(b)) out += ' ';
    else AppendStray(b, out);
    run = ++i;
  }
  out.append(bytes.substr(run));
}

}  // namespace quarn

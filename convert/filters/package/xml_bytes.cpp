#include "convert/filters/package/xml_bytes.h"

#include <cstdint>
#include <cstring>

#include "convert/filter_path.h"
#include "convert/filters/common/text_decode.h"

namespace quarn {
namespace {

// Whether the bytes at s are the start of a UTF-8 character that they end
// before: its lead byte and only continuation bytes after it.
bool CutShort(const unsigned char* s, std::size_t left) {
  const unsigned char b = s[0];
  const std::size_t want = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 0;
  if (left >= want) return false;
  for (std::size_t k = 1; k < left; ++k)
    if ((s[k] & 0xC0) != 0x80) return false;
  return true;
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
    // Well-formed UTF-8, but not U+FFFE and U+FFFF, which XML refuses.
    std::uint32_t cp = 0;
    const std::size_t n = IsControl(b) ? 0 : quarn_utf8_sequence(s + i, size - i, &cp);
    if (n > 0 && cp != 0xFFFE && cp != 0xFFFF) {
      i += n;
      continue;
    }
    out.append(bytes.substr(run, i - run));
    if (n == 0 && !at_end && CutShort(s + i, size - i)) {
      carry_.assign(bytes.substr(i));  // finished, or not, by the next bytes
      return;
    }
    // A control character as a space; a stray byte as the Windows-1252
    // character it was most likely written for.
    if (IsControl(b)) out += ' ';
    else AppendWindows1252(b, out);
    run = ++i;
  }
  out.append(bytes.substr(run));
}

}  // namespace quarn

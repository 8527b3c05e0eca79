#include "convert/filters/common/symbol_font.h"

#include <strings.h>

#include <cstdint>

#include "convert/charset.h"

namespace quarn {

namespace {

// The Symbol font's characters from 0x20 to 0xFF as Unicode; 0 where the
// glyph is a piece of a larger one (bracket and integral parts) or missing.
constexpr char16_t kSymbolFont[224] = {
    /* 20 */ u' ', u'!', u'\u2200', u'#', u'\u2203', u'%', u'&', u'\u220B',
    /* 28 */ u'(', u')', u'\u2217', u'+', u',', u'\u2212', u'.', u'/',
    /* 30 */ u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7',
    /* 38 */ u'8', u'9', u':', u';', u'<', u'=', u'>', u'?',
    /* 40 */ u'\u2245', u'Α', u'Β', u'Χ', u'Δ', u'Ε', u'Φ', u'Γ',
    /* 48 */ u'Η', u'Ι', u'ϑ', u'Κ', u'Λ', u'Μ', u'Ν', u'Ο',
    /* 50 */ u'Π', u'Θ', u'Ρ', u'Σ', u'Τ', u'Υ', u'ς', u'Ω',
    /* 58 */ u'Ξ', u'Ψ', u'Ζ', u'[', u'\u2234', u']', u'\u22A5', u'_',
    /* 60 */ 0, u'α', u'β', u'χ', u'δ', u'ε', u'φ', u'γ',
    /* 68 */ u'η', u'ι', u'ϕ', u'κ', u'λ', u'μ', u'ν', u'ο',
    /* 70 */ u'π', u'θ', u'ρ', u'σ', u'τ', u'υ', u'ϖ', u'ω',
    /* 78 */ u'ξ', u'ψ', u'ζ', u'{', u'|', u'}', u'\u223C', 0,
    /* 80 */ 0, 0, 0, 0, 0, 0, 0, 0,
    /* 88 */ 0, 0, 0, 0, 0, 0, 0, 0,
    /* 90 */ 0, 0, 0, 0, 0, 0, 0, 0,
    /* 98 */ 0, 0, 0, 0, 0, 0, 0, 0,
    /* A0 */ u'\u20AC', u'\u03D2', u'\u2032', u'\u2264', u'\u2044', u'\u221E', u'\u0192', u'\u2663',
    /* A8 */ u'\u2666', u'\u2665', u'\u2660', u'\u2194', u'\u2190', u'\u2191', u'\u2192', u'\u2193',
    /* B0 */ u'\u00B0', u'\u00B1', u'\u2033', u'\u2265', u'\u00D7', u'\u221D', u'\u2202', u'\u2022',
    /* B8 */ u'\u00F7', u'\u2260', u'\u2261', u'\u2248', u'\u2026', 0, 0, u'\u21B5',
    /* C0 */ u'\u2135', u'\u2111', u'\u211C', u'\u2118', u'\u2297', u'\u2295', u'\u2205', u'\u2229',
    /* C8 */ u'\u222A', u'\u2283', u'\u2287', u'\u2284', u'\u2282', u'\u2286', u'\u2208', u'\u2209',
    /* D0 */ u'\u2220', u'\u2207', u'\u00AE', u'\u00A9', u'\u2122', u'\u220F', u'\u221A', u'\u22C5',
    /* D8 */ u'\u00AC', u'\u2227', u'\u2228', u'\u21D4', u'\u21D0', u'\u21D1', u'\u21D2', u'\u21D3',
    /* E0 */ u'\u25CA', u'\u2329', u'\u00AE', u'\u00A9', u'\u2122', u'\u2211', 0, 0,
    /* E8 */ 0, 0, 0, 0, 0, 0, 0, 0,
    /* F0 */ 0, u'\u232A', u'\u222B', 0, 0, 0, 0, 0,
    /* F8 */ 0, 0, 0, 0, 0, 0, 0, 0,
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

bool IsWingdings2(std::string_view font) { return EqualsNoCase(font, "Wingdings 2") || EqualsNoCase(font, "Wingdings2"); }

// Wingdings 2's characters that mean something in text: the ticks, crosses
// and boxes of forms, bullets, shapes and circled numbers; 0 for its other
// pictures (pens, hands, clocks).
char32_t Wingdings2Char(char32_t code) {
  if (code >= 0x69 && code <= 0x73) return code == 0x69 ? U'\u24EA' : U'\u2460' + (code - 0x6A);  // ⓪ ① .. ⑩
  if (code >= 0x75 && code <= 0x7E) return U'\u2776' + (code - 0x75);  // ❶ .. ❿
  switch (code) {
    case 0x4F: return U'\u2717';  // a cross
    case 0x50: return U'\u2713';  // a tick
    case 0x51: case 0x53: case 0x54: return U'\u2612';  // a box with a cross
    case 0x52: return U'\u2611';  // a box with a tick
    case 0x74: return U'\u24FF';
    case 0x95: return U'\u2022';
    case 0x96: case 0x97: case 0x98: return U'\u25CF';
    case 0x9E: return U'\u29BF';
    case 0x9F: case 0xA0: case 0xA1: case 0xA2: return U'\u25A0';
    case 0xA3: return U'\u2610';  // an empty box
    case 0xA8: return U'\u25A3';
    case 0xAE: return U'\u25C6';
    case 0xAF: return U'\u25C7';
    case 0xB8: return U'\u25CA';
    case 0xF8: return U'\u203B';
    default: return 0;
  }
}

}  // namespace

bool IsSymbolFont(std::string_view font) {
  font = Trim(font);
  return EqualsNoCase(font, "Symbol") || EqualsNoCase(font, "Wingdings") || IsWingdings2(font);
}

char32_t SymbolChar(std::string_view font, char32_t code) {
  font = Trim(font);
  const bool symbol = EqualsNoCase(font, "Symbol"), wingdings = EqualsNoCase(font, "Wingdings");
  const bool wingdings2 = IsWingdings2(font);
  if (symbol || wingdings || wingdings2) {
    if (code >= 0xF000 && code <= 0xF0FF) code -= 0xF000;
    // Spaces between the pictures stay spaces.
    if (code == ' ' || code == '\t' || code == '\n' || code == '\r') return code;
    if (wingdings2 && code < 0x100) return Wingdings2Char(code);
    if (code < 0x100 && !wingdings2) {
      if (symbol) return code >= 0x20 ? kSymbolFont[code - 0x20] : 0;
      switch (code) {
        case 0x4A: return U'\u263A';  // a smiling face
        case 0x4C: return U'\u2639';  // a frowning face
        case 0x6C: return U'\u25CF';  // bullets: a circle, squares, diamonds
        case 0x6E: return U'\u25A0';
        case 0x6F: return U'\u25A1';
        case 0x71: return U'\u2751';
        case 0x75: return U'\u25C6';
        case 0x76: return U'\u2756';
        case 0xA7: return U'\u25AA';
        case 0xD8: return U'\u27A2';  // an arrowhead
        case 0xDF: case 0xE7: return U'\u2190';  // arrows
        case 0xE0: case 0xE8: return U'\u2192';
        case 0xE1: case 0xE9: return U'\u2191';
        case 0xE2: case 0xEA: return U'\u2193';
        case 0xA8: return U'\u2610';  // an empty box
        case 0xFB: return U'\u2717';  // a cross
        case 0xFC: return U'\u2713';  // a tick
        case 0xFD: return U'\u2612';  // a box with a cross
        case 0xFE: return U'\u2611';  // a box with a tick
        default: return 0;
      }
    }
  }
  if ((code >= 0xE000 && code <= 0xF8FF) || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return code;
}

std::string SymbolFontText(std::string_view font, std::string_view t, bool private_only) {
  std::string out;
  for (std::size_t at = 0; at < t.size();) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[at + i]); };
    char32_t code = 0;
    std::size_t len = 0;
    if (b(0) < 0x80) {
      code = b(0), len = 1;
    } else if ((b(0) == 0xC2 || b(0) == 0xC3) && at + 1 < t.size()) {
      code = static_cast<char32_t>(((b(0) & 0x1F) << 6) | (b(1) & 0x3F)), len = 2;
    } else if (b(0) == 0xEF && at + 2 < t.size() && b(1) >= 0x80 && b(1) <= 0x83) {
      code = static_cast<char32_t>(0xF000 | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F)), len = 3;
    }
    if (len == 0 || (private_only && len < 3)) {  // any other character stays as it is
      const std::size_t keep = len ? len : 1;
      out.append(t.substr(at, keep));
      at += keep;
      continue;
    }
    at += len;
    if (const char32_t shown = SymbolChar(font, code)) AppendUtf8(shown, out);
  }
  return out;
}

std::optional<SymbolField> ParseSymbolField(std::string_view code) {
  code = Trim(code);
  constexpr std::string_view kName = "SYMBOL";
  if (code.size() <= kName.size() || !EqualsNoCase(code.substr(0, kName.size()), kName) ||
      (code[kName.size()] != ' ' && code[kName.size()] != '\t'))
    return std::nullopt;
  code = Trim(code.substr(kName.size()));
  SymbolField field;
  std::uint32_t value = 0;
  std::size_t i = 0;
  int base = 10;
  if (code.size() > 2 && code[0] == '0' && (code[1] == 'x' || code[1] == 'X')) {
    base = 16;
    i = 2;
  }
  const std::size_t digits_start = i;
  for (; i < code.size(); ++i) {
    const char c = code[i];
    int d = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) break;
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    if (value > 0x10FFFF) return std::nullopt;
  }
  if (i == digits_start) return std::nullopt;
  field.code = value;
  // Switches: \f "font" (or \f font), \u (Unicode), \a (ANSI), \j (Shift-JIS),
  // \h, \s size: only the font and \u change the character.
  while (i < code.size()) {
    if (code[i] != '\\') {
      ++i;
      continue;
    }
    if (i + 1 >= code.size()) break;
    const char sw = code[i + 1];
    i += 2;
    if (sw == 'u' || sw == 'U') {
      field.unicode = true;
    } else if (sw == 'f' || sw == 'F') {
      while (i < code.size() && code[i] == ' ') ++i;
      std::size_t end;
      if (i < code.size() && code[i] == '"') {
        end = code.find('"', ++i);
        if (end == std::string_view::npos) end = code.size();
        field.font = std::string(code.substr(i, end - i));
        i = end + 1;
      } else {
        end = code.find_first_of(" \\", i);
        if (end == std::string_view::npos) end = code.size();
        field.font = std::string(code.substr(i, end - i));
        i = end;
      }
    }
  }
  return field;
}

std::string SymbolFieldText(std::string_view code, std::string_view text_font,
                            const std::function<std::string(char)>& decode_byte) {
  const std::optional<SymbolField> field = ParseSymbolField(code);
  if (!field) return {};
  const std::string_view font = field->font.empty() ? text_font : std::string_view(field->font);
  char32_t shown = field->code;
  if (IsSymbolFont(font)) {
    shown = SymbolChar(font, shown);
  } else if (!field->unicode && shown >= 0x80 && shown < 0x100) {
    return decode_byte(static_cast<char>(shown));
  } else {
    shown = SymbolChar({}, shown);
  }
  std::string out;
  if (shown >= 0x20) AppendUtf8(shown, out);
  return out;
}

}  // namespace quarn

#include "convert/filters/common/text_decode.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <uchardet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "convert/filter_path.h"

namespace quarn {

namespace {

constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::size_t kBlockBytes = 1024 * 1024;
// uchardet settles long before this (it reads about 10 MB/s); feeding it a
// whole 100 MB file would only cost time.
constexpr std::size_t kDetectorBytes = 512 * 1024;
constexpr char kReplacement[] = "\xEF\xBF\xBD";

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

bool IconvKnows(const std::string& charset) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

std::string BomCharset(std::string_view h, std::size_t* len) {
  auto starts = [&](std::string_view p) { return h.substr(0, p.size()) == p; };
  using namespace std::string_view_literals;
  // UTF-32LE's mark begins with UTF-16LE's: test the longer one first.
  if (starts("\xFF\xFE\x00\x00"sv)) return *len = 4, "UTF-32LE";
  if (starts("\x00\x00\xFE\xFF"sv)) return *len = 4, "UTF-32BE";
  if (starts("\xEF\xBB\xBF"sv)) return *len = 3, "UTF-8";
  if (starts("\xFF\xFE"sv)) return *len = 2, "UTF-16LE";
  if (starts("\xFE\xFF"sv)) return *len = 2, "UTF-16BE";
  return *len = 0, "";
}

// UTF-32 without a mark: every unit a valid code point, and the zero bytes
// that the high half of every unit holds.
std::string Utf32Pattern(std::string_view h) {
  const std::size_t units = h.size() / 4;
  if (units < 2) return {};
  const auto* s = reinterpret_cast<const unsigned char*>(h.data());
  for (int be = 0; be < 2; ++be) {
    std::size_t nul_units = 0;
    bool valid = true;
    for (std::size_t i = 0; i < units && valid; ++i) {
      const unsigned char* u = s + 4 * i;
      uint32_t v = be ? (uint32_t{u[0]} << 24 | uint32_t{u[1]} << 16 | uint32_t{u[2]} << 8 | u[3])
                      : (uint32_t{u[3]} << 24 | uint32_t{u[2]} << 16 | uint32_t{u[1]} << 8 | u[0]);
      valid = v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF);
      if (v == 0) ++nul_units;
    }
    if (valid && nul_units * 100 <= units) return be ? "UTF-32BE" : "UTF-32LE";
  }
  return {};
}

// UTF-16 without a mark: zero bytes in the high half of the units (Latin
// letters, digits, spaces, line ends) and hardly any in the low half, no
// U+0000 units, and surrogates in pairs.  Binary data has zeros in both.
std::string Utf16Pattern(std::string_view h) {
  const std::size_t units = h.size() / 2;
  if (units < 2) return {};
  const auto* s = reinterpret_cast<const unsigned char*>(h.data());
  std::size_t zero_even = 0, zero_odd = 0, nul_units = 0;
  for (std::size_t i = 0; i < units; ++i) {
    bool e = s[2 * i] == 0, o = s[2 * i + 1] == 0;
    zero_even += e;
    zero_odd += o;
    nul_units += e && o;
  }
  if (nul_units * 100 > units) return {};
  for (int be = 0; be < 2; ++be) {
    std::size_t high = be ? zero_even : zero_odd;  // zero high bytes
    std::size_t low = be ? zero_odd : zero_even;
    if (high < 2 || high * 100 < units || low * 10 > high || low * 50 > units + 50) continue;
    bool paired = true;
    for (std::size_t i = 0; i < units && paired; ++i) {
      uint32_t u = be ? (uint32_t{s[2 * i]} << 8 | s[2 * i + 1]) : (uint32_t{s[2 * i + 1]} << 8 | s[2 * i]);
      if (u >= 0xDC00 && u <= 0xDFFF) paired = false;
      if (u >= 0xD800 && u <= 0xDBFF) {
        if (i + 1 == units) break;  // the pair may be cut by the end of the head
        uint32_t n = be ? (uint32_t{s[2 * i + 2]} << 8 | s[2 * i + 3]) : (uint32_t{s[2 * i + 3]} << 8 | s[2 * i + 2]);
        paired = n >= 0xDC00 && n <= 0xDFFF;
        ++i;
      }
    }
    if (paired) return be ? "UTF-16BE" : "UTF-16LE";
  }
  return {};
}

// Text never holds many NULs or control characters other than white space
// and the escape and shift bytes of ISO-2022.  A few stray NULs (padding,
// a damaged copy) do not make a text binary: a tenth of the bytes, or a
// twentieth with other control bytes, does.
bool LooksBinary(std::string_view h, std::string* why) {
  std::size_t nul = 0, control = 0;
  for (unsigned char c : h) {
    if (c == 0) ++nul;
    else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 0x1B && c != 0x0E &&
             c != 0x0F)
      ++control;
  }
  if (nul > 0 && nul * 10 >= h.size()) {
    *why = "binary data, not text: " + std::to_string(nul) + " NUL bytes in the first " +
           std::to_string(h.size()) + " bytes";
    return true;
  }
  // Random or compressed bytes hold about one control byte in ten; text in
  // any character set hardly any besides white space.
  if ((nul + control) * 20 >= h.size() && h.size() >= 16) {
    *why = "binary data, not text: " + std::to_string(nul + control) + " control bytes in the first " +
           std::to_string(h.size()) + " bytes";
    return true;
  }
  return false;
}

// EBCDIC text (the IBM code pages 037 and 500): the space is 0x40, letters
// and digits lie above 0x80, and ASCII's space hardly occurs.  The two code
// pages differ in a few punctuation marks; their brackets tell them apart.
std::string EbcdicCharset(std::string_view h) {
  if (h.size() < 32) return {};
  std::size_t space = 0, ascii_space = 0, alnum = 0;
  std::size_t count[256] = {};
  for (unsigned char c : h) {
    ++count[c];
    if (c == 0x40) ++space;
    else if (c == 0x20) ++ascii_space;
    else if ((c >= 0x81 && c <= 0x89) || (c >= 0x91 && c <= 0x99) || (c >= 0xA2 && c <= 0xA9) ||
             (c >= 0xC1 && c <= 0xC9) || (c >= 0xD1 && c <= 0xD9) || (c >= 0xE2 && c <= 0xE9) ||
             (c >= 0xF0 && c <= 0xF9))
      ++alnum;
  }
  if (space * 100 < h.size() * 5 || ascii_space * 10 > space || alnum * 2 < h.size()) return {};
  // "[" and "]" are 0xBA and 0xBB in 037, 0x4A and 0x5A in 500, where 0x4F
  // is the "!" that 037 writes as 0x5A.
  if (count[0xBA] && count[0xBB]) return "IBM037";
  if ((count[0x4A] && count[0x5A]) || count[0x4F] > count[0x5A]) return "IBM500";
  return "IBM037";
}

// Text converted to UTF-32LE code points by iconv; *invalid counts the
// bytes that do not belong to the character set (a sequence cut by the end
// of the text is no fault).
std::u32string DecodeCodePoints(std::string_view bytes, const char* charset, std::size_t* invalid) {
  std::u32string out;
  *invalid = 0;
  iconv_t cd = iconv_open("UTF-32LE", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    *invalid = bytes.size();
    return out;
  }
  std::string buf(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  char* o = buf.data();
  std::size_t o_left = buf.size();
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &o, &o_left) != static_cast<std::size_t>(-1)) break;
    if (errno != EILSEQ) break;  // EINVAL: cut at the end
    ++*invalid;
    ++in;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  const std::size_t n = (buf.size() - o_left) / 4;
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto* b = reinterpret_cast<const unsigned char*>(buf.data() + 4 * i);
    out[i] = char32_t{b[0]} | char32_t{b[1]} << 8 | char32_t{b[2]} << 16 | char32_t{b[3]} << 24;
  }
  return out;
}

// Korean text in Johab, which detectors take for the usual Korean code page
// (CP949): decoded as Johab it is clean and its syllables are the common
// ones (those KS X 1001 has), decoded as CP949 it is not.
bool LooksLikeJohab(std::string_view h) {
  std::size_t johab_invalid = 0, uhc_invalid = 0;
  std::u32string johab = DecodeCodePoints(h, "JOHAB", &johab_invalid);
  if (johab_invalid * 100 > h.size()) return false;
  iconv_t ks = iconv_open("EUC-KR", "UTF-32LE");
  if (ks == reinterpret_cast<iconv_t>(-1)) return false;
  auto common = [&](const std::u32string& text, std::size_t* syllables) {
    std::size_t n = 0;
    *syllables = 0;
    for (char32_t c : text) {
      if (c < 0xAC00 || c > 0xD7A3) continue;
      ++*syllables;
      unsigned char in[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8), 0, 0};
      char* ip = reinterpret_cast<char*>(in);
      std::size_t il = 4;
      char out[8];
      char* op = out;
      std::size_t ol = sizeof out;
      iconv(ks, nullptr, nullptr, nullptr, nullptr);
      if (iconv(ks, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1)) ++n;
    }
    return n;
  };
  std::size_t johab_syllables = 0, uhc_syllables = 0;
  std::size_t johab_common = common(johab, &johab_syllables);
  std::u32string uhc = DecodeCodePoints(h, "CP949", &uhc_invalid);
  std::size_t uhc_common = common(uhc, &uhc_syllables);
  iconv_close(ks);
  return johab_syllables >= 8 && johab_common * 10 >= johab_syllables * 9 && johab_common > uhc_common + uhc_invalid;
}

// The detectors name the common form of a Chinese or Japanese character set;
// text that uses the characters of its wider form (Hong Kong's
// supplementary set, Microsoft's Big5 additions, the JIS X 0213 kanji) has
// bytes that the common form does not know.  The form with the fewest such
// bytes in the head is taken; a tie keeps the detector's.
std::string WidestFitting(std::string_view head, const std::string& charset) {
  std::vector<const char*> wider;
  if (charset == "BIG5") wider = {"CP950", "BIG5-HKSCS"};
  else if (charset == "EUC-JP") wider = {"EUC-JISX0213"};
  else if (charset == "CP932") wider = {"SHIFT_JISX0213"};
  if (wider.empty()) return charset;
  std::size_t best = 0;
  DecodeCodePoints(head, charset.c_str(), &best);
  std::string chosen = charset;
  for (const char* w : wider) {
    if (best == 0) break;
    std::size_t invalid = 0;
    DecodeCodePoints(head, w, &invalid);
    if (invalid < best) {
      best = invalid;
      chosen = w;
    }
  }
  return chosen;
}

// Text of Western and Central Europe written on DOS (code pages 850, 437
// and 852) or on a classic Mac (Mac Roman, Mac Central European) keeps its
// accented letters where Windows' code pages have punctuation, symbols or
// nothing, and detectors take it for a Windows or ISO code page: every "ü"
// of a German letter came out as a stray symbol.  Each reading of the
// non-ASCII bytes is scored by how they sit among the ASCII letters of
// words (a letter in a word, in the case the word has; quotes, apostrophes,
// dashes, no-break spaces where text puts them), and DOS's box drawing by
// its runs; another reading than the detector's is taken only when it is
// clearly better.
namespace latin {

bool AsciiLetter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool AsciiLower(char32_t c) { return c >= 'a' && c <= 'z'; }

// The letters of the Latin-1 and Latin Extended-A blocks and Romanian's, by
// case (DOS's Greek letters are its mathematical signs).
bool Upper(char32_t c) {
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= 0xC0 && c <= 0xDE) return c != 0xD7;
  if (c >= 0x100 && c <= 0x17F)
    return c == 0x178 || (c <= 0x137 && c % 2 == 0) || (c >= 0x139 && c <= 0x148 && c % 2 == 1) ||
           (c >= 0x14A && c <= 0x177 && c % 2 == 0) || c == 0x179 || c == 0x17B || c == 0x17D;
  return c == 0x218 || c == 0x21A;  // Romanian's S and T with a comma below
}
bool Lower(char32_t c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 0xDF && c <= 0xFF) return c != 0xF7;
  return (c >= 0x100 && c <= 0x17F && !Upper(c)) || c == 0x219 || c == 0x21B;
}
bool Letter(char32_t c) { return Upper(c) || Lower(c); }
bool BoxDrawing(char32_t c) { return c >= 0x2500 && c <= 0x259F; }

struct Reading {
  const char* charset;
  std::array<char32_t, 128> high{};  // the non-ASCII bytes' characters, 0 where the set has none
};

Reading MakeReading(const char* charset) {
  Reading r{charset, {}};
  iconv_t cd = iconv_open("UTF-32LE", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return r;
  for (int b = 0x80; b <= 0xFF; ++b) {
    char byte = static_cast<char>(b);
    unsigned char out[8] = {};
    char* in = &byte;
    char* o = reinterpret_cast<char*>(out);
    std::size_t in_left = 1, out_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &in_left, &o, &out_left) != static_cast<std::size_t>(-1) && out_left == sizeof out - 4)
      r.high[b - 0x80] = char32_t{out[0]} | char32_t{out[1]} << 8 | char32_t{out[2]} << 16 | char32_t{out[3]} << 24;
  }
  iconv_close(cd);
  return r;
}

// Typographic punctuation where text puts it: an opening quote before a
// word, a closing quote or an ellipsis or a trade mark after one, an
// apostrophe, a dash or a middle dot inside one, a currency sign at a number.
bool Typographic(char32_t c, char32_t prev, char32_t next) {
  const bool before = Letter(prev), after = Letter(next);
  switch (c) {
    case 0x201C: case 0x2018: case 0x201E: case 0xAB: case 0x2039: return !before && after;
    case 0x201D: case 0xBB: case 0x203A: return before && !after;
    case 0x2019: return before;
    case 0xB7: return (prev == 'l' || prev == 'L') && (next == 'l' || next == 'L');  // Catalan's "l·l"
    case 0x2013: case 0x2014: return (before && after) || (prev == ' ' && next == ' ');
    case 0x2026: case 0x2122: case 0xAE: return before;
    case 0x20AC: case 0xA3: return (prev >= '0' && prev <= '9') || (next >= '0' && next <= '9') || next == ' ';
    case 0x2022: return next == ' ' && (prev == ' ' || prev == '\n');
    default: return false;
  }
}

long Score(std::string_view h, const Reading& r) {
  auto at = [&](std::size_t i) -> char32_t {
    const auto b = static_cast<unsigned char>(h[i]);
    return b < 0x80 ? char32_t{b} : r.high[b - 0x80];
  };
  long score = 0;
  for (std::size_t i = 0; i < h.size(); ++i) {
    const auto b = static_cast<unsigned char>(h[i]);
    if (b < 0x80) continue;
    const char32_t c = r.high[b - 0x80];
    const char32_t prev = i > 0 ? at(i - 1) : U' ', next = i + 1 < h.size() ? at(i + 1) : U' ';
    // An elided word ("l'àvia") goes on after its apostrophe.
    const bool before = AsciiLetter(prev) || (prev == '\'' && i >= 2 && AsciiLetter(at(i - 2)));
    const bool after = AsciiLetter(next);
    if (c == 0 || (c >= 0x80 && c < 0xA0)) {
      score -= 3;
    } else if (Letter(c)) {
      // Small letters are what words hold; a capital, or a small letter
      // starting a word (what a quote becomes in another reading), less so.
      if (before) score += Lower(c) ? 2 : 1;
      else if (after) score += 1;
      if (Upper(c) && AsciiLower(prev)) score -= 4;  // "MŸnchen", "donÆt"
      if (Lower(c) && after && !AsciiLower(next)) score -= 4;  // "ôHello", "MarcáWeingarten"
    } else if (c == 0xA0 || c == 0xAD) {
      // A no-break space or a soft hyphen among words: as common as a letter.
      if (before || after) score += 2;
    } else if (Typographic(c, prev, next)) {
      score += 2;
    } else if (BoxDrawing(c)) {
      // Frames and shading come in runs.
      score += BoxDrawing(prev) || BoxDrawing(next) ? 1 : -1;
    } else if (before && after) {
      score -= 2;
    }
  }
  return score;
}

}  // namespace latin

}  // namespace

void AppendWindows1252(unsigned char b, std::string& out) {
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  const char32_t cp = b < 0xA0 ? kHigh[b - 0x80] : char32_t{b};
  if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

namespace {

// The non-ASCII bytes of text: how many UTF-8 sequences of more than one
// byte they form, and how many stray bytes belong to none.
struct Utf8Tally {
  std::size_t sequences = 0, stray = 0;
};
Utf8Tally TallyUtf8(std::string_view bytes) {
  Utf8Tally t;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    uint32_t cp = 0;
    const std::size_t n = quarn_utf8_sequence(p + i, bytes.size() - i, &cp);
    if (n > 1) {
      ++t.sequences;
      i += n;
    } else {
      ++t.stray;
      ++i;
    }
  }
  return t;
}

// Text that is UTF-8 but for a few stray bytes (a line pasted from an old
// file, a log written by two programs): most of its non-ASCII bytes form
// UTF-8 sequences, which text in a single-byte code page practically never
// does by chance.
bool MostlyUtf8(std::string_view h) {
  const Utf8Tally t = TallyUtf8(h);
  return t.sequences >= 4 && t.sequences >= 2 * t.stray;
}

// The single-byte character sets of Latin script that detectors name for
// text of DOS or the Mac.
bool LatinSingleByte(const std::string& c) {
  static constexpr std::string_view kSets[] = {
      "WINDOWS-1252", "WINDOWS-1250", "WINDOWS-1254", "WINDOWS-1257", "ISO-8859-2",  "ISO-8859-3",
      "ISO-8859-4",   "ISO-8859-10",  "ISO-8859-13",  "ISO-8859-15",  "ISO-8859-16", "MACINTOSH",
      "MAC-CENTRALEUROPE", "IBM852", "CP852"};
  return std::find(std::begin(kSets), std::end(kSets), c) != std::end(kSets);
}

std::string LatinReading(std::string_view head, const std::string& charset) {
  if (!LatinSingleByte(charset)) return charset;
  std::size_t high = 0;
  for (char c : head) high += static_cast<unsigned char>(c) >= 0x80;
  if (high == 0) return charset;
  // Made once: iconv's tables do not change.
  // In the order ties go: Windows, then DOS's Western European code page
  // before the American one, then the Mac, then Central Europe's.
  static const std::array<latin::Reading, 6> kReadings = {
      latin::MakeReading("WINDOWS-1252"), latin::MakeReading("CP850"),  latin::MakeReading("CP437"),
      latin::MakeReading("MACINTOSH"),    latin::MakeReading("CP852"), latin::MakeReading("MAC-CENTRALEUROPE")};
  // The detector's reading: one of those made already, or made now.
  const auto known = std::find_if(kReadings.begin(), kReadings.end(),
                                  [&](const latin::Reading& r) { return r.charset == charset; });
  const long detected =
      latin::Score(head, known != kReadings.end() ? *known : latin::MakeReading(charset.c_str()));
  long best = detected;
  const char* chosen = nullptr;
  for (const latin::Reading& r : kReadings) {
    if (r.charset == charset) continue;
    const long score = latin::Score(head, r);
    if (score > best) {
      best = score;
      chosen = r.charset;
    }
  }
  const long margin = std::max<long>(6, static_cast<long>(high / 4));
  return chosen && best >= detected + margin ? chosen : charset;
}

// Validates UTF-8 across block boundaries, one byte at a time with the
// ranges that rule out overlong forms, surrogates and values past U+10FFFF.
class Utf8Check {
 public:
  void Feed(std::string_view block) {
    const auto* p = reinterpret_cast<const unsigned char*>(block.data());
    const std::size_t n = block.size();
    for (std::size_t i = 0; i < n && valid_; ++i) {
      unsigned char c = p[i];
      if (need_ == 0) {
        if (c < 0x80) {
          // Skip runs of ASCII eight bytes at a time.
          while (i + 8 < n) {
            uint64_t w;
            std::memcpy(&w, p + i + 1, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
          }
          continue;
        }
        lo_ = 0x80;
        hi_ = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) need_ = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
          need_ = 2;
          if (c == 0xE0) lo_ = 0xA0;
          if (c == 0xED) hi_ = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
          need_ = 3;
          if (c == 0xF0) lo_ = 0x90;
          if (c == 0xF4) hi_ = 0x8F;
        } else {
          valid_ = false;
        }
      } else {
        if (c < lo_ || c > hi_) valid_ = false;
        --need_;
        lo_ = 0x80;
        hi_ = 0xBF;
      }
    }
  }
  bool Finish() const { return valid_ && need_ == 0; }
  bool valid() const { return valid_; }

 private:
  bool valid_ = true;
  int need_ = 0;
  unsigned char lo_ = 0x80, hi_ = 0xBF;
};

// Feeds uchardet the neighbourhood of the non-ASCII bytes only: long ASCII
// stretches drown its statistics (a page of English with a little Japanese
// comes out as ISO-8859-1).  Escape-based encodings (ISO-2022) are all
// ASCII, so a block with ESC is fed whole.
// Returns the number of bytes fed.
template <class Feed>
std::size_t FeedDetector(Feed&& feed, std::string_view b, bool whole) {
  if (whole) {
    feed(b);
    return b.size();
  }
  std::size_t fed = 0;
  constexpr std::size_t kContext = 32, kGap = 64;
  const auto* p = reinterpret_cast<const unsigned char*>(b.data());
  const std::size_t n = b.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && p[i] < 0x80) ++i;
    if (i == n) break;
    std::size_t start = i > kContext ? i - kContext : 0;
    std::size_t last = i;
    for (std::size_t e = i; e < n && e - last <= kGap; ++e)
      if (p[e] >= 0x80) last = e;
    std::size_t end = std::min(n, last + 1 + kContext);
    feed(b.substr(start, end - start));
    fed += end - start;
    i = end;
  }
  return fed;
}

// uchardet, loaded the first time a text is not UTF-8: most text is, and a
// program started for one document should not pay for loading it.
struct Detector {
  decltype(&uchardet_new) make;
  decltype(&uchardet_delete) free;
  decltype(&uchardet_handle_data) feed;
  decltype(&uchardet_data_end) end;
  decltype(&uchardet_get_charset) charset;
};

template <typename Fn>
bool Bind(void* library, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(dlsym(library, name));
  return *fn != nullptr;
}

// Null when the library cannot be loaded: the text is then read without
// detection, as when the detector cannot be made.
const Detector* LoadDetector() {
  static const std::optional<Detector> loaded = []() -> std::optional<Detector> {
    // Kept loaded for the life of the process.
    void* library = dlopen("libuchardet.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) return std::nullopt;
    Detector d{};
    if (Bind(library, "uchardet_new", &d.make) && Bind(library, "uchardet_delete", &d.free) &&
        Bind(library, "uchardet_handle_data", &d.feed) && Bind(library, "uchardet_data_end", &d.end) &&
        Bind(library, "uchardet_get_charset", &d.charset))
      return d;
    return std::nullopt;
  }();
  return loaded ? &*loaded : nullptr;
}

struct UchardetDeleter {
  void operator()(uchardet_t u) const { LoadDetector()->free(u); }
};

}  // namespace

bool IsSingleByteCharset(std::string_view charset) {
  static constexpr std::string_view kPrefixes[] = {"ISO-8859-", "WINDOWS-125", "CP125", "KOI8-",  "CP874", "IBM8",
                                                   "CP8",       "MAC",         "VISCII", "IBM037", "IBM500"};
  const std::string c = UpperAscii(charset);
  for (std::string_view p : kPrefixes)
    if (c.rfind(p, 0) == 0) return true;
  return false;
}

bool LooksLikeBinary(std::string_view head) {
  std::string why;
  return LooksBinary(head, &why);
}

bool LooksLikeText(std::string_view head) {
  if (head.empty()) return false;
  if (head.starts_with("\xEF\xBB\xBF") || head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF")) return true;
  // Stricter than the text filter's own test: the name says the file is
  // something else, so the bytes must leave no doubt.
  std::size_t control = 0;
  for (unsigned char c : head) {
    if (c == 0) return false;
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B) ++control;
  }
  return control * 100 <= head.size() && (control == 0 || head.size() >= 100);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  Utf8Check check;
  check.Feed(bytes);
  return check.Finish();
}

std::string LabelledCharset(std::string_view bytes, std::string_view charset) {
  const std::string named = CharsetForLabel(charset);
  if (IsSingleByteCharset(named)) {
    // UTF-8 labelled with a single-byte code page: only UTF-8 text is valid
    // UTF-8 with letters beyond ASCII in it.
    const bool beyond_ascii = std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; });
    return beyond_ascii && IsValidUtf8(bytes) ? std::string("UTF-8") : std::string(charset);
  }
  if (named != "UTF-8" || IsValidUtf8(bytes)) return std::string(charset);
  const Utf8Tally tally = TallyUtf8(bytes);
  if (tally.sequences > tally.stray) return std::string(charset);
  MemorySource src(bytes);
  const CharsetGuess guess = DetectCharset(src);
  return guess.binary || guess.charset.empty() ? std::string("windows-1252") : guess.charset;
}

std::size_t MemorySource::Read(char* buf, std::size_t n) {
  std::size_t k = std::min(n, bytes_.size() - pos_);
  std::memcpy(buf, bytes_.data() + pos_, k);
  pos_ += k;
  return k;
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileSource::Open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

std::size_t FileSource::Read(char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    ssize_t k = ::read(fd_, buf + got, n - got);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) throw std::runtime_error(std::string("cannot read the document: ") + std::strerror(errno));
    if (k == 0) break;
    got += static_cast<std::size_t>(k);
  }
  return got;
}

bool FileSource::Rewind() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }

std::optional<std::uint64_t> FileSource::Size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t ReadBufferFor(const ByteSource& src, std::size_t most) {
  constexpr std::size_t kLeast = 4096;
  const std::optional<std::uint64_t> size = src.Size();
  if (!size || *size >= most) return most;
  return std::max(kLeast, static_cast<std::size_t>(*size) + 1);
}

std::string CharsetForLabel(std::string_view label) {
  // Trim white space and quotes around the label.
  while (!label.empty() && (label.front() == ' ' || label.front() == '"' || label.front() == '\'' ||
                            label.front() == '\t'))
    label.remove_prefix(1);
  while (!label.empty() && (label.back() == ' ' || label.back() == '"' || label.back() == '\'' ||
                            label.back() == '\t' || label.back() == ';'))
    label.remove_suffix(1);
  if (label.empty() || label.size() > 40) return {};
  std::string u = UpperAscii(label);
  struct Alias {
    std::string_view label, charset;
  };
  static constexpr Alias kAliases[] = {
      {"UTF8", "UTF-8"},           {"UNICODE-1-1-UTF-8", "UTF-8"}, {"ISO-8859-1", "WINDOWS-1252"},
      {"ISO8859-1", "WINDOWS-1252"}, {"LATIN1", "WINDOWS-1252"},  {"L1", "WINDOWS-1252"},
      {"US-ASCII", "WINDOWS-1252"}, {"ASCII", "WINDOWS-1252"},    {"ISO_8859-1", "WINDOWS-1252"},
      {"CP1252", "WINDOWS-1252"},   {"X-SJIS", "CP932"},          {"SHIFT_JIS", "CP932"},
      {"SHIFT-JIS", "CP932"},       {"SJIS", "CP932"},            {"MS_KANJI", "CP932"},
      {"WINDOWS-31J", "CP932"},     {"GB2312", "GB18030"},        {"GBK", "GB18030"},
      {"X-GBK", "GB18030"},         {"CHINESE", "GB18030"},       {"KS_C_5601-1987", "CP949"},
      {"EUC-KR", "CP949"},          {"KOREAN", "CP949"},          {"BIG5-HKSCS", "BIG5-HKSCS"},
      {"X-MAC-ROMAN", "MACINTOSH"}, {"MAC", "MACINTOSH"},         {"X-MAC-CYRILLIC", "MAC-CYRILLIC"},
      {"UTF-16", "UTF-16LE"},       {"UNICODE", "UTF-16LE"},      {"UCS-2", "UTF-16LE"},
      {"CSUNICODE", "UTF-16LE"},    {"ISO-10646-UCS-2", "UTF-16LE"}, {"UNICODEFEFF", "UTF-16LE"},
      {"UNICODEFFFE", "UTF-16BE"},  {"ISO-8859-9", "WINDOWS-1254"}, {"TIS-620", "CP874"},
      {"ISO-8859-11", "CP874"},     {"WINDOWS-874", "CP874"},
  };
  for (const Alias& a : kAliases)
    if (u == a.label) return std::string(a.charset);
  return IconvKnows(u) ? u : std::string();
}

CharsetGuess DetectCharset(ByteSource& src, const DetectOptions& options) {
  CharsetGuess g;
  // Uninitialised: read() fills what it returns, so a small file costs a page.
  const std::size_t buffer_size = ReadBufferFor(src, kBlockBytes);
  auto buffer = std::make_unique_for_overwrite<char[]>(buffer_size);
  std::string_view block(buffer.get(), src.Read(buffer.get(), std::min(kHeadBytes, buffer_size)));
  const std::string head(block);

  auto done = [&](std::string charset, std::string how) {
    g.charset = std::move(charset);
    g.how = std::move(how);
    if (!src.Rewind()) throw std::runtime_error("cannot read the document again");
    return g;
  };

  std::string bom = BomCharset(head, &g.bom);
  if (!bom.empty()) return done(bom, "byte-order mark");
  // A single-byte character set, given or declared, holds unless the bytes
  // are UTF-8 with letters beyond ASCII (UTF-8 text labelled with the code
  // page of the program that sent or saved it), which genuine text in such
  // a code page practically never is.
  std::string single_byte;
  if (!options.hint.empty()) {
    std::string c = CharsetForLabel(options.hint);
    if (IsSingleByteCharset(c)) single_byte = c;
    else if (!c.empty()) return done(c, "given");
  }
  // A given character set is taken whatever the bytes look like.
  if (single_byte.empty()) {
    std::string wide = Utf32Pattern(head);
    if (wide.empty()) wide = Utf16Pattern(head);
    if (!wide.empty()) return done(wide, "NUL pattern");
    if (LooksBinary(head, &g.why)) {
      g.binary = true;
      return done("", "binary");
    }
  }
  bool declared_utf8 = false;
  if (options.declared) {
    std::string c = CharsetForLabel(options.declared(head));
    // A document that can declare itself in ASCII is not UTF-16 or UTF-32:
    // browsers read such a declaration as UTF-8.
    if (c.rfind("UTF-16", 0) == 0 || c.rfind("UTF-32", 0) == 0) c = "UTF-8";
    // A declaration of UTF-8 holds only where the bytes are UTF-8: pages
    // saved in another character set keep the declaration they were
    // written with, and then detection knows better.
    if (c == "UTF-8") declared_utf8 = true;
    else if (IsSingleByteCharset(c) && single_byte.empty()) single_byte = c;
    else if (!c.empty() && single_byte.empty()) return done(c, "declared");
  }

  Utf8Check utf8;
  bool ascii = true;
  const bool escapes = head.find('\x1B') != std::string::npos;
  // The detector is made only when its answer can matter: for text with
  // escapes (ISO-2022 is valid 7-bit UTF-8 too), or once the bytes are not
  // UTF-8.  Until then what it would be fed waits here (at most about
  // kDetectorBytes), so valid UTF-8, the common case, never reaches it.
  std::unique_ptr<std::remove_pointer_t<uchardet_t>, UchardetDeleter> detector;
  bool detector_made = false;
  std::vector<std::string> waiting;
  const Detector* api = nullptr;
  auto feed = [&](std::string_view part) {
    if (detector) api->feed(detector.get(), part.data(), part.size());
    else if (!detector_made) waiting.emplace_back(part);
  };
  auto need_detector = [&] {
    if (detector_made) return;
    detector_made = true;
    api = LoadDetector();
    if (api) detector.reset(api->make());
    if (detector)
      for (const std::string& part : waiting) api->feed(detector.get(), part.data(), part.size());
    std::vector<std::string>().swap(waiting);
  };
  if (escapes && single_byte.empty()) need_detector();
  std::size_t fed = 0;
  while (!block.empty()) {
    utf8.Feed(block);
    // Once the bytes are not UTF-8, the single-byte character set holds.
    if (!single_byte.empty() && !utf8.valid()) return done(single_byte, options.hint.empty() ? "declared" : "given");
    if (!utf8.valid()) need_detector();
    if (ascii)
      for (unsigned char c : block)
        if (c >= 0x80) {
          ascii = false;
          break;
        }
    // While a declared UTF-8 holds, or while UTF-8 may overrule a single-byte
    // character set, the detector has nothing to do.
    if (fed < kDetectorBytes && !(declared_utf8 && utf8.valid()) && single_byte.empty())
      fed += FeedDetector(feed, block, escapes);
    if (!utf8.valid() && fed >= kDetectorBytes) break;
    block = std::string_view(buffer.get(), src.Read(buffer.get(), buffer_size));
  }
  const bool valid_utf8 = utf8.Finish();
  if (!single_byte.empty()) {
    if (valid_utf8 && !ascii) return done("UTF-8", "valid UTF-8 over its label");
    return done(single_byte, options.hint.empty() ? "declared" : "given");
  }
  if (!valid_utf8) need_detector();
  std::string label;
  if (detector) {
    api->end(detector.get());
    const char* name = api->charset(detector.get());
    label = name ? name : "";
  }
  // ISO-2022 text is 7-bit, so it is valid UTF-8 too: its escapes decide.
  if (escapes && UpperAscii(label).rfind("ISO-2022-", 0) == 0) {
    std::string c = CharsetForLabel(label);
    if (!c.empty()) return done(c, "detected");
  }
  if (valid_utf8) return done("UTF-8", declared_utf8 ? "declared" : ascii ? "ASCII" : "valid UTF-8");
  if (MostlyUtf8(head)) return done("UTF-8", "mostly UTF-8");
  // Character sets the detector does not know.
  if (std::string ebcdic = EbcdicCharset(head); !ebcdic.empty()) return done(ebcdic, "detected");
  if (!escapes && LooksLikeJohab(head)) return done("JOHAB", "detected");
  // (A detector that names UTF-8 for bytes that are not is no help.)
  if (!label.empty() && UpperAscii(label) != "ASCII" && UpperAscii(label) != "UTF-8") {
    std::string c = CharsetForLabel(label);
    if (!c.empty()) return done(LatinReading(head, WidestFitting(head, c)), "detected");
  }
  return done(LatinReading(head, "WINDOWS-1252"), "fallback");
}

TextDecoder::TextDecoder(const std::string& charset) {
  std::string c = UpperAscii(charset);
  if (c == "UTF-8") kind_ = Kind::kUtf8;
  else if (c == "UTF-16LE") kind_ = Kind::kUtf16LE;
  else if (c == "UTF-16BE") kind_ = Kind::kUtf16BE;
  else if (c == "UTF-32LE") kind_ = Kind::kUtf32LE;
  else if (c == "UTF-32BE") kind_ = Kind::kUtf32BE;
  else if (BuildByteTable(c)) kind_ = Kind::kSingleByte;
  else {
    kind_ = Kind::kIconv;
    iconv_t cd = iconv_open("UTF-8", c.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("cannot decode the character set " + charset);
    cd_ = cd;
  }
}

bool TextDecoder::BuildByteTable(const std::string& c) {
  // Windows-1258 is left out: iconv composes its combining accents with the
  // letter before them.
  if (!IsSingleByteCharset(c) || c == "WINDOWS-1258" || c == "CP1258") return false;
  iconv_t cd = iconv_open("UTF-8", c.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  auto table = std::make_unique<std::string[]>(256);
  bool single = true;
  for (int b = 0; b < 256 && single; ++b) {
    char in = static_cast<char>(b);
    char buf[16];
    char* ip = &in;
    std::size_t il = 1;
    char* op = buf;
    std::size_t ol = sizeof buf;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<std::size_t>(-1)) {
      if (errno != EILSEQ) single = false;  // a lead byte: not single-byte after all
      continue;
    }
    table[b].assign(buf, sizeof buf - ol);
    if (table[b].empty()) single = false;  // a byte that only changes state
  }
  iconv_close(cd);
  if (!single) return false;
  // EBCDIC keeps nothing of ASCII in its lower half.
  for (int b = 0; b < 0x80 && ascii_compatible_; ++b)
    ascii_compatible_ = table[b].size() == 1 && table[b][0] == static_cast<char>(b);
  table_ = std::move(table);
  return true;
}

TextDecoder::~TextDecoder() {
  if (cd_) iconv_close(static_cast<iconv_t>(cd_));
}

void TextDecoder::Decode(std::string_view bytes, std::string& out) {
  if (bytes.empty()) return;
  std::string joined;
  if (!tail_.empty()) {
    joined = std::move(tail_);
    tail_.clear();
    joined.append(bytes);
    bytes = joined;
  }
  if (kind_ == Kind::kIconv) return DecodeIconv(bytes, out);

  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  out.reserve(out.size() + n + n / 2);
  switch (kind_) {
    case Kind::kUtf8:
      while (i < n) {
        // Runs of ASCII are copied as they are.
        std::size_t run = i;
        while (run < n && p[run] < 0x80) ++run;
        out.append(bytes.data() + i, run - i);
        i = run;
        if (i == n) break;
        uint32_t cp;
        std::size_t len = quarn_utf8_sequence(p + i, n - i, &cp);
        if (len) {
          out.append(bytes.data() + i, len);
          i += len;
          continue;
        }
        // A sequence cut by the block boundary waits for the rest.
        std::size_t want = p[i] >= 0xF0 && p[i] <= 0xF4 ? 4 : p[i] >= 0xE0 && p[i] <= 0xEF ? 3 : p[i] >= 0xC2 && p[i] <= 0xDF ? 2 : 0;
        if (want && n - i < want) {
          bool prefix = true;
          for (std::size_t k = i + 1; k < n; ++k) prefix = prefix && (p[k] & 0xC0) == 0x80;
          if (prefix) {
            tail_.assign(bytes.substr(i));
            return;
          }
        }
        // A stray byte of a single-byte code page (a letter among ASCII):
        // as Windows' code page has it; the pieces of a broken sequence
        // are replacement characters.
        const bool continuation = p[i] < 0xC0;
        const bool broken = continuation ? i > 0 && p[i - 1] >= 0x80 : i + 1 < n && p[i + 1] >= 0x80 && p[i + 1] < 0xC0;
        if (broken) out += kReplacement;
        else AppendWindows1252(p[i], out);
        ++i;
      }
      return;
    case Kind::kUtf16LE:
    case Kind::kUtf16BE: {
      const bool be = kind_ == Kind::kUtf16BE;
      auto unit = [&](std::size_t k) {
        return be ? (uint32_t{p[k]} << 8 | p[k + 1]) : (uint32_t{p[k + 1]} << 8 | p[k]);
      };
      // At most 3 bytes of UTF-8 per unit (a pair of units makes 4).
      const std::size_t base = out.size();
      out.resize(base + (n / 2) * 3);
      char* w = out.data() + base;
      auto put = [&](uint32_t cp) {
        if (cp < 0x800) {
          *w++ = static_cast<char>(0xC0 | (cp >> 6));
          *w++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
          *w++ = static_cast<char>(0xE0 | (cp >> 12));
          *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          *w++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          *w++ = static_cast<char>(0xF0 | (cp >> 18));
          *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
          *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          *w++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
      };
      while (i + 2 <= n) {
        uint32_t u = unit(i);
        if (u < 0x80) {
          *w++ = static_cast<char>(u);
          i += 2;
        } else if (u >= 0xD800 && u <= 0xDBFF) {
          if (i + 4 > n) break;  // the low surrogate may be in the next block
          uint32_t lo = unit(i + 2);
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            put(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
            i += 4;
          } else {
            put(0xFFFD);
            i += 2;
          }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
          put(0xFFFD);
          i += 2;
        } else {
          put(u);
          i += 2;
        }
      }
      out.resize(static_cast<std::size_t>(w - out.data()));
      if (i < n) tail_.assign(bytes.substr(i));
      return;
    }
    case Kind::kUtf32LE:
    case Kind::kUtf32BE: {
      const bool be = kind_ == Kind::kUtf32BE;
      for (; i + 4 <= n; i += 4) {
        uint32_t v = be ? (uint32_t{p[i]} << 24 | uint32_t{p[i + 1]} << 16 | uint32_t{p[i + 2]} << 8 | p[i + 3])
                        : (uint32_t{p[i + 3]} << 24 | uint32_t{p[i + 2]} << 16 | uint32_t{p[i + 1]} << 8 | p[i]);
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) out += kReplacement;
        else AppendUtf8(v, out);
      }
      if (i < n) tail_.assign(bytes.substr(i));
      return;
    }
    case Kind::kSingleByte: {
      const std::size_t base = out.size();
      out.resize(base + n * 3);
      char* w = out.data() + base;
      for (; i < n; ++i) {
        if (p[i] < 0x80 && ascii_compatible_) {
          *w++ = static_cast<char>(p[i]);
          continue;
        }
        const std::string& u = table_[p[i]];
        const std::string_view c = u.empty() ? std::string_view(kReplacement) : std::string_view(u);
        for (char ch : c) *w++ = ch;
      }
      out.resize(static_cast<std::size_t>(w - out.data()));
      return;
    }
    case Kind::kIconv:
      break;
  }
}

void TextDecoder::DecodeIconv(std::string_view bytes, std::string& out) {
  auto cd = static_cast<iconv_t>(cd_);
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  std::vector<char> buf(std::max<std::size_t>(4096, bytes.size() * 3 + 16));
  while (in_left > 0) {
    char* o = buf.data();
    std::size_t o_left = buf.size();
    std::size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    out.append(buf.data(), buf.size() - o_left);
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) {
      // An incomplete sequence at the end: wait for the next block.
      tail_.assign(in, in_left);
      return;
    }
    // EILSEQ: one byte that does not belong; show it and go on after it.
    out += kReplacement;
    ++in;
    --in_left;
  }
}

void TextDecoder::Finish(std::string& out) {
  if (!tail_.empty()) out += kReplacement;
  tail_.clear();
  if (kind_ == Kind::kIconv) {
    // Stateful encodings (ISO-2022) may have a shift sequence to flush.
    char buf[64];
    char* o = buf;
    std::size_t o_left = sizeof buf;
    iconv(static_cast<iconv_t>(cd_), nullptr, nullptr, &o, &o_left);
    out.append(buf, sizeof buf - o_left);
  }
}

std::string DecodeToUtf8(std::string_view bytes, std::string_view charset) {
  std::string name;
  std::size_t skip = 0;
  if (charset.empty()) {
    MemorySource src(bytes);
    CharsetGuess g = DetectCharset(src);
    name = g.charset.empty() ? "WINDOWS-1252" : g.charset;
    skip = g.bom;
  } else {
    name = CharsetForLabel(charset);
    if (name.empty()) name = "WINDOWS-1252";
  }
  TextDecoder decoder(name);
  std::string out;
  decoder.Decode(bytes.substr(skip), out);
  decoder.Finish(out);
  return out;
}

}  // namespace quarn

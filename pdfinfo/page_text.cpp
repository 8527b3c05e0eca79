#include "pdfinfo/page_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <mupdf/ucdn.h>

namespace quarn::pdf {

namespace {

// ---- characters --------------------------------------------------------------

bool IsRtl(char32_t c) {
  return (c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFF) ||
         (c >= 0x10800 && c <= 0x10FFF) || (c >= 0x1E800 && c <= 0x1EFFF);
}

// Marks that sit on the letter before them (accents, Hebrew points, Arabic vowels).
bool IsCombining(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) ||
         (c >= 0x0591 && c <= 0x05C7 && c != 0x05BE && c != 0x05C0 && c != 0x05C3 && c != 0x05C6) ||
         (c >= 0x0610 && c <= 0x061A) || (c >= 0x064B && c <= 0x065F) || c == 0x0670 || (c >= 0x06D6 && c <= 0x06ED);
}

bool IsDigit(char32_t c) { return (c >= '0' && c <= '9') || (c >= 0x660 && c <= 0x669) || (c >= 0x6F0 && c <= 0x6F9); }

bool IsSpace(char32_t c) { return c == ' ' || c == '\t' || c == 0xA0 || (c >= 0x2000 && c <= 0x200B) || c == 0x3000; }

// Letters of the left-to-right scripts, roughly: ASCII letters and the
// non-ASCII characters that are neither right-to-left, digits, spaces nor
// punctuation and symbols.
bool IsLtrLetter(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (IsRtl(c) || IsDigit(c) || IsSpace(c)) return false;
  if (c < 0xC0 || c == 0xD7 || c == 0xF7) return false;
  if ((c >= 0x2000 && c <= 0x2BFF) || (c >= 0x3000 && c <= 0x303F) || (c >= 0xFE10 && c <= 0xFE6F) ||
      (c >= 0xFF00 && c <= 0xFF0F))
    return false;
  return true;
}

// Arabic's digits, the marks on letters, and Arabic's comma, semicolon,
// question mark, percent sign, decimal and thousands separators and full
// stop lie among the right-to-left letters in Unicode but are none: digits
// read left to right in right-to-left text, and a mark goes with its letter.
bool IsLetter(char32_t c) {
  return IsLtrLetter(c) || (IsRtl(c) && !IsDigit(c) && !IsCombining(c) && c != 0x060C && c != 0x061B &&
                            c != 0x061F && !(c >= 0x066A && c <= 0x066D) && c != 0x06D4);
}

bool IsRtlLetter(char32_t c) { return IsRtl(c) && IsLetter(c); }

// Upper-case letters of the Latin, Greek and Cyrillic alphabets.
bool IsUpper(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) ||
         (c >= 0x400 && c <= 0x42F);
}

char32_t Lower(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x391 && c <= 0x3A9) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

// The character a Zapf Dingbats code shows, for fonts of that name whose
// codes reach the text as ASCII (as the check marks of form fields that
// MuPDF draws itself do): most codes are the Dingbats block in order, the
// rest shapes Unicode had before it.
char32_t FromDingbats(char32_t c) {
  switch (c) {
    case 0x25: return 0x260E;  // telephone
    case 0x2A: return 0x261B;  // pointing hands
    case 0x2B: return 0x261E;
    case 0x48: return 0x2605;  // star
    case 0x6C: return 0x25CF;  // circle
    case 0x6E: return 0x25A0;  // square
    case 0x73: return 0x25B2;  // triangles
    case 0x74: return 0x25BC;
    case 0x75: return 0x25C6;  // diamond
    case 0x77: return 0x25D7;  // half circle
    default: return c > 0x20 && c < 0x7F ? 0x2700 + (c - 0x20) : c;
  }
}

bool IsDingbatsFont(const fz_font* font) {
  return font && std::strstr(font->name, "Dingbats") != nullptr;
}

// The letters a ligature character stands for; empty for other characters.
const char32_t* LigatureLetters(char32_t c) {
  switch (c) {
    case 0xFB00: return U"ff";
    case 0xFB01: return U"fi";
    case 0xFB02: return U"fl";
    case 0xFB03: return U"ffi";
    case 0xFB04: return U"ffl";
    case 0xFB05: return U"st";  // long s and t
    case 0xFB06: return U"st";
    default: return nullptr;
  }
}

char32_t Mirrored(char32_t c) {
  switch (c) {
    case '(': return ')';
    case ')': return '(';
    case '[': return ']';
    case ']': return '[';
    case '{': return '}';
    case '}': return '{';
    case '<': return '>';
    case '>': return '<';
    case 0xAB: return 0xBB;
    case 0xBB: return 0xAB;
    default: return c;
  }
}

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x20 && c != '\t') c = ' ';  // a NUL would end the text early
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c <= 0x10FFFF) {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out += "\xEF\xBF\xBD";
  }
}

// Writes a character, the letters it stands for where it is a presentation
// form of Arabic or Hebrew: a letter's initial, medial or final shape, a
// ligature such as lam-alef, a letter with its points.  Fonts that shape
// those scripts map their glyphs to the forms, which read the same but
// match no search for the words; the letters come in reading order.  The
// form of a mark standing alone is a space and the mark: the mark goes
// with the letter before it.
void AppendLetters(char32_t c, std::string& out) {
  if ((c >= 0xFB1D && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFC)) {
    std::uint32_t letters[18];
    const int n = ucdn_compat_decompose(c, letters);
    if (n > 0) {
      for (int i = n > 1 && letters[0] == ' ' && IsCombining(letters[1]) ? 1 : 0; i < n; ++i)
        AppendUtf8(letters[i], out);
      return;
    }
  }
  AppendUtf8(c, out);
}

// ---- right-to-left text --------------------------------------------------------

// What one glyph stands for: its character, the rest of the characters the
// font maps the glyph to, and the marks on it, in reading order.
using Unit = std::u32string;

enum class Direction { kNeutral, kLtr, kRtl, kNumber };

Direction DirectionOf(const Unit& u) {
  bool digit = false;
  for (char32_t c : u) {
    if (IsRtlLetter(c)) return Direction::kRtl;
    if (IsLtrLetter(c)) return Direction::kLtr;
    digit = digit || IsDigit(c);
  }
  return digit ? Direction::kNumber : Direction::kNeutral;
}

// Reverses units [from, to], mirroring the brackets among them.
void ReverseUnits(std::vector<Unit>& u, std::size_t from, std::size_t to) {
  std::reverse(u.begin() + static_cast<std::ptrdiff_t>(from), u.begin() + static_cast<std::ptrdiff_t>(to) + 1);
  for (std::size_t i = from; i <= to; ++i)
    if (u[i].size() == 1) u[i][0] = Mirrored(u[i][0]);
}

// Reverses each run of units that starts and ends with a unit of one of
// the directions wanted and holds none of the opposite; neutral units
// inside the run go with it.
template <typename Wanted, typename Opposite>
void ReverseRuns(std::vector<Unit>& u, Wanted wanted, Opposite opposite) {
  for (std::size_t i = 0; i < u.size(); ++i) {
    if (!wanted(DirectionOf(u[i]))) continue;
    std::size_t last = i;
    for (std::size_t j = i + 1; j < u.size(); ++j) {
      Direction d = DirectionOf(u[j]);
      if (opposite(d)) break;
      if (wanted(d)) last = j;
    }
    if (last > i) ReverseUnits(u, i, last);
    i = last;
  }
}

// A line laid out left to right, as PDF producers draw right-to-left
// scripts, in the order it is read: a line of mostly right-to-left words is
// read from its right end, with the left-to-right words and numbers in it
// kept as they are; in a line of mostly left-to-right words only its
// right-to-left runs turn round, numbers in them kept.
std::u32string VisualToLogical(std::vector<Unit> u) {
  std::size_t rtl = 0, ltr = 0;
  for (const Unit& unit : u)
    for (char32_t c : unit) {
      if (IsRtlLetter(c)) ++rtl;
      else if (IsLtrLetter(c)) ++ltr;
    }
  auto is_rtl = [](Direction d) { return d == Direction::kRtl; };
  auto is_ltr = [](Direction d) { return d == Direction::kLtr; };
  auto is_number = [](Direction d) { return d == Direction::kNumber; };
  if (rtl > ltr) {
    if (!u.empty()) ReverseUnits(u, 0, u.size() - 1);
    ReverseRuns(u, [](Direction d) { return d == Direction::kLtr || d == Direction::kNumber; }, is_rtl);
  } else {
    for (std::size_t i = 0; i < u.size(); ++i) {
      if (!is_rtl(DirectionOf(u[i]))) continue;
      std::size_t last = i;
      for (std::size_t j = i + 1; j < u.size() && !is_ltr(DirectionOf(u[j])); ++j)
        if (is_rtl(DirectionOf(u[j]))) last = j;
      ReverseUnits(u, i, last);
      // The numbers in the run read left to right again.
      std::vector<Unit> run(u.begin() + static_cast<std::ptrdiff_t>(i), u.begin() + static_cast<std::ptrdiff_t>(last) + 1);
      ReverseRuns(run, is_number, [](Direction d) { return d != Direction::kNumber && d != Direction::kNeutral; });
      std::copy(run.begin(), run.end(), u.begin() + static_cast<std::ptrdiff_t>(i));
      i = last;
    }
  }
  std::u32string out;
  for (const Unit& unit : u) out += unit;
  return out;
}

// ---- lines and columns ---------------------------------------------------------

struct Glyph {
  char32_t c;
  float x0, x1, y0, y1;
};

struct Piece {
  std::vector<Glyph> glyphs;
  int block = 0;
  float x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  float baseline = 0, size = 0;  // of the line's first glyph and its largest font, as MuPDF read the line
  bool horizontal = true;
  bool placed = false;  // drawn by a form field or an annotation, over the page
  bool rtl = false;     // holds a right-to-left letter

  void Bound() {
    x0 = y0 = 1e30f;
    x1 = y1 = -1e30f;
    for (const Glyph& g : glyphs) {
      if (IsSpace(g.c)) continue;
      x0 = std::min(x0, g.x0);
      x1 = std::max(x1, g.x1);
      y0 = std::min(y0, g.y0);
      y1 = std::max(y1, g.y1);
    }
  }
  bool visible() const { return x1 >= x0; }
  float width() const { return x1 - x0; }
};

float Median(std::vector<float> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Scripts written without spaces between words, whose justified lines
// spread every character apart.
bool IsUnspaced(char32_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x0E00 && c <= 0x0EFF) || (c >= 0x1000 && c <= 0x109F) ||
         (c >= 0x1780 && c <= 0x17FF) || c >= 0x20000;
}

// The combining mark of an accent drawn as a glyph of its own (as
// typesetters without accented glyphs place them); 0 for other characters.
char32_t CombiningFormOf(char32_t accent) {
  switch (accent) {
    case 0x00B4: case 0x02CA: return 0x0301;  // acute
    case 0x0060: case 0x02CB: return 0x0300;  // grave
    case 0x00A8: return 0x0308;               // diaeresis
    case 0x005E: case 0x02C6: return 0x0302;  // circumflex
    case 0x007E: case 0x02DC: return 0x0303;  // tilde
    case 0x00AF: case 0x02C9: return 0x0304;  // macron
    case 0x02D8: return 0x0306;               // breve
    case 0x02D9: return 0x0307;               // dot above
    case 0x02DA: return 0x030A;               // ring
    case 0x02DD: return 0x030B;               // double acute
    case 0x02C7: return 0x030C;               // caron
    case 0x00B8: return 0x0327;               // cedilla
    case 0x02DB: return 0x0328;               // ogonek
    default: return 0;
  }
}

// Puts accents drawn as glyphs of their own onto their letter: an accent
// whose middle lies over the letter before or after it follows that letter
// as its combining mark ("e´" and "´e" are both "e" and U+0301).
void ComposeAccents(std::vector<Glyph>& glyphs) {
  std::vector<Glyph> out;
  out.reserve(glyphs.size());
  for (std::size_t i = 0; i < glyphs.size(); ++i) {
    const Glyph& a = glyphs[i];
    const char32_t mark = CombiningFormOf(a.c);
    const float middle = (a.x0 + a.x1) / 2;
    auto over = [&](const Glyph& letter) { return IsLetter(letter.c) && middle >= letter.x0 && middle <= letter.x1; };
    if (mark && !out.empty() && over(out.back())) {
      Glyph m = out.back();
      m.c = mark;
      out.push_back(m);
      continue;
    }
    if (mark && i + 1 < glyphs.size() && over(glyphs[i + 1])) {
      Glyph m = glyphs[i + 1];
      out.push_back(m);
      m.c = mark;
      out.push_back(m);
      ++i;
      continue;
    }
    out.push_back(a);
  }
  glyphs = std::move(out);
}

// What AddDrawnSpaces needs to know of each glyph's font.
struct GlyphFont {
  float size = 0;
  bool italic = false;
};

// Adds the spaces a left-to-right line shows but does not draw: tightly set
// or justified text places its words apart without space characters, and
// MuPDF takes a gap of a tenth of an em for kerning.  A gap is a word break
// when it is wider than a tenth of the larger font size beyond the line's
// usual gap between letters (which letter-spaced titles widen).  A gap after
// an italic letter is its slant's room more often (formulas set in a math
// italic font), and is left alone.
void AddDrawnSpaces(Piece& p, const std::vector<GlyphFont>& fonts) {
  if (!p.horizontal || p.glyphs.size() < 3) return;
  std::vector<float> gaps;
  for (std::size_t i = 1; i < p.glyphs.size(); ++i)
    if (!IsSpace(p.glyphs[i].c) && !IsSpace(p.glyphs[i - 1].c)) gaps.push_back(p.glyphs[i].x0 - p.glyphs[i - 1].x1);
  if (gaps.empty()) return;
  const float usual = std::max(0.0f, Median(std::move(gaps)));
  std::vector<Glyph> spaced;
  spaced.reserve(p.glyphs.size() + 8);
  // The glyph before the gap: a mark's box lies over its letter, not at the
  // end of the word, so the letter it sits on is that glyph.  The marks
  // drawn since then (marks_at on) are that letter's, or the next one's
  // when right-to-left words are drawn from their left end: a space goes
  // after them or before them.
  std::size_t before = 0, marks_at = 0;
  for (std::size_t i = 0; i < p.glyphs.size(); ++i) {
    const Glyph& g = p.glyphs[i];
    if (i > 0 && !IsCombining(g.c)) {
      const Glyph& prev = p.glyphs[before];
      const float em = std::max(fonts[before].size, fonts[i].size);
      const float gap = g.x0 - prev.x1;
      // Only a letter or digit starts a word: a gap before punctuation or a
      // symbol is an italic letter's overhang ("f (x)", "M.") more often.
      // Right-to-left words drawn from their left end, as most producers
      // draw them, are set apart the same way.
      const bool starts_word = (IsLetter(g.c) || IsDigit(g.c)) && !IsUnspaced(g.c);
      if (starts_word && !fonts[before].italic && !IsSpace(prev.c) && !IsUnspaced(prev.c) && em > 0 &&
          gap > usual + 0.1f * em && gap < 3 * em) {
        const Glyph space{U' ', prev.x1, g.x0, std::min(prev.y0, g.y0), std::max(prev.y1, g.y1)};
        const bool marks_of_next = IsRtlLetter(g.c) && (!IsRtlLetter(prev.c) || g.x0 > prev.x0);
        spaced.insert(marks_of_next ? spaced.begin() + static_cast<std::ptrdiff_t>(marks_at) : spaced.end(), space);
      }
    }
    spaced.push_back(g);
    if (i == 0 || !IsCombining(g.c)) {
      before = i;
      marks_at = spaced.size();
    }
  }
  p.glyphs = std::move(spaced);
}

// Letter-spaced text (titles set with wide tracking): MuPDF puts a space
// into every gap wider than a few tenths of an em, so each letter stands
// alone ("C O N T E N T S").  A run of five or more one-letter words
// (letters or digits: a leader's dots and a formula's symbols are not), set no
// more than 0.8 em apart, is letter-spaced when its letters are capitals
// or digits or when some of its gaps are a space wider than the narrowest
// (the breaks between its words); lower-case letters evenly apart are more
// often single-letter words (a formula's "x y z").  Within the run, the
// spaces in the narrow gaps go; the wide gaps keep theirs.
void JoinLetterSpaced(Piece& p, std::vector<GlyphFont>& fonts) {
  constexpr std::size_t kMinRun = 5;
  std::vector<Glyph>& g = p.glyphs;
  if (!p.horizontal || g.size() < 2 * kMinRun - 1) return;
  const auto single = [&](std::size_t i) {
    return (IsLtrLetter(g[i].c) || IsDigit(g[i].c)) && !IsUnspaced(g[i].c) && (i == 0 || IsSpace(g[i - 1].c)) &&
           (i + 1 == g.size() || IsSpace(g[i + 1].c));
  };
  std::vector<bool> drop(g.size(), false);
  bool any = false;
  for (std::size_t i = 0; i < g.size();) {
    if (!single(i)) {
      ++i;
      continue;
    }
    // The run: one-letter words with only spaces between them.
    std::vector<std::size_t> run{i};
    std::size_t j = i + 1;
    for (;;) {
      std::size_t k = j;
      while (k < g.size() && IsSpace(g[k].c)) ++k;
      if (k == j || k == g.size() || !single(k)) break;
      run.push_back(k);
      j = k + 1;
    }
    i = j;
    if (run.size() < kMinRun) continue;
    float em = 0, narrow = 1e30f, wide = 0;
    bool capitals = true;
    for (std::size_t n = 0; n < run.size(); ++n) {
      em = std::max(em, fonts[run[n]].size);
      capitals = capitals && (IsUpper(g[run[n]].c) || IsDigit(g[run[n]].c));
      if (n > 0) {
        const float gap = g[run[n]].x0 - g[run[n - 1]].x1;
        narrow = std::min(narrow, gap);
        wide = std::max(wide, gap);
      }
    }
    if (em <= 0 || narrow > 0.8f * em || narrow < -0.1f * em) continue;
    const float word_break = narrow + 0.2f * em;
    if (!capitals && wide <= word_break) continue;
    for (std::size_t n = 1; n < run.size(); ++n)
      if (g[run[n]].x0 - g[run[n - 1]].x1 <= word_break)
        for (std::size_t k = run[n - 1] + 1; k < run[n]; ++k) drop[k] = any = true;
      else
        for (std::size_t k = run[n - 1] + 2; k < run[n]; ++k) drop[k] = any = true;  // one space stays
  }
  if (!any) return;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < g.size(); ++k)
    if (!drop[k]) {
      g[kept] = g[k];
      fonts[kept] = fonts[k];
      ++kept;
    }
  g.resize(kept);
  fonts.resize(kept);
}

bool HasRtlLetter(const Piece& p) {
  return std::any_of(p.glyphs.begin(), p.glyphs.end(), [](const Glyph& g) { return IsRtlLetter(g.c); });
}

// True when a horizontal line goes on from where the last line of its
// block ends, on the same baseline: the rest of a line after a copy, or
// after a change of direction.
bool ContinuesLine(const std::vector<Piece>& lines, const Piece& p) {
  if (lines.empty() || !p.visible() || !p.horizontal) return false;
  const Piece& before = lines.back();
  if (before.block != p.block || !before.horizontal || !before.visible()) return false;
  const float height = std::max(before.y1 - before.y0, p.y1 - p.y0);
  return std::fabs(before.y1 - p.y1) < 0.2f * height && p.x0 > before.x1 - 0.1f * height &&
         p.x0 < before.x1 + 1.5f * height;
}

// Glyphs drawn again over themselves: fake bold (a word drawn two or three
// times a fraction of a point apart), shadows and outlines drawn under the
// letters.  A reader sees one word; every copy would be read.  A copy is the
// same character in the same size whose origin lies within a tenth of an em
// of the first along the line and a fifth across it; letters that repeat
// in a word ("ll", "ii") stand a letter's width apart.  Spaces and
// characters without width (the rest of a ligature's letters, marks) are
// never copies.  Glyphs piled up in one spot beyond a few dozen are not
// compared, so that a hostile page costs no more than a plain one.
class Overprints {
 public:
  // True when the glyph copies one drawn before on the page; else the glyph
  // is remembered.
  bool Copy(const fz_stext_char& ch, fz_point dir) {
    const fz_quad& q = ch.quad;
    if (IsSpace(static_cast<char32_t>(ch.c)) || ch.size <= 0 || std::fabs(q.ur.x - q.ul.x) + std::fabs(q.ur.y - q.ul.y) < 0.01f * ch.size) return false;
    const float x = ch.origin.x, y = ch.origin.y;
    if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) > 1e6f || std::fabs(y) > 1e6f) return false;
    const auto cx = static_cast<std::int64_t>(std::floor(x / kCell)), cy = static_cast<std::int64_t>(std::floor(y / kCell));
    const std::int64_t reach = std::min<std::int64_t>(kMaxReach, static_cast<std::int64_t>(0.2f * ch.size / kCell) + 1);
    for (std::int64_t i = cx - reach; i <= cx + reach; ++i)
      for (std::int64_t j = cy - reach; j <= cy + reach; ++j) {
        auto it = cells_.find(Key(i, j));
        if (it == cells_.end()) continue;
        for (const Seen& s : it->second) {
          if (s.c != ch.c || std::fabs(s.size - ch.size) > 0.1f * std::max(s.size, ch.size)) continue;
          const float dx = x - s.x, dy = y - s.y;
          const float along = std::fabs(dx * dir.x + dy * dir.y), across = std::fabs(dy * dir.x - dx * dir.y);
          if (along < 0.1f * ch.size && across < 0.2f * ch.size) return true;
        }
      }
    std::vector<Seen>& cell = cells_[Key(cx, cy)];
    if (cell.size() < kPerCell) cell.push_back({ch.c, x, y, ch.size});
    return false;
  }

 private:
  static constexpr float kCell = 4;            // points
  static constexpr std::int64_t kMaxReach = 3;  // cells each way: copies of huge type further apart are kept
  static constexpr std::size_t kPerCell = 32;   // glyphs piled on one spot beyond these are not compared
  struct Seen {
    int c;
    float x, y, size;
  };
  static std::uint64_t Key(std::int64_t i, std::int64_t j) {
    return (static_cast<std::uint64_t>(i) << 32) ^ static_cast<std::uint64_t>(static_cast<std::uint32_t>(j));
  }
  std::unordered_map<std::uint64_t, std::vector<Seen>> cells_;
};

// The lines of the page's text blocks, in the order MuPDF found them, with
// ligatures spread over the letters they stand for and copies drawn over
// their glyphs left out.  A line that a copy broke in two (a bold word drawn
// twice in a sentence, so that the pen went back) is whole again.
std::vector<Piece> ReadLines(const fz_stext_page* page, const fz_stext_line* own_end) {
  std::vector<Piece> lines;
  bool placed = false;  // past own_end
  Overprints overprints;
  // Text drawn wholly outside the page (beside it, or cut off by its crop
  // box) is not shown; unless nothing is shown, when a wrong page box is
  // the likelier cause.
  const fz_rect shown = page->mediabox;
  bool clip = false;
  if (!fz_is_empty_rect(shown))
    for (const fz_stext_block* block = page->first_block; block && !clip; block = block->next)
      if (block->type == FZ_STEXT_BLOCK_TEXT)
        for (const fz_stext_line* line = block->u.t.first_line; line && !clip; line = line->next)
          for (const fz_stext_char* ch = line->first_char; ch && !clip; ch = ch->next)
            clip = ch->c > ' ' && !fz_is_empty_rect(fz_intersect_rect(fz_rect_from_quad(ch->quad), shown));
  const auto hidden = [&](const fz_stext_char& ch) {
    return clip && ch.c > ' ' && fz_is_empty_rect(fz_intersect_rect(fz_rect_from_quad(ch.quad), shown));
  };
  int block_number = 0;
  for (const fz_stext_block* block = page->first_block; block; block = block->next) {
    if (block->type != FZ_STEXT_BLOCK_TEXT) continue;
    for (const fz_stext_line* line = block->u.t.first_line; line; placed = placed || line == own_end, line = line->next) {
      Piece p;
      p.block = block_number;
      p.horizontal = line->wmode == 0 && std::fabs(line->dir.y) < 0.1f && line->dir.x > 0;
      p.placed = placed;
      std::vector<GlyphFont> fonts;  // of each glyph
      // Copies drawn over other glyphs, glyphs whose font maps them to no
      // character (U+FFFD: an embedded font without its character map, whose
      // page goes to OCR) and glyphs off the page are left out a whole word
      // at a time: a word only partly over another (a button's caption over
      // a label) or partly on the page is kept whole, as is a word with one
      // unknown symbol in it.
      std::vector<const fz_stext_char*> chars;
      std::vector<bool> out;
      for (const fz_stext_char* ch = line->first_char; ch; ch = ch->next) {
        chars.push_back(ch);
        out.push_back(ch->c == 0xFFFD || hidden(*ch) || overprints.Copy(*ch, line->dir));
      }
      bool left_out = false;
      for (std::size_t i = 0; i < chars.size();) {
        if (IsSpace(static_cast<char32_t>(chars[i]->c))) {
          ++i;
          continue;
        }
        std::size_t end = i;
        bool whole = true;
        for (; end < chars.size() && !IsSpace(static_cast<char32_t>(chars[end]->c)); ++end) whole = whole && out[end];
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(i), out.begin() + static_cast<std::ptrdiff_t>(end), whole);
        // The spaces before a word left out go with it.
        for (std::size_t j = i; whole && j > 0 && IsSpace(static_cast<char32_t>(chars[j - 1]->c)); --j) out[j - 1] = true;
        left_out = left_out || whole;
        i = end;
      }
      for (std::size_t k = 0; k < chars.size(); ++k) {
        if (out[k]) continue;
        const fz_stext_char* ch = chars[k];
        if (p.glyphs.empty()) p.baseline = ch->origin.y;
        p.size = std::max(p.size, ch->size);
        const fz_quad& q = ch->quad;
        Glyph g{static_cast<char32_t>(ch->c), std::min(q.ul.x, q.ll.x), std::max(q.ur.x, q.lr.x),
                std::min(q.ul.y, q.ur.y), std::max(q.ll.y, q.lr.y)};
        if (IsDingbatsFont(ch->font)) g.c = FromDingbats(g.c);
        const GlyphFont font{ch->size, ch->font && fz_font_flags(ch->font)->is_italic};
        if (const char32_t* letters = LigatureLetters(g.c)) {
          std::size_t n = std::char_traits<char32_t>::length(letters);
          float step = (g.x1 - g.x0) / static_cast<float>(n);
          for (std::size_t i = 0; i < n; ++i) {
            p.glyphs.push_back({letters[i], g.x0 + step * static_cast<float>(i), g.x0 + step * static_cast<float>(i + 1),
                                g.y0, g.y1});
            fonts.push_back(font);
          }
        } else {
          p.glyphs.push_back(g);
          fonts.push_back(font);
        }
      }
      if (p.glyphs.empty()) continue;
      JoinLetterSpaced(p, fonts);
      AddDrawnSpaces(p, fonts);
      ComposeAccents(p.glyphs);
      p.Bound();
      // The rest of a line MuPDF broke where words were left out, or where
      // the direction changed (a right-to-left word drawn from its right end
      // in a left-to-right line, as many producers draw them) joins it.
      p.rtl = HasRtlLetter(p);
      if (!p.placed && ContinuesLine(lines, p) && (left_out || lines.back().rtl || p.rtl)) {
        Piece& before = lines.back();
        if (!IsSpace(before.glyphs.back().c) && !IsSpace(p.glyphs.front().c) &&
            p.x0 - before.x1 > 0.15f * (p.y1 - p.y0))
          before.glyphs.push_back({U' ', before.x1, p.x0, p.y0, p.y1});
        before.glyphs.insert(before.glyphs.end(), p.glyphs.begin(), p.glyphs.end());
        before.rtl = before.rtl || p.rtl;
        before.Bound();
        continue;
      }
      lines.push_back(std::move(p));
    }
    ++block_number;
  }
  return lines;
}


// The text that form fields and annotations draw (a field's value, a text
// box, a stamp) comes after the page's own text in drawing order.  A reader
// sees it where it stands: a value after the label on its left on the same
// line, other text after the page's line just above it.  A page with more
// of both than kMaxPairs pairs keeps the drawing order.
void PlaceDrawnOver(std::vector<Piece>& lines) {
  constexpr std::size_t kMaxPairs = 4'000'000;
  std::vector<Piece> own, over;
  for (Piece& p : lines) (p.placed ? over : own).push_back(std::move(p));
  if (own.empty() || over.empty() || own.size() * over.size() > kMaxPairs) {
    lines = std::move(own);
    for (Piece& p : over) lines.push_back(std::move(p));
    return;
  }
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::vector<Piece>> after(own.size());
  std::vector<Piece> first;  // above every line of the page's own
  for (Piece& f : over) {
    std::size_t label = kNone, above = kNone;
    if (f.visible() && f.horizontal) {
      for (std::size_t i = 0; i < own.size(); ++i) {
        const Piece& o = own[i];
        if (!o.visible() || !o.horizontal) continue;
        const float size = std::max(o.size, f.size);
        if (std::fabs(o.baseline - f.baseline) < 0.6f * size && o.x1 <= f.x0 + 0.2f * size &&
            (label == kNone || o.x1 > own[label].x1))
          label = i;
        if (o.baseline <= f.baseline && (above == kNone || o.baseline >= own[above].baseline)) above = i;
      }
    }
    if (label != kNone) {
      Piece& o = own[label];
      if (!IsSpace(o.glyphs.back().c)) o.glyphs.push_back({U' ', o.x1, f.x0, f.y0, f.y1});
      std::size_t k = 0;
      while (k < f.glyphs.size() && IsSpace(f.glyphs[k].c)) ++k;
      o.glyphs.insert(o.glyphs.end(), f.glyphs.begin() + static_cast<std::ptrdiff_t>(k), f.glyphs.end());
      o.Bound();
    } else if (above != kNone) {
      f.block = own[above].block;
      after[above].push_back(std::move(f));
    } else if (f.visible()) {
      f.block = own.front().block;
      first.push_back(std::move(f));
    } else {
      after.back().push_back(std::move(f));
    }
  }
  lines = std::move(first);
  for (std::size_t i = 0; i < own.size(); ++i) {
    lines.push_back(std::move(own[i]));
    for (Piece& p : after[i]) lines.push_back(std::move(p));
  }
}

// A drop cap: the first letter of a paragraph set large beside its first
// lines, drawn apart from them, so that it would be read on its own after
// or before the paragraph ("nce upon a time ... O").  A line of one large
// letter with two or more lines of smaller type starting right of it, their
// baselines between the letter's top and its baseline, goes back to the
// start of the topmost of them, joined to its first word unless that line
// starts with a space (a cap that is a word of its own, "A") or with a word
// of its own.
void AttachDropCaps(std::vector<Piece>& lines, float glyph_height) {
  constexpr int kMaxCaps = 64;  // candidates looked at on one page
  int caps = 0;
  std::vector<bool> gone(lines.size(), false);
  for (std::size_t i = 0; i < lines.size() && caps < kMaxCaps; ++i) {
    Piece& cap = lines[i];
    if (!cap.horizontal || !cap.visible() || gone[i]) continue;
    const Glyph* letter = nullptr;
    int marks = 0;
    for (const Glyph& g : cap.glyphs)
      if (!IsSpace(g.c) && ++marks == 1) letter = &g;
    if (marks != 1 || !IsLtrLetter(letter->c) || cap.y1 - cap.y0 < 1.8f * glyph_height) continue;
    ++caps;
    const float top = cap.baseline - 0.65f * cap.size;  // a capital letter's height, about
    std::size_t target = lines.size();
    int beside = 0;
    for (std::size_t j = 0; j < lines.size(); ++j) {
      const Piece& p = lines[j];
      if (j == i || gone[j] || !p.horizontal || !p.visible() || p.size > 0.6f * cap.size) continue;
      if (p.x0 < cap.x1 - 0.2f * glyph_height || p.x0 > cap.x1 + 0.5f * cap.size) continue;
      if (p.baseline < top - 0.1f * p.size || p.baseline > cap.baseline + 0.3f * p.size) continue;
      ++beside;
      if (target == lines.size() || p.baseline < lines[target].baseline) target = j;
    }
    if (beside < 2) continue;
    Piece& first = lines[target];
    std::size_t k = 0;
    while (k < first.glyphs.size() && IsSpace(first.glyphs[k].c)) ++k;
    if (k == first.glyphs.size() || !IsLetter(first.glyphs[k].c)) continue;
    Glyph moved = *letter;
    moved.y0 = first.y0;  // placed on the line it starts
    moved.y1 = first.y1;
    // A word that starts with a capital and goes on in small letters has
    // its own first letter: the large one is a label ("Q" before a question).
    if (k == 0 && IsUpper(first.glyphs[0].c) && first.glyphs.size() > 1 && IsLetter(first.glyphs[1].c) &&
        !IsUpper(first.glyphs[1].c))
      first.glyphs.insert(first.glyphs.begin(), {U' ', moved.x1, first.x0, first.y0, first.y1});
    first.glyphs.insert(first.glyphs.begin(), moved);
    first.Bound();
    gone[i] = true;
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (!gone[i]) {
      if (kept != i) lines[kept] = std::move(lines[i]);
      ++kept;
    }
  lines.resize(kept);
}

// A piece of a line with a wide gap in it is two pieces: a line that MuPDF
// joined across the space between two columns.
std::vector<Piece> SplitAtGaps(const std::vector<Piece>& lines, float gap) {
  std::vector<Piece> pieces;
  for (const Piece& line : lines) {
    Piece current;
    current.block = line.block;
    current.horizontal = line.horizontal;
    float last_x1 = -1e30f;
    for (const Glyph& g : line.glyphs) {
      if (!IsSpace(g.c)) {
        if (line.horizontal && !current.glyphs.empty() && last_x1 > -1e29f && g.x0 - last_x1 > gap) {
          current.Bound();
          pieces.push_back(std::move(current));
          current = Piece{};
          current.block = line.block;
          current.horizontal = line.horizontal;
        }
        last_x1 = g.x1;
      }
      current.glyphs.push_back(g);
    }
    current.Bound();
    pieces.push_back(std::move(current));
  }
  return pieces;
}

struct Layout {
  std::vector<std::vector<std::size_t>> groups;  // indices into the pieces, each group a block
};

// Columns that the page draws line by line across (a left line, then the
// right line beside it, ...): found by the gutters no text of the narrow
// lines crosses, with lines of running text on each side.  Returns false
// when the page has no such columns or draws them one after the other
// already, in which case its own order stands.
bool ColumnOrder(const std::vector<Piece>& pieces, float glyph_height, Layout* layout) {
  float left = 1e30f, right = -1e30f;
  for (const Piece& p : pieces)
    if (p.visible() && p.horizontal) {
      left = std::min(left, p.x0);
      right = std::max(right, p.x1);
    }
  const float text_width = right - left;
  if (text_width <= 0 || glyph_height <= 0 || text_width > 20000) return false;
  // Glyph coverage of the narrow pieces, point by point.
  std::vector<unsigned char> covered(static_cast<std::size_t>(text_width) + 2, 0);
  for (const Piece& p : pieces) {
    if (!p.visible() || !p.horizontal || p.width() > 0.6f * text_width) continue;
    for (const Glyph& g : p.glyphs) {
      if (IsSpace(g.c)) continue;
      auto a = static_cast<std::size_t>(std::max(0.0f, g.x0 - left));
      auto b = static_cast<std::size_t>(std::max(0.0f, g.x1 - left));
      for (std::size_t x = a; x <= b && x < covered.size(); ++x) covered[x] = 1;
    }
  }
  struct Gap {
    float from, to;
  };
  std::vector<Gap> gutters;
  const float min_gutter = std::max(6.0f, glyph_height);
  for (std::size_t x = 0; x < covered.size();) {
    if (covered[x]) {
      ++x;
      continue;
    }
    std::size_t end = x;
    while (end < covered.size() && !covered[end]) ++end;
    if (x > 0 && end < covered.size() && static_cast<float>(end - x) >= min_gutter)
      gutters.push_back({left + static_cast<float>(x), left + static_cast<float>(end)});
    x = end;
  }
  if (gutters.empty() || gutters.size() > 5) return false;
  // Columns between the gutters; each holds lines of running text.
  std::vector<Gap> columns;
  float from = left;
  for (const Gap& g : gutters) {
    columns.push_back({from, g.from});
    from = g.to;
  }
  columns.push_back({from, right});
  const float tolerance = glyph_height * 0.5f;
  std::vector<int> column_of(pieces.size(), -1);
  std::vector<std::vector<float>> widths(columns.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    if (!p.visible() || !p.horizontal) continue;
    for (std::size_t c = 0; c < columns.size(); ++c)
      if (p.x0 >= columns[c].from - tolerance && p.x1 <= columns[c].to + tolerance) {
        column_of[i] = static_cast<int>(c);
        widths[c].push_back(p.width());
      }
  }
  for (const std::vector<float>& w : widths)
    if (w.size() < 3 || Median(w) < 8 * glyph_height) return false;  // a table's cells, a form's labels
  // Lines that cross a gutter (titles over the columns) divide the page
  // into sections; within one, columns read one after the other.
  std::vector<std::size_t> spanning;
  for (std::size_t i = 0; i < pieces.size(); ++i)
    if (pieces[i].visible() && column_of[i] < 0) spanning.push_back(i);
  std::sort(spanning.begin(), spanning.end(), [&](std::size_t a, std::size_t b) { return pieces[a].y0 < pieces[b].y0; });
  auto section_of = [&](const Piece& p) {
    std::size_t s = 0;
    while (s < spanning.size() && pieces[spanning[s]].y1 <= p.y0 + tolerance) ++s;
    return s;
  };
  // Only a page that goes back and forth between its columns is reordered.
  int transitions = 0, last = -1;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (column_of[i] < 0) continue;
    if (last >= 0 && column_of[i] != last) ++transitions;
    last = column_of[i];
  }
  if (transitions <= 2 * static_cast<int>((spanning.size() + 1) * columns.size())) return false;

  const std::size_t sections = spanning.size() + 1;
  std::vector<std::vector<std::vector<std::size_t>>> cells(sections, std::vector<std::vector<std::size_t>>(columns.size()));
  for (std::size_t i = 0; i < pieces.size(); ++i)
    if (column_of[i] >= 0) cells[section_of(pieces[i])][static_cast<std::size_t>(column_of[i])].push_back(i);
  for (std::size_t s = 0; s < sections; ++s) {
    if (s > 0) layout->groups.push_back({spanning[s - 1]});
    for (std::vector<std::size_t>& column : cells[s]) {
      if (column.empty()) continue;
      std::stable_sort(column.begin(), column.end(), [&](std::size_t a, std::size_t b) {
        return pieces[a].y0 + tolerance < pieces[b].y0 ||
               (std::fabs(pieces[a].y0 - pieces[b].y0) <= tolerance && pieces[a].x0 < pieces[b].x0);
      });
      layout->groups.push_back(column);
    }
  }
  return true;
}

// The glyphs of a line as units in the order of their positions from left
// to right, whatever order the page drew them in.  A character without
// width right at the end of the one before belongs to the same glyph (a
// ligature the font maps to several characters), as does a mark.
// *rtl_pairs counts right-to-left units next to one another: the order
// that drawing may have turned round.
std::vector<Unit> VisualUnits(const std::vector<Glyph>& glyphs, bool trim, std::size_t* rtl_pairs) {
  struct Placed {
    float x;
    Unit unit;
    float x1, height;   // where the unit ends, and its glyphs' height
    std::size_t order;  // its place in drawing order
  };
  std::vector<Placed> placed;
  // A mark is drawn after its letter when right-to-left words are drawn in
  // reading order, from their right end; when they are drawn from the left
  // end, as most producers turn each letter and its marks round together,
  // the marks come first.  Those wait here, in the order drawn, for their
  // letter.
  Unit waiting;
  for (std::size_t i = 0; i < glyphs.size(); ++i) {
    const Glyph& g = glyphs[i];
    // A glyph the font maps to several characters gives them no width after
    // the first, or each the glyph's whole box.
    const Placed* last = placed.empty() ? nullptr : &placed.back();
    const bool same_glyph = last && ((g.x1 - g.x0 < 0.01f && std::fabs(g.x0 - last->x1) < 0.01f) ||
                                     (std::fabs(g.x0 - last->x) < 0.01f && std::fabs(g.x1 - last->x1) < 0.01f));
    if (IsCombining(g.c)) {
      std::size_t next = i + 1;
      while (next < glyphs.size() && IsCombining(glyphs[next].c)) ++next;
      const bool before_its_letter =
          next < glyphs.size() && IsRtlLetter(glyphs[next].c) &&
          (placed.empty() || !IsRtlLetter(placed.back().unit[0]) || glyphs[next].x0 > placed.back().x);
      if (before_its_letter) {
        waiting.push_back(g.c);
        continue;
      }
    }
    if (!placed.empty() && (IsCombining(g.c) || same_glyph)) {
      placed.back().unit.push_back(g.c);
      continue;
    }
    placed.push_back({g.x0, Unit(1, g.c), g.x1, std::fabs(g.y1 - g.y0), placed.size()});  // mirrored text: y1 < y0
    // The marks that came first, in the order they were made in.
    placed.back().unit.append(waiting.rbegin(), waiting.rend());
    waiting.clear();
  }
  std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return a.x < b.x; });
  std::vector<Unit> units;
  *rtl_pairs = 0;
  bool after_rtl = false;
  // The right end of the units so far, spaces aside (a space may span a
  // jump over other glyphs): a glyph whose box reaches under the one beside
  // it (a right-to-left letter's tail, kerned close) leaves no gap.  The
  // usual gap between glyphs side by side (those of fonts whose boxes are
  // narrower than their advance) is no space.
  std::vector<float> gaps;
  float reached = -1e30f;
  for (const Placed& p : placed) {
    if (IsSpace(p.unit[0])) continue;
    if (reached > -1e29f) gaps.push_back(p.x - reached);
    reached = std::max(reached, p.x1);
  }
  const float usual = std::max(0.0f, Median(std::move(gaps)));
  reached = -1e30f;
  for (std::size_t i = 0; i < placed.size(); ++i) {
    Placed& p = placed[i];
    const bool rtl = DirectionOf(p.unit) == Direction::kRtl;
    if (rtl && after_rtl) ++*rtl_pairs;
    after_rtl = rtl;
    // A gap between units that were not drawn one after the other from
    // left to right, a few letters apart at most (whose gaps became spaces
    // as the line was read), is a space as well: words drawn from their
    // right end, in reading order, and pieces of a line drawn apart (a
    // running head's middle, left and right parts), which lie side by side
    // only once in order.
    const Placed* left = i > 0 ? &placed[i - 1] : nullptr;  // its unit is in units already
    if (left && !IsSpace(p.unit[0]) && !IsSpace(units.back().back())) {
      const float gap = p.x - reached, height = std::max(p.height, left->height);
      if (gap > usual + 0.1f * height && (p.order != left->order + 1 || gap > 2 * height))
        units.emplace_back(1, U' ');
    }
    if (!IsSpace(p.unit[0])) reached = std::max(reached, p.x1);
    units.push_back(std::move(p.unit));
  }
  if (trim) {
    while (!units.empty() && units.back().size() == 1 && IsSpace(units.back()[0])) units.pop_back();
    std::size_t lead = 0;
    while (lead < units.size() && units[lead].size() == 1 && IsSpace(units[lead][0])) ++lead;
    units.erase(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(lead));
  }
  return units;
}

// ---- hyphenation ---------------------------------------------------------------

bool IsWordChar(char32_t c) {
  return IsLetter(c) || IsDigit(c) || IsCombining(c) || c == '-' || c == 0xAD || c == 0x2010;
}

std::u32string LowerWord(std::u32string_view w) {
  std::u32string out;
  for (char32_t c : w) out.push_back(Lower(c));
  return out;
}

// The words of the page, lower-cased, with their hyphens: what a broken
// word is compared with.
std::unordered_set<std::u32string> PageWords(const std::vector<std::vector<std::u32string>>& blocks) {
  std::unordered_set<std::u32string> words;
  for (const auto& lines : blocks)
    for (const std::u32string& line : lines)
      for (std::size_t i = 0; i < line.size();) {
        if (!IsWordChar(line[i])) {
          ++i;
          continue;
        }
        std::size_t j = i;
        while (j < line.size() && IsWordChar(line[j])) ++j;
        if (j - i > 1 && words.size() < 200000) words.insert(LowerWord(std::u32string_view(line).substr(i, j - i)));
        i = j;
      }
  return words;
}

// Joins a word that a line end divides at a hyphen; true when that empties
// the next line.  A soft hyphen
// (U+00AD) is a break; so is a hyphen between lower-case letters unless
// the page shows the word with its hyphen elsewhere, either half holds a
// hyphen of its own (state-|of-the-art), or a half is too short for
// hyphenation to leave.  A hyphen before a capital or a digit is real
// (non-|English, 1990-|1995).  Real hyphens join the halves and stay.
bool JoinHyphenated(std::u32string& line, std::u32string& next, const std::unordered_set<std::u32string>& words) {
  std::size_t end = line.size();
  while (end > 0 && IsSpace(line[end - 1])) --end;
  if (end < 2) return false;
  const char32_t hyphen = line[end - 1];
  if (hyphen != '-' && hyphen != 0xAD && hyphen != 0x2010) return false;
  if (!IsLetter(line[end - 2])) return false;
  std::size_t start = 0;
  while (start < next.size() && IsSpace(next[start])) ++start;
  if (start >= next.size() || !(IsLetter(next[start]) || IsDigit(next[start]))) return false;
  // The halves: the word before the hyphen, the word the next line starts with.
  std::size_t a = end - 1;
  while (a > 0 && IsWordChar(line[a - 1])) --a;
  std::size_t b = start;
  while (b < next.size() && IsWordChar(next[b])) ++b;
  // What follows the second half up to the next space goes with it (a comma, a full stop).
  std::size_t tail = b;
  while (tail < next.size() && !IsSpace(next[tail])) ++tail;
  std::u32string first = line.substr(a, end - 1 - a), second = next.substr(start, b - start);
  bool keep;
  if (hyphen == 0xAD) {
    keep = false;
  } else if (IsUpper(second[0]) || IsDigit(second[0]) || first.find(U'-') != std::u32string::npos ||
             second.find(U'-') != std::u32string::npos || first.size() < 2 || second.size() < 3) {
    // Hyphenation leaves two letters or more before the break and three
    // or more after it (e-|mail and follow-|up are words of their own).
    keep = true;
  } else if (words.count(LowerWord(first + U"-" + second))) {
    keep = true;
  } else {
    keep = false;  // as hyphenation breaks in running text nearly always are
  }
  std::u32string moved = next.substr(start, tail - start);
  line.erase(keep ? end : end - 1);
  if (keep && hyphen == 0xAD) line.back() = '-';
  line += moved;
  while (tail < next.size() && IsSpace(next[tail])) ++tail;
  next.erase(0, tail);
  return next.empty();
}

}  // namespace

std::string PageText(const fz_stext_page* page, const fz_stext_line* own_end) {
  std::vector<Piece> lines = ReadLines(page, own_end);
  if (own_end) PlaceDrawnOver(lines);
  std::vector<float> heights;
  for (const Piece& line : lines)
    for (const Glyph& g : line.glyphs)
      if (!IsSpace(g.c) && heights.size() < 100000) heights.push_back(g.y1 - g.y0);
  const float glyph_height = Median(heights);
  if (glyph_height > 0) AttachDropCaps(lines, glyph_height);

  // Blocks of lines, in MuPDF's order unless the page's columns need another.
  std::vector<Piece> pieces;
  Layout layout;
  if (glyph_height > 0) {
    pieces = SplitAtGaps(lines, 2.5f * glyph_height);
    if (!ColumnOrder(pieces, glyph_height, &layout)) layout.groups.clear();
  }
  std::vector<std::vector<std::u32string>> blocks;
  std::vector<std::vector<const Piece*>> block_pieces;
  if (!layout.groups.empty()) {
    for (const std::vector<std::size_t>& group : layout.groups) {
      block_pieces.emplace_back();
      for (std::size_t i : group) block_pieces.back().push_back(&pieces[i]);
    }
  } else {
    int current = -1;
    for (const Piece& line : lines) {
      if (line.block != current || block_pieces.empty()) {
        block_pieces.emplace_back();
        current = line.block;
      }
      block_pieces.back().push_back(&line);
    }
  }

  for (const auto& group : block_pieces) {
    blocks.emplace_back();
    for (const Piece* p : group) {
      std::u32string text;
      text.reserve(p->glyphs.size());
      for (const Glyph& g : p->glyphs) text.push_back(g.c);
      if (!layout.groups.empty()) {
        // A piece cut out of a longer line keeps no spaces at its ends.
        while (!text.empty() && IsSpace(text.back())) text.pop_back();
        std::size_t lead = 0;
        while (lead < text.size() && IsSpace(text[lead])) ++lead;
        text.erase(0, lead);
      }
      // A line with right-to-left words is read in the order of its
      // glyphs' positions, left to right, and then turned into reading order.
      // Right-to-left words that are one glyph each (a font that draws a
      // whole word at once) have no order to turn round.
      bool rtl = false;
      for (const Glyph& g : p->glyphs) rtl = rtl || IsRtlLetter(g.c);
      if (rtl && p->horizontal) {
        std::size_t rtl_pairs = 0;
        std::vector<Unit> units = VisualUnits(p->glyphs, !layout.groups.empty(), &rtl_pairs);
        if (rtl_pairs > 0) text = VisualToLogical(std::move(units));
      }
      blocks.back().push_back(std::move(text));
    }
  }

  const std::unordered_set<std::u32string> words = PageWords(blocks);
  std::string out;
  for (auto& block : blocks) {
    // A line emptied by the word moved up to the line before it goes.
    std::vector<bool> emptied(block.size(), false);
    for (std::size_t i = 0; i + 1 < block.size(); ++i) emptied[i + 1] = JoinHyphenated(block[i], block[i + 1], words);
    for (std::size_t i = 0; i < block.size(); ++i) {
      if (emptied[i]) continue;
      for (char32_t c : block[i]) AppendLetters(c, out);
      out.push_back('\n');
    }
    out.push_back('\n');
  }
  return out;
}

}  // namespace quarn::pdf

#include "convert/filters/ole/ppt_text.h"

#include "convert/charset.h"
#include "convert/filters/common/list_label.h"
#include "convert/filters/common/symbol_font.h"
#include "convert/filters/ole/ole_util.h"

namespace quarn::ppt {

namespace {

// Little-endian fields read front to back; reading past the end sets
// failed and gives zero, so a damaged atom ends its parse cleanly.
class Fields {
 public:
  explicit Fields(std::string_view s) : s_(s) {}
  uint16_t U16() {
    if (at_ > s_.size() || s_.size() - at_ < 2) return Fail();
    uint16_t v = Le16(s_, at_);
    at_ += 2;
    return v;
  }
  uint32_t U32() {
    if (at_ > s_.size() || s_.size() - at_ < 4) return Fail();
    uint32_t v = Le32(s_, at_);
    at_ += 4;
    return v;
  }
  void Skip(std::size_t n) {
    if (at_ > s_.size() || n > s_.size() - at_) {
      Fail();
      return;
    }
    at_ += n;
  }
  bool ok() const { return ok_; }
  std::size_t left() const { return ok_ ? s_.size() - at_ : 0; }

 private:
  uint16_t Fail() {
    ok_ = false;
    at_ = s_.size();
    return 0;
  }
  std::string_view s_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

constexpr uint32_t Bit(int n) { return uint32_t{1} << n; }

// A TextPFException: the bullet fields kept, the others passed over.
BulletStyle ReadParagraphException(Fields& f) {
  BulletStyle b;
  const uint32_t m = f.U32();
  if (m & 0xF) {
    const uint16_t flags = f.U16();
    if (m & Bit(0)) {
      b.has_bullet_given = true;
      b.has_bullet = flags & 1;
    }
    if (m & Bit(1)) {
      b.font_flag_given = true;
      b.use_font = flags & 2;
    }
  }
  if (m & Bit(7)) {
    b.char_given = true;
    b.bullet_char = f.U16();
  }
  if (m & Bit(4)) {
    b.font_given = true;
    b.font = f.U16();
  }
  if (m & Bit(6)) f.Skip(2);   // bullet size
  if (m & Bit(5)) f.Skip(4);   // bullet colour
  for (int bit : {11, 12, 13, 14, 8, 10, 15})  // alignment, spacing, margins, tab size
    if (m & Bit(bit)) f.Skip(2);
  if (m & Bit(20)) f.Skip(4 * std::size_t{f.U16()});  // tab stops
  if (m & Bit(16)) f.Skip(2);                         // font alignment
  if (m & (Bit(17) | Bit(18) | Bit(19))) f.Skip(2);   // wrap flags
  if (m & Bit(21)) f.Skip(2);                         // text direction
  return b;
}

// What a TextCFException says that matters here: the run's index into the
// StyleTextProp9 entries, and its font (-1: the one it inherits).
struct CharacterProps {
  int pp9 = 0;
  int font = -1;
};

CharacterProps ReadCharacterException(Fields& f) {
  const uint32_t m = f.U32();
  CharacterProps props;
  constexpr uint32_t kStyleBits = Bit(0) | Bit(1) | Bit(2) | Bit(4) | Bit(5) | Bit(7) | Bit(9) | (0xFu << 10);
  if (m & kStyleBits) {
    const uint16_t style = f.U16();
    if (m & (0xFu << 10)) props.pp9 = (style >> 10) & 0xF;
  }
  if (m & Bit(16)) props.font = f.U16();
  for (int bit : {21, 22, 23, 17})  // the other fonts, size
    if (m & Bit(bit)) f.Skip(2);
  if (m & Bit(18)) f.Skip(4);  // colour
  if (m & Bit(19)) f.Skip(2);  // position
  return props;
}

// Fills what from is given and into is not.
void Inherit(BulletStyle& into, const BulletStyle& from) {
  if (!into.has_bullet_given && from.has_bullet_given) {
    into.has_bullet_given = true;
    into.has_bullet = from.has_bullet;
  }
  if (!into.font_flag_given && from.font_flag_given) {
    into.font_flag_given = true;
    into.use_font = from.use_font;
  }
  if (!into.char_given && from.char_given) {
    into.char_given = true;
    into.bullet_char = from.bullet_char;
  }
  if (!into.font_given && from.font_given) {
    into.font_given = true;
    into.font = from.font;
  }
}

// The number label of an auto-numbering scheme.
std::string NumberLabel(int n, int scheme) {
  struct Form {
    const char* before;
    const char* format;
    const char* after;
  };
  static constexpr Form kForms[] = {
      {"", "lowerLetter", "."}, {"", "upperLetter", "."}, {"", "decimal", ")"},    {"", "decimal", "."},
      {"(", "lowerRoman", ")"}, {"", "lowerRoman", ")"},  {"", "lowerRoman", "."}, {"", "upperRoman", "."},
      {"(", "lowerLetter", ")"}, {"", "lowerLetter", ")"}, {"(", "upperLetter", ")"}, {"", "upperLetter", ")"},
      {"(", "decimal", ")"},    {"", "decimal", ""},     {"(", "upperRoman", ")"}, {"", "upperRoman", ")"},
  };
  std::string out;
  if (scheme >= 0 && scheme < static_cast<int>(std::size(kForms))) {
    const Form& f = kForms[scheme];
    return std::string(f.before) + FormatListNumber(n, f.format) + f.after;
  }
  // Circled numbers, white and black, where Unicode has them.
  if ((scheme == 0x10 || scheme == 0x11) && n >= 1 && n <= 20) {
    AppendUtf8(0x2460 + static_cast<char32_t>(n - 1), out);
    return out;
  }
  if (scheme == 0x12 && n >= 1 && n <= 10) {
    AppendUtf8(0x2776 + static_cast<char32_t>(n - 1), out);
    return out;
  }
  return FormatListNumber(n, "decimal") + ".";
}

std::string BulletText(const BulletStyle& style, const Fonts& fonts) {
  char32_t c = style.char_given && style.bullet_char ? style.bullet_char : 0x2022;
  if (c >= 0xD800 && c <= 0xDFFF) c = 0x2022;
  // A symbol font's bullets are its own letters: keep them apart from text.
  if (c < 0x100 && style.font_given && (!style.font_flag_given || style.use_font) && fonts.IsSymbol(style.font))
    c += 0xF000;
  std::string utf8;
  AppendUtf8(c, utf8);
  return BulletLabel(utf8);
}

// Appends a paragraph's characters as UTF-8: a vertical tab breaks the
// line, other control characters (field marks) are dropped.
void AppendChars(std::u16string_view units, std::string& out) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    if (c == 0x0B) c = '\n';
    else if (c < 0x20 && c != '\t') continue;
    AppendUtf8(c, out);
  }
}

}  // namespace

void MasterStyles::Read(std::string_view data, int text_type) {
  if (text_type < 0 || text_type >= kTypes) return;
  Fields f(data);
  const int count = f.U16();
  for (int i = 0; i < count && i < kLevels && f.ok(); ++i) {
    int level = i;
    if (text_type > 4) level = f.U16();  // the derived types name their levels
    BulletStyle style = ReadParagraphException(f);
    ReadCharacterException(f);
    if (!f.ok()) break;
    if (level >= 0 && level < kLevels) levels_[text_type][level] = style;
  }
  read_[text_type] = true;
}

BulletStyle MasterStyles::Resolve(int text_type, int level) const {
  BulletStyle style;
  if (level < 0) level = 0;
  if (level >= kLevels) level = kLevels - 1;
  // Centred and half-size bodies and centred titles are derived from the
  // body and title styles; a level takes what it does not say from the
  // level above it.
  int chain[2] = {text_type, -1};
  if (text_type == 5 || text_type == 7 || text_type == 8) chain[1] = 1;
  if (text_type == 6) chain[1] = 0;
  for (int type : chain) {
    if (type < 0 || type >= kTypes || !read_[type]) continue;
    for (int l = level; l >= 0; --l) Inherit(style, levels_[type][l]);
  }
  return style;
}

void Fonts::Add(uint16_t index, std::string_view atom) {
  std::string face;
  AppendUtf16Le(atom.substr(0, std::min<std::size_t>(64, atom.size())), face);
  face = face.substr(0, face.find('\0'));
  bool symbol = atom.size() > 64 && static_cast<unsigned char>(atom[64]) == 2;  // SYMBOL_CHARSET
  for (std::string_view name : {"Wingdings", "Symbol", "Webdings", "Monotype Sorts", "ZapfDingbats", "Marlett"})
    if (face.rfind(name, 0) == 0) symbol = true;
  symbol_[index] = symbol;
  if (IsSymbolFont(face)) faces_[index] = face;
}

const std::string* Fonts::SymbolFace(uint16_t index) const {
  auto it = faces_.find(index);
  return it == faces_.end() ? nullptr : &it->second;
}

bool Fonts::IsSymbol(uint16_t index) const {
  auto it = symbol_.find(index);
  return it != symbol_.end() && it->second;
}

std::vector<AutoNumber> ReadStyleTextProp9(std::string_view data) {
  std::vector<AutoNumber> out;
  Fields f(data);
  while (f.left() >= 12 && out.size() < 4096) {
    AutoNumber n;
    const uint32_t pf = f.U32();
    if (pf & Bit(23)) f.Skip(2);  // picture bullet
    if (pf & Bit(25)) n.numbered = f.U16() == 1;
    if (pf & Bit(24)) {
      n.scheme = f.U16();
      n.start = f.U16();
      if (n.start < 1) n.start = 1;
    }
    const uint32_t cf = f.U32();
    if (cf & Bit(20)) f.Skip(4);
    const uint32_t si = f.U32();
    for (int bit : {0, 1, 2, 6})  // spelling, languages, direction
      if (si & Bit(bit)) f.Skip(2);
    if (si & Bit(5)) f.Skip(4);
    if (si & Bit(9)) f.Skip(4 * std::size_t{f.U32()});  // smart tags
    if (!f.ok()) break;
    out.push_back(n);
  }
  return out;
}

std::string LabelledParagraphs(std::u16string_view text, int text_type, std::string_view style,
                               const std::vector<AutoNumber>& numbers, const MasterStyles& masters,
                               const Fonts& fonts) {
  struct ParagraphRun {
    std::size_t end;
    int level;
    BulletStyle bullet;
  };
  struct CharacterRun {
    std::size_t end;
    int pp9;
    int font;
  };
  std::vector<ParagraphRun> paragraph_runs;
  std::vector<CharacterRun> character_runs;
  if (!style.empty()) {
    // Runs cover the text and one character more; each starts where the
    // one before ends.
    Fields f(style);
    std::size_t covered = 0;
    while (covered <= text.size() && f.ok()) {
      uint32_t count = f.U32();
      int level = f.U16();
      BulletStyle b = ReadParagraphException(f);
      if (!f.ok() || count == 0) break;
      covered += count;
      paragraph_runs.push_back({covered, level, b});
    }
    covered = 0;
    while (covered <= text.size() && f.ok()) {
      uint32_t count = f.U32();
      const CharacterProps props = ReadCharacterException(f);
      if (!f.ok() || count == 0) break;
      covered += count;
      character_runs.push_back({covered, props.pp9, props.font});
    }
  }

  struct Counter {
    bool active = false;
    int scheme = 0, start = 0, value = 0;
  };
  std::array<Counter, MasterStyles::kLevels> counters{};
  std::string out;
  std::size_t start = 0;
  std::size_t pr = 0, cr = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(u'\r', start);
    if (end == std::u16string_view::npos) end = text.size();
    while (pr < paragraph_runs.size() && paragraph_runs[pr].end <= start) ++pr;
    while (cr < character_runs.size() && character_runs[cr].end <= start) ++cr;
    // Runs set in a symbol font show that font's characters.
    std::string line;
    for (std::size_t at = start, run = cr; at < end;) {
      std::size_t stop = end;
      const std::string* face = nullptr;
      if (run < character_runs.size()) {
        stop = std::min(end, character_runs[run].end);
        if (character_runs[run].font >= 0) face = fonts.SymbolFace(static_cast<uint16_t>(character_runs[run].font));
        ++run;
      }
      if (stop <= at) stop = end;
      if (face) {
        std::string piece;
        AppendChars(text.substr(at, stop - at), piece);
        line += SymbolFontText(*face, piece);
      } else {
        AppendChars(text.substr(at, stop - at), line);
      }
      at = stop;
    }
    int level = pr < paragraph_runs.size() ? paragraph_runs[pr].level : 0;
    if (level < 0 || level >= MasterStyles::kLevels) level = 0;
    BulletStyle bullet = pr < paragraph_runs.size() ? paragraph_runs[pr].bullet : BulletStyle{};
    Inherit(bullet, masters.Resolve(text_type, level));
    const int pp9 = cr < character_runs.size() ? character_runs[cr].pp9 : 0;
    AutoNumber number = pp9 < static_cast<int>(numbers.size()) ? numbers[static_cast<std::size_t>(pp9)] : AutoNumber{};

    bool visible = line.find_first_not_of(" \t\n") != std::string::npos;
    if (visible) {
      // A paragraph ends the numbering of the levels below its own.
      for (int k = level + 1; k < MasterStyles::kLevels; ++k) counters[static_cast<std::size_t>(k)].active = false;
      Counter& c = counters[static_cast<std::size_t>(level)];
      std::string label;
      if (bullet.has_bullet && number.numbered) {
        if (c.active && c.scheme == number.scheme && c.start == number.start && c.value < 1'000'000'000) {
          ++c.value;
        } else {
          c = {true, number.scheme, number.start, number.start};
        }
        label = NumberLabel(c.value, number.scheme);
      } else {
        c.active = false;
        if (bullet.has_bullet) label = BulletText(bullet, fonts);
      }
      if (!label.empty()) out += label + " ";
    }
    out += line;
    if (end == text.size()) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace quarn::ppt

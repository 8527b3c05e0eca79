#include "convert/filters/package/pptx_lists.h"

#include "convert/charset.h"

namespace quarn::pptx {

namespace {

int ParseNumber(const std::optional<std::string>& v, int fallback, int low, int high) {
  if (!v || v->empty() || v->size() > 9) return fallback;
  int n = 0;
  for (char c : *v) {
    if (c < '0' || c > '9') return fallback;
    n = n * 10 + (c - '0');
  }
  return n < low ? low : n > high ? high : n;
}

bool IsSymbolFont(std::string_view font) {
  return font == "Wingdings" || font == "Wingdings 2" || font == "Wingdings 3" || font == "Symbol" ||
         font == "Webdings";
}

}  // namespace

bool ReadBulletProps(ooxml::XmlCursor& x, Bullet* bullet, int* level) {
  if (level) *level = ParseNumber(x.Attr("lvl"), 0, 0, kLevels - 1);
  if (x.IsEmpty()) return x.Read();
  const int depth = x.Depth();
  bool more = x.Read();
  while (more) {
    if (x.IsEnd() && x.Depth() == depth) return x.Read();
    if (x.IsStart()) {
      std::string_view n = x.LocalName();
      if (n == "buNone") {
        bullet->kind = Bullet::Kind::kNone;
      } else if (n == "buChar") {
        bullet->kind = Bullet::Kind::kChar;
        bullet->text = x.Attr("char").value_or("");
      } else if (n == "buBlip") {
        bullet->kind = Bullet::Kind::kChar;
        bullet->text = "\u2022";
        bullet->font.clear();
      } else if (n == "buAutoNum") {
        bullet->kind = Bullet::Kind::kAutoNumber;
        bullet->scheme = x.Attr("type").value_or("arabicPeriod");
        bullet->start = ParseNumber(x.Attr("startAt"), 1, 1, 32767);
      } else if (n == "buFont") {
        bullet->font = x.Attr("typeface").value_or("");
      } else if (n == "defRPr" || n == "extLst") {
        more = x.Skip();
        continue;
      }
    }
    more = x.Read();
  }
  return false;
}

bool ReadListStyle(ooxml::XmlCursor& x, LevelBullets& levels) {
  if (x.IsEmpty()) return x.Read();
  const int depth = x.Depth();
  bool more = x.Read();
  while (more) {
    if (x.IsEnd() && x.Depth() == depth) return x.Read();
    if (x.IsStart()) {
      std::string_view n = x.LocalName();
      // lvl1pPr .. lvl9pPr
      if (n.size() == 7 && n.substr(0, 3) == "lvl" && n.substr(4) == "pPr" && n[3] >= '1' && n[3] <= '9') {
        more = ReadBulletProps(x, &levels[static_cast<std::size_t>(n[3] - '1')]);
        continue;
      }
      more = x.Skip();
      continue;
    }
    more = x.Read();
  }
  return false;
}

std::string BulletText(const Bullet& bullet) {
  std::string_view c = bullet.text;
  if (c.empty()) return "\u2022";
  // A symbol font's bullet is the font's 8-bit code: read it as the private-use
  // character such fonts map their codes to, which has a known look-alike.
  char32_t cp = 0;
  std::size_t len = 0;
  auto b0 = static_cast<unsigned char>(c[0]);
  if (b0 < 0x80) cp = b0, len = 1;
  else if ((b0 & 0xE0) == 0xC0 && c.size() >= 2) cp = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(c[1]) & 0x3Fu), len = 2;
  if (IsSymbolFont(bullet.font) && len == c.size() && cp >= 0x20 && cp < 0x100) {
    std::string pua;
    AppendUtf8(0xF000 + cp, pua);
    return BulletLabel(pua);
  }
  return BulletLabel(c);
}

std::string AutoNumberLabel(std::string_view scheme, int n) {
  std::string_view format = "decimal";
  std::string_view prefix, suffix = ".";
  auto ends = [&](std::string_view tail) {
    return scheme.size() >= tail.size() && scheme.substr(scheme.size() - tail.size()) == tail;
  };
  auto starts = [&](std::string_view head) { return scheme.substr(0, head.size()) == head; };
  if (starts("circleNum")) {
    if (n >= 1 && n <= 20) {
      std::string s;
      AppendUtf8(0x2460 + static_cast<char32_t>(n - 1), s);
      return s;
    }
    return std::to_string(n);
  }
  if (starts("alphaLc")) format = "lowerLetter";
  else if (starts("alphaUc")) format = "upperLetter";
  else if (starts("romanLc")) format = "lowerRoman";
  else if (starts("romanUc")) format = "upperRoman";
  if (ends("ParenBoth")) prefix = "(", suffix = ")";
  else if (ends("ParenR")) suffix = ")";
  else if (ends("Plain")) suffix = "";
  else if (ends("Minus")) suffix = "-";
  return std::string(prefix) + FormatListNumber(n, format) + std::string(suffix);
}

std::string PlaceholderKind(std::string_view type) {
  if (type.empty() || type == "obj") return "body";
  if (type == "ctrTitle") return "title";
  return std::string(type);
}

std::string ParagraphLabels::Next(int level, const Bullet& bullet) {
  if (level < 0 || level >= kLevels) level = 0;
  if (bullet.kind == Bullet::Kind::kAutoNumber) {
    // Another scheme (or start) at a level begins a new sequence there.
    auto& last = schemes_[static_cast<std::size_t>(level)];
    std::string scheme = bullet.scheme + "/" + std::to_string(bullet.start);
    if (last != scheme) counters_.Restart(level);
    last = std::move(scheme);
    counters_.Next(level, bullet.start);
    return AutoNumberLabel(bullet.scheme, counters_.Shown(level, bullet.start)) + " ";
  }
  for (int k = level; k < kLevels; ++k) {
    counters_.Restart(k);
    schemes_[static_cast<std::size_t>(k)].clear();
  }
  if (bullet.kind == Bullet::Kind::kChar) return BulletText(bullet) + " ";
  return {};
}

}  // namespace quarn::pptx

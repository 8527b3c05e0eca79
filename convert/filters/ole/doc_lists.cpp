#include "convert/filters/ole/doc_lists.h"

#include <algorithm>

#include "convert/charset.h"
#include "convert/filters/common/list_label.h"
#include "convert/filters/ole/ole_util.h"

namespace quarn {

namespace {

constexpr std::size_t kLstfBytes = 28;
constexpr std::size_t kLvlfBytes = 28;
constexpr std::size_t kLfoBytes = 16;
// Far more than any real document holds; bounds the work a damaged count asks for.
constexpr uint32_t kMaxLists = 32768;
constexpr int kMaxNumber = 1'000'000'000;

// Reads one LVL at *pos, moving past it; false when it does not fit.
template <typename Level>
bool ReadLevel(std::string_view t, std::size_t end, std::size_t* pos, Level* out) {
  std::size_t p = *pos;
  if (p > end || end - p < kLvlfBytes) return false;
  int32_t start = static_cast<int32_t>(Le32(t, p));
  out->start = start < 0 ? 0 : start > kMaxNumber ? kMaxNumber : start;
  out->nfc = static_cast<unsigned char>(t[p + 4]);
  out->legal = static_cast<unsigned char>(t[p + 5]) & 0x04;
  std::size_t chpx = static_cast<unsigned char>(t[p + 24]), papx = static_cast<unsigned char>(t[p + 25]);
  p += kLvlfBytes + papx + chpx;
  if (p > end || end - p < 2) return false;
  std::size_t cch = Le16(t, p);
  p += 2;
  if (cch > (end - p) / 2) return false;
  out->text.clear();
  for (std::size_t i = 0; i < cch; ++i) out->text.push_back(static_cast<char16_t>(Le16(t, p + 2 * i)));
  *pos = p + 2 * cch;
  out->defined = true;
  return true;
}

}  // namespace

void WordLists::Load(std::string_view t, uint32_t lst, uint32_t lst_len, uint32_t lfo, uint32_t lfo_len) {
  if (lst < t.size() && lst_len <= t.size() - lst && lst_len >= 2) {
    // The levels of the lists follow the list table itself, outside its
    // stated length.
    const std::size_t end = t.size();
    uint32_t count = Le16(t, lst);
    if (count <= kMaxLists && 2 + std::size_t{count} * kLstfBytes <= lst_len) {
      std::vector<std::pair<uint32_t, bool>> ids;  // list id, simple (one level)
      for (uint32_t i = 0; i < count; ++i) {
        std::size_t at = lst + 2 + i * kLstfBytes;
        ids.emplace_back(Le32(t, at), static_cast<unsigned char>(t[at + 26]) & 0x01);
      }
      std::size_t pos = lst + 2 + std::size_t{count} * kLstfBytes;
      bool ok = true;
      for (auto [id, simple] : ids) {
        List& list = lists_[id];
        for (int l = 0; l < (simple ? 1 : kLevels) && ok; ++l) ok = ReadLevel(t, end, &pos, &list.levels[l]);
        if (!ok) break;
      }
    }
  }
  if (lfo < t.size() && lfo_len <= t.size() - lfo && lfo_len >= 4) {
    const std::size_t end = std::size_t{lfo} + lfo_len;
    uint32_t count = Le32(t, lfo);
    if (count > kMaxLists || 4 + std::size_t{count} * kLfoBytes > lfo_len) return;
    std::vector<int> level_counts;
    for (uint32_t i = 0; i < count; ++i) {
      std::size_t at = lfo + 4 + i * kLfoBytes;
      Override o;
      o.lsid = Le32(t, at);
      o.start_at.fill(-1);
      overrides_.push_back(o);
      level_counts.push_back(static_cast<unsigned char>(t[at + 12]));
    }
    // Then each override's data: a character position, and its levels.
    std::size_t pos = lfo + 4 + std::size_t{count} * kLfoBytes;
    for (uint32_t i = 0; i < count; ++i) {
      if (pos + 4 > end) return;
      pos += 4;
      for (int j = 0; j < level_counts[i]; ++j) {
        if (pos + 8 > end) return;
        int32_t start = static_cast<int32_t>(Le32(t, pos));
        uint32_t flags = Le32(t, pos + 4);
        pos += 8;
        int level = static_cast<int>(flags & 0x0F);
        Level reformatted;
        if ((flags & 0x20) && !ReadLevel(t, end, &pos, &reformatted)) return;
        if (level >= kLevels) continue;
        if (flags & 0x10) overrides_[i].start_at[level] = start < 0 ? 0 : start > kMaxNumber ? kMaxNumber : start;
        if (reformatted.defined) overrides_[i].levels[level] = reformatted;
      }
    }
  }
}

const WordLists::Level* WordLists::LevelOf(const Override& o, const List& l, int level) const {
  if (o.levels[level].defined) return &o.levels[level];
  return l.levels[level].defined ? &l.levels[level] : nullptr;
}

std::string WordLists::Next(int ilfo, int ilvl) {
  if (ilfo < 1 || static_cast<std::size_t>(ilfo) > overrides_.size() || ilvl < 0 || ilvl >= kLevels) return "";
  Override& o = overrides_[static_cast<std::size_t>(ilfo) - 1];
  auto it = lists_.find(o.lsid);
  if (it == lists_.end()) return "";
  List& list = it->second;
  const Level* def = LevelOf(o, list, ilvl);
  if (!def) return "";

  auto start_of = [&](int k) {
    if (o.start_at[k] >= 0) return o.start_at[k];
    const Level* lk = LevelOf(o, list, k);
    return lk ? lk->start : 1;
  };
  // An override that restarts a level does so where it is first used.
  if (!o.used) {
    o.used = true;
    for (int k = 0; k < kLevels; ++k)
      if (o.start_at[k] >= 0) list.counters.Restart(k);
  }
  list.counters.Next(ilvl, start_of(ilvl));

  std::string label;
  for (char16_t c : def->text) {
    if (c < kLevels) {
      const Level* lk = LevelOf(o, list, c);
      int value = list.counters.Shown(c, start_of(c));
      std::string_view format = lk ? WordNumberFormatName(lk->nfc) : "decimal";
      if (def->legal && format != "none" && format != "bullet") format = "decimal";
      label += FormatListNumber(value, format);
    } else if (c < 0x20) {
      continue;
    } else {
      AppendUtf8(static_cast<char32_t>(c), label);
    }
  }
  if (def->nfc == kWordBulletFormat) label = BulletLabel(label);
  // Word follows the label with a tab, a space or nothing, the last relying
  // on the paragraph's indents to set it apart: in text, always a space.
  if (label.empty()) return "";
  return label + " ";
}

std::string AutoNumbering::Next(int level, std::string_view anld, const char* codepage) {
  // ANLD: number format, characters before and after the number, flags,
  // font, size, start value, indents (16 bytes), 4 flag bytes, then the
  // characters of the text around the number.
  if (anld.size() < 20 || level <= 0) return {};
  const int nfc = static_cast<unsigned char>(anld[0]);
  const std::size_t before = static_cast<unsigned char>(anld[1]), after = static_cast<unsigned char>(anld[2]);
  const int start = std::max<int>(0, static_cast<int16_t>(Le16(anld, 10)));
  std::string_view chars = anld.substr(20);
  std::string_view text_before = chars.substr(0, std::min(before, chars.size()));
  std::string_view text_after = chars.substr(std::min(before, chars.size()), after);
  const std::string format(WordNumberFormatName(nfc));
  if (format == "none") return {};
  std::string label;
  if (format == "bullet") {
    // The bullet is the character before the (absent) number, usually in a
    // symbol font.
    for (unsigned char c : text_before) {
      std::string one;
      AppendUtf8(c >= 0x80 ? 0xF000 + c : c, one);
      label += BulletLabel(one);
    }
    if (label.empty()) label = BulletLabel("");
    list_active_ = false;
    return label + " ";
  }
  int n;
  if (level >= 10) {
    std::string key = std::string(anld.substr(0, 3)) + std::string(text_before) + "|" + std::string(text_after);
    if (list_active_ && key == list_format_ && list_value_ < kMaxNumber) {
      n = ++list_value_;
    } else {
      n = list_value_ = start;
      list_format_ = std::move(key);
      list_active_ = true;
    }
  } else {
    const int l = std::min(level, ListCounters::kLevels) - 1;
    outline_.Next(l, start);
    n = outline_.Shown(l, start);
    list_active_ = false;
  }
  label = DecodeCharset(text_before, codepage) + FormatListNumber(n, format) + DecodeCharset(text_after, codepage);
  return label + " ";
}

}  // namespace quarn

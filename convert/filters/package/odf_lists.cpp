#include "convert/filters/package/odf_lists.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "convert/filters/common/list_label.h"

namespace quarn::odf {

namespace {

constexpr const char* kTextNs = "urn:oasis:names:tc:opendocument:xmlns:text:1.0";
constexpr const char* kStyleNs = "urn:oasis:names:tc:opendocument:xmlns:style:1.0";
// Start values and counters stay far from int's limits whatever a file says.
constexpr int kMaxNumber = 1'000'000'000;

// The older XML formats (StarOffice, OpenOffice.org 1) write the same list
// styles in namespaces of their own.
constexpr const char* kLegacyTextNs = "http://openoffice.org/2000/text";
constexpr const char* kLegacyStyleNs = "http://openoffice.org/2000/style";

std::string Attr(xmlTextReaderPtr r, const char* local, const char* ns) {
  xmlChar* v = xmlTextReaderGetAttributeNs(r, reinterpret_cast<const xmlChar*>(local), reinterpret_cast<const xmlChar*>(ns));
  const char* legacy = ns == kTextNs ? kLegacyTextNs : ns == kStyleNs ? kLegacyStyleNs : nullptr;
  if (!v && legacy)
    v = xmlTextReaderGetAttributeNs(r, reinterpret_cast<const xmlChar*>(local),
                                    reinterpret_cast<const xmlChar*>(legacy));
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

bool IsText(xmlTextReaderPtr r, const char* local) {
  const xmlChar* ns = xmlTextReaderConstNamespaceUri(r);
  const xmlChar* name = xmlTextReaderConstLocalName(r);
  if (!ns || !name || std::strcmp(reinterpret_cast<const char*>(name), local) != 0) return false;
  const char* uri = reinterpret_cast<const char*>(ns);
  return std::strcmp(uri, kTextNs) == 0 || std::strcmp(uri, kLegacyTextNs) == 0;
}

int Number(const std::string& s, int fallback) {
  long long n = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || end == s.data()) return fallback;
  return n < 0 ? 0 : n > kMaxNumber ? kMaxNumber : static_cast<int>(n);
}

// OpenDocument's number formats in FormatListNumber's names.
std::string FormatName(const std::string& f) {
  if (f.empty()) return "none";
  if (f == "a") return "lowerLetter";
  if (f == "A") return "upperLetter";
  if (f == "i") return "lowerRoman";
  if (f == "I") return "upperRoman";
  return "decimal";
}

// Reads one list level (the reader on its element) into levels.
void ReadLevel(xmlTextReaderPtr r, std::array<ListStyles::Level, ListStyles::kLevels>& levels) {
  bool number = IsText(r, "list-level-style-number") || IsText(r, "outline-level-style");
  bool bullet = IsText(r, "list-level-style-bullet");
  if (!number && !bullet && !IsText(r, "list-level-style-image")) return;
  int level = Number(Attr(r, "level", kTextNs), 0);
  if (level < 1 || level > ListStyles::kLevels) return;
  ListStyles::Level& l = levels[level - 1];
  l = ListStyles::Level();
  l.defined = true;
  l.bullet = !number;
  l.bullet_char = bullet ? Attr(r, "bullet-char", kTextNs) : "";
  l.format = number ? FormatName(Attr(r, "num-format", kStyleNs)) : "bullet";
  l.prefix = Attr(r, "num-prefix", kStyleNs);
  l.suffix = Attr(r, "num-suffix", kStyleNs);
  l.display_levels = Number(Attr(r, "display-levels", kTextNs), 1);
  l.start = Number(Attr(r, "start-value", kTextNs), 1);
}

}  // namespace

int ListStyles::Read(xmlTextReaderPtr r, const std::function<void(xmlTextReaderPtr)>& other) {
  // Streamed rather than built into a tree: a styles element may be large,
  // and only the list styles matter here.
  const int depth = xmlTextReaderDepth(r);
  if (xmlTextReaderIsEmptyElement(r) == 1) return 1;
  std::array<Level, kLevels>* style = nullptr;
  int style_depth = -1;
  int ret;
  while ((ret = xmlTextReaderRead(r)) == 1) {
    int type = xmlTextReaderNodeType(r);
    int d = xmlTextReaderDepth(r);
    if (type == XML_READER_TYPE_END_ELEMENT && d == depth) break;
    if (type == XML_READER_TYPE_END_ELEMENT && d == style_depth) {
      style = nullptr;
      style_depth = -1;
    } else if (type == XML_READER_TYPE_ELEMENT) {
      if (IsText(r, "list-style") || IsText(r, "outline-style")) {
        std::string name = IsText(r, "outline-style") ? std::string(kOutline) : Attr(r, "name", kStyleNs);
        style = name.empty() || xmlTextReaderIsEmptyElement(r) == 1 ? nullptr : &styles_[name];
        style_depth = style ? d : -1;
      } else if (style && d == style_depth + 1) {
        ReadLevel(r, *style);
      } else if (!style && other) {
        other(r);
      }
    }
  }
  return ret;
}

const ListStyles::Level* ListStyles::Find(std::string_view style, int level) const {
  if (level < 1 || level > kLevels) return nullptr;
  auto it = styles_.find(style);
  if (it == styles_.end() || !it->second[level - 1].defined) return nullptr;
  return &it->second[level - 1];
}

void ListCounter::StartList(const std::string& style, bool continues) {
  Frame f;
  f.style = style.empty() && !frames_.empty() ? frames_.back().style : style;
  if (frames_.empty()) {
    auto [it, fresh] = by_style_.try_emplace(f.style);
    if (!fresh && !continues) it->second = ListCounters();
    current_ = &it->second;
  }
  frames_.push_back(std::move(f));
}

void ListCounter::EndList() {
  if (!frames_.empty()) frames_.pop_back();
  if (frames_.empty()) current_ = nullptr;
}

void ListCounter::StartItem(int start_value) {
  if (frames_.empty()) return;
  frames_.back().pending = true;
  frames_.back().start_value = start_value;
}

void ListCounter::StartHeader() {
  if (!frames_.empty()) frames_.back().pending = false;
}

std::string ListCounter::Paragraph() {
  if (frames_.empty() || !frames_.back().pending || !current_) return "";
  Frame& f = frames_.back();
  f.pending = false;
  const int level = static_cast<int>(frames_.size());
  if (level > ListStyles::kLevels) return "";
  const ListStyles::Level* def = styles_.Find(f.style, level);
  if (!def) return "";

  ListCounters& c = *current_;
  if (f.start_value >= 0) c.Set(level - 1, f.start_value);
  else c.Next(level - 1, def->start);
  return Label(f.style, level, c);
}

std::string ListCounter::Heading(int level, bool restart, int start_value) {
  const ListStyles::Level* def = styles_.Find(ListStyles::kOutline, level);
  if (!def) return "";
  if (restart) outline_.Restart(level - 1);
  if (start_value >= 0) outline_.Set(level - 1, start_value);
  else outline_.Next(level - 1, def->start);
  return Label(ListStyles::kOutline, level, outline_);
}

std::string ListCounter::Label(std::string_view style, int level, const ListCounters& c) const {
  const ListStyles::Level* def = styles_.Find(style, level);
  if (!def) return "";
  std::string label;
  if (def->bullet) {
    label = BulletLabel(def->bullet_char);
  } else {
    std::string number;
    if (def->format != "none") {
      int shown = std::clamp(def->display_levels, 1, level);
      for (int k = level - shown + 1; k <= level; ++k) {
        const ListStyles::Level* lk = styles_.Find(style, k);
        int value = c.Shown(k - 1, lk ? lk->start : 1);
        if (!number.empty()) number += '.';
        number += FormatListNumber(value, lk ? std::string_view(lk->format) : "decimal");
      }
    }
    label = def->prefix + number + def->suffix;
  }
  return label.empty() ? label : label + " ";
}

}  // namespace quarn::odf

#include "convert/filters/odf_lists.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "convert/filters/list_label.h"

namespace quarn::odf {

namespace {

constexpr const char* kTextNs = "urn:oasis:names:tc:opendocument:xmlns:text:1.0";
constexpr const char* kStyleNs = "urn:oasis:names:tc:opendocument:xmlns:style:1.0";
// Start values and counters stay far from int's limits whatever a file says.
constexpr int kMaxNumber = 1'000'000'000;

bool IsElement(xmlNodePtr n, const char* ns, const char* local) {
  return n->type == XML_ELEMENT_NODE && n->ns && n->ns->href && n->name &&
         std::strcmp(reinterpret_cast<const char*>(n->ns->href), ns) == 0 &&
         std::strcmp(reinterpret_cast<const char*>(n->name), local) == 0;
}

std::string Prop(xmlNodePtr n, const char* local, const char* ns) {
  xmlChar* v = xmlGetNsProp(n, reinterpret_cast<const xmlChar*>(local), reinterpret_cast<const xmlChar*>(ns));
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
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

void ReadStyle(xmlNodePtr style, std::array<ListStyles::Level, ListStyles::kLevels>& levels) {
  for (xmlNodePtr c = style->children; c; c = c->next) {
    bool number = IsElement(c, kTextNs, "list-level-style-number");
    bool bullet = IsElement(c, kTextNs, "list-level-style-bullet");
    bool image = IsElement(c, kTextNs, "list-level-style-image");
    if (!number && !bullet && !image) continue;
    int level = Number(Prop(c, "level", kTextNs), 0);
    if (level < 1 || level > ListStyles::kLevels) continue;
    ListStyles::Level& l = levels[level - 1];
    l = ListStyles::Level();
    l.defined = true;
    l.bullet = !number;
    l.bullet_char = bullet ? Prop(c, "bullet-char", kTextNs) : "";
    l.format = number ? FormatName(Prop(c, "num-format", kStyleNs)) : "bullet";
    l.prefix = Prop(c, "num-prefix", kStyleNs);
    l.suffix = Prop(c, "num-suffix", kStyleNs);
    l.display_levels = Number(Prop(c, "display-levels", kTextNs), 1);
    l.start = Number(Prop(c, "start-value", kTextNs), 1);
  }
}

}  // namespace

void ListStyles::Read(xmlNodePtr node) {
  // List styles sit at the top of a styles element, or inside a graphic
  // style's properties; neither nests deeply.
  for (xmlNodePtr c = node ? node->children : nullptr; c; c = c->next) {
    if (IsElement(c, kTextNs, "list-style")) {
      std::string name = Prop(c, "name", kStyleNs);
      if (!name.empty()) ReadStyle(c, styles_[name]);
    }
  }
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
    if (!fresh && !continues) it->second = Counters();
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

  Counters& c = *current_;
  if (f.start_value >= 0) {
    c.value[level] = f.start_value;
  } else if (!c.started[level]) {
    c.value[level] = def->start;
  } else if (c.value[level] < kMaxNumber) {
    ++c.value[level];
  }
  c.started[level] = true;
  for (int k = level + 1; k <= ListStyles::kLevels; ++k) c.started[k] = false;

  std::string label;
  if (def->bullet) {
    label = BulletLabel(def->bullet_char);
  } else {
    std::string number;
    if (def->format != "none") {
      int shown = std::clamp(def->display_levels, 1, level);
      for (int k = level - shown + 1; k <= level; ++k) {
        const ListStyles::Level* lk = styles_.Find(f.style, k);
        int value = c.started[k] ? c.value[k] : lk ? lk->start : 1;
        if (!number.empty()) number += '.';
        number += FormatListNumber(value, lk ? std::string_view(lk->format) : "decimal");
      }
    }
    label = def->prefix + number + def->suffix;
  }
  return label.empty() ? label : label + " ";
}

}  // namespace quarn::odf

#include "convert/filters/package/docx_numbering.h"

#include <charconv>
#include <climits>

#include "convert/filters/common/list_label.h"
#include "convert/filters/package/ooxml.h"

namespace quarn::docx {

namespace {

using ooxml::XmlCursor;

// Counters and start values stay well inside int, whatever a file claims.
constexpr int kMaxNumber = 1'000'000'000;

int ParseNumber(const std::optional<std::string>& v, int fallback) {
  if (!v) return fallback;
  long long n = 0;
  auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
  if (ec != std::errc() || end == v->data()) return fallback;
  if (n < 0) return 0;
  return n > kMaxNumber ? kMaxNumber : static_cast<int>(n);
}

int ParseLevel(const std::optional<std::string>& v) {
  int n = ParseNumber(v, -1);
  return n >= 0 && n < Numbering::kLevels ? n : -1;
}

}  // namespace

bool Numbering::Load(ZipArchive& zip, const std::string& numbering_part, const std::string& styles_part,
                     std::string* error) {
  bool ok = true;
  if (!numbering_part.empty() && zip.Has(numbering_part)) ok = LoadNumbering(zip, numbering_part, error);
  if (!styles_part.empty() && zip.Has(styles_part)) {
    std::string styles_error;
    if (!LoadStyles(zip, styles_part, &styles_error)) {
      if (ok) *error = styles_error;
      ok = false;
    }
  }
  return ok;
}

bool Numbering::LoadNumbering(ZipArchive& zip, const std::string& part, std::string* error) {
  XmlCursor x(zip, part);
  Abstract* abstract = nullptr;
  Instance* instance = nullptr;
  Level* level = nullptr;
  int override_level = -1;
  bool more = x.Read();
  while (more) {
    if (x.IsStart()) {
      std::string_view n = x.LocalName();
      // The chosen copy of alternate content is read, not its fallback;
      // paragraph and run properties of a level hold no numbering.
      if (n == "Fallback" || n == "pPr" || n == "rPr") {
        more = x.Skip();
        continue;
      }
      if (n == "abstractNum") {
        abstract = &abstracts_[ParseNumber(x.Attr("abstractNumId"), -1)];
        instance = nullptr;
        level = nullptr;
      } else if (n == "num") {
        instance = &instances_[ParseNumber(x.Attr("numId"), -1)];
        abstract = nullptr;
        level = nullptr;
      } else if (n == "abstractNumId" && instance) {
        instance->abstract_id = ParseNumber(x.Attr("val"), -1);
      } else if (n == "lvlOverride" && instance) {
        override_level = ParseLevel(x.Attr("ilvl"));
      } else if (n == "startOverride" && instance && override_level >= 0) {
        instance->start_override[override_level] = ParseNumber(x.Attr("val"), 1);
      } else if (n == "numStyleLink" && abstract) {
        abstract->style_link = x.Attr("val").value_or("");
      } else if (n == "lvl") {
        int i = ParseLevel(x.Attr("ilvl"));
        if (abstract && i >= 0) level = &abstract->levels[i];
        else if (instance && override_level >= 0) level = &instance->level_override[override_level];
        else level = nullptr;
        if (level) {
          *level = Level();
          level->defined = true;
        }
      } else if (level) {
        if (n == "start") level->start = ParseNumber(x.Attr("val"), 1);
        else if (n == "numFmt") level->format = x.Attr("val").value_or("decimal");
        else if (n == "lvlText") level->text = x.Attr("val").value_or("");
        else if (n == "isLgl") level->legal = ooxml::IsTrue(x.Attr("val").value_or("1"));
      }
    } else if (x.IsEnd()) {
      std::string_view n = x.LocalName();
      if (n == "lvl") level = nullptr;
      else if (n == "lvlOverride") override_level = -1;
    }
    more = x.Read();
  }
  if (x.failed() || !x.opened()) {
    *error = x.error();
    return false;
  }
  return true;
}

bool Numbering::LoadStyles(ZipArchive& zip, const std::string& part, std::string* error) {
  XmlCursor x(zip, part);
  StyleNum* style = nullptr;
  bool more = x.Read();
  while (more) {
    if (x.IsStart()) {
      std::string_view n = x.LocalName();
      if (n == "Fallback" || n == "rPr" || n == "pPrChange" || n == "tblPr" || n == "tblStylePr") {
        more = x.Skip();
        continue;
      }
      if (n == "style") {
        std::string id = x.Attr("styleId").value_or("");
        style = id.empty() ? nullptr : &styles_[id];
      } else if (style && n == "basedOn") {
        style->based_on = x.Attr("val").value_or("");
      } else if (style && n == "numId") {
        style->num_id = ParseNumber(x.Attr("val"), -1);
      } else if (style && n == "ilvl") {
        style->level = ParseLevel(x.Attr("val"));
      }
    } else if (x.IsEnd() && x.LocalName() == "style") {
      style = nullptr;
    }
    more = x.Read();
  }
  if (x.failed() || !x.opened()) {
    *error = x.error();
    return false;
  }
  return true;
}

Numbering::StyleNum Numbering::ResolveStyle(const std::string& id) const {
  StyleNum result;
  std::string_view current = id;
  // basedOn chains are short; a loop in a damaged file ends here.
  for (int hops = 0; hops < 16 && !current.empty(); ++hops) {
    auto it = styles_.find(current);
    if (it == styles_.end()) break;
    if (result.num_id < 0) result.num_id = it->second.num_id;
    if (result.level < 0) result.level = it->second.level;
    if (result.num_id >= 0 && result.level >= 0) break;
    current = it->second.based_on;
  }
  return result;
}

const Numbering::Level* Numbering::LevelOf(const Instance& inst, int level) const {
  if (auto it = inst.level_override.find(level); it != inst.level_override.end()) return &it->second;
  auto a = abstracts_.find(inst.abstract_id);
  if (a == abstracts_.end()) return nullptr;
  // A definition kept with a list style: that style names the instance
  // whose abstract definition holds the levels (one hop, never a loop).
  if (!a->second.style_link.empty()) {
    StyleNum linked = ResolveStyle(a->second.style_link);
    auto i = instances_.find(linked.num_id);
    if (i == instances_.end()) return nullptr;
    a = abstracts_.find(i->second.abstract_id);
    if (a == abstracts_.end() || !a->second.style_link.empty()) return nullptr;
  }
  const Level& l = a->second.levels[level];
  return l.defined ? &l : nullptr;
}

std::string Numbering::Next(const NumberingRef& ref) {
  if (instances_.empty()) return "";
  int num_id = ref.num_id, level = ref.level;
  if (num_id < 0 || level < 0) {
    StyleNum from_style = ref.style.empty() ? StyleNum{} : ResolveStyle(ref.style);
    if (num_id < 0) num_id = from_style.num_id;
    if (level < 0) level = from_style.level;
  }
  if (level < 0) level = 0;
  if (num_id <= 0) return "";
  auto it = instances_.find(num_id);
  if (it == instances_.end()) return "";
  Instance& inst = it->second;
  const Level* def = LevelOf(inst, level);
  if (!def) return "";

  auto start_of = [&](int k) {
    if (auto s = inst.start_override.find(k); s != inst.start_override.end()) return s->second;
    const Level* l = LevelOf(inst, k);
    return l ? l->start : 1;
  };
  inst.counters.Next(level, start_of(level));

  const std::string label = WordLevelLabel(def->text, def->format == "bullet", def->legal, [&](int k) {
    const Level* l = LevelOf(inst, k);
    return LevelNumber{inst.counters.Shown(k, start_of(k)), l ? std::string_view(l->format) : "decimal"};
  });
  // Word follows the label with a tab, a space or nothing, the last relying
  // on the paragraph's indents to set it apart: in text, always a space.
  if (label.empty()) return "";
  return label + " ";
}

}  // namespace quarn::docx

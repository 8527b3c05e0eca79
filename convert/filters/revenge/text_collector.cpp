#include "convert/filters/revenge/text_collector.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quarn::revenge {

namespace {

// Copies beyond the first that repeated rows and cells may add to one
// document: a sheet that repeats an empty-looking styled cell over a million
// columns must not turn into gigabytes of tabs.
constexpr std::uint64_t kRepeatBudget = std::uint64_t{1} << 20;

const librevenge::RVNGProperty* Prop(const librevenge::RVNGPropertyList& list, const char* name) { return list[name]; }

std::string Str(const librevenge::RVNGPropertyList& list, const char* name) {
  const librevenge::RVNGProperty* p = Prop(list, name);
  if (!p) return {};
  librevenge::RVNGString s = p->getStr();
  return std::string(s.cstr(), s.size());
}

int Int(const librevenge::RVNGPropertyList& list, const char* name, int fallback) {
  const librevenge::RVNGProperty* p = Prop(list, name);
  return p ? p->getInt() : fallback;
}

// A numeric property.  Libraries store values either as numbers or as text;
// a number keeps every digit, while its text form is rounded to four places.
bool Number(const librevenge::RVNGPropertyList& list, const char* name, double* out) {
  const librevenge::RVNGProperty* p = Prop(list, name);
  if (!p) return false;
  const double d = p->getDouble();
  const std::string s = Str(list, name);
  double parsed = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), parsed);
  if (ec != std::errc() || end != s.data() + s.size()) {
    if (s.empty()) return false;
    *out = d;
    return std::isfinite(d);
  }
  *out = (d != 0 || parsed == 0) ? d : parsed;
  return std::isfinite(*out);
}

std::string FormatNumber(double v, int decimals) {
  char buf[64];
  if (decimals >= 0) {
    std::snprintf(buf, sizeof buf, "%.*f", decimals > 15 ? 15 : decimals, v);
    std::string s = buf;
    if (s.find_first_of("123456789") == std::string::npos && s[0] == '-') s.erase(0, 1);  // no "-0.00"
    return s;
  }
  // As many digits as the value has, with the float noise of 15 digits gone.
  std::snprintf(buf, sizeof buf, "%.15g", v);
  v = std::strtod(buf, nullptr);
  if (v == 0) return "0";
  const double mag = std::fabs(v);
  auto fmt = (mag >= 1e-5 && mag < 1e15) ? std::chars_format::fixed : std::chars_format::general;
  auto r = std::to_chars(buf, buf + sizeof buf, v, fmt);
  return r.ec == std::errc() ? std::string(buf, r.ptr) : std::string();
}

// A cell's text as one line: line breaks and tabs become spaces, runs of
// spaces one space, and the ends are trimmed.
std::string Flatten(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool space = false;
  for (char c : s) {
    if (c == '\n' || c == '\t' || c == '\r' || c == ' ') {
      space = true;
      continue;
    }
    if (space && !out.empty()) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

// librevenge names list number formats as OpenDocument does.
std::string ListFormat(std::string_view odf) {
  if (odf == "1") return "decimal";
  if (odf == "a") return "lowerLetter";
  if (odf == "A") return "upperLetter";
  if (odf == "i") return "lowerRoman";
  if (odf == "I") return "upperRoman";
  if (odf.empty()) return "none";
  return "decimal";
}

}  // namespace

std::string CellValueText(const librevenge::RVNGPropertyList& cell, int decimals) {
  const std::string type = Str(cell, "librevenge:value-type");
  char buf[64];
  if (type == "date" || type == "time") {
    const int year = Int(cell, "librevenge:year", -1), month = Int(cell, "librevenge:month", -1),
              day = Int(cell, "librevenge:day", -1);
    const int hours = Int(cell, "librevenge:hours", 0), minutes = Int(cell, "librevenge:minutes", 0);
    double seconds_value = 0;
    Number(cell, "librevenge:seconds", &seconds_value);
    const int seconds = static_cast<int>(seconds_value);
    const bool has_date = type == "date" && year >= 0 && month >= 1 && day >= 1;
    const bool has_time = Prop(cell, "librevenge:hours") || Prop(cell, "librevenge:minutes");
    std::string out;
    if (has_date) {
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
      out = buf;
    }
    if (has_time && (!has_date || hours || minutes || seconds)) {
      std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hours, minutes, seconds);
      if (!out.empty()) out += ' ';
      out += buf;
    }
    if (!out.empty()) return out;
  }
  double value = 0;
  if (!Number(cell, "librevenge:value", &value)) return {};
  if (type == "string" || type == "text") return {};
  if (type == "bool" || type == "boolean") return value != 0 ? "TRUE" : "FALSE";
  if (type == "percentage" || type == "percent") return FormatNumber(value * 100, decimals) + "%";
  return FormatNumber(value, decimals);
}

Collector::Collector(TextSink& sink) : sink_(sink), repeat_budget_(kRepeatBudget) { outs_.emplace_back(); }

void Collector::Emit(Out& out, std::string_view text) {
  if (text.empty()) return;
  switch (out.role) {
    case Role::kSkip:
      return;
    case Role::kBody:
      sink_.Append(text);
      if (sink_.full()) Stop();
      return;
    default:
      // Kept text can never be longer than what the sink would take.
      if (out.buf.size() < sink_.limit()) out.buf.append(text);
      return;
  }
}

void Collector::EndLine(Out& out) {
  if (!out.tables.empty() && out.tables.back().in_cell) {
    out.tables.back().cell.push_back(' ');
    return;
  }
  if (out.role == Role::kBody) {
    sink_.EndLine();
    if (sink_.full()) Stop();
  } else if (!out.buf.empty() && out.buf.back() != '\n') {
    out.buf.push_back('\n');
  }
}

void Collector::LabelPending() {
  if (pending_label_.empty()) return;
  std::string label;
  label.swap(pending_label_);
  Put(label);
}

void Collector::Put(std::string_view text) {
  if (text.empty()) return;
  Out& out = top();
  if (out.role == Role::kSkip) return;
  if (!pending_label_.empty()) LabelPending();
  if (!out.tables.empty() && out.tables.back().in_cell) {
    std::string& cell = out.tables.back().cell;
    if (cell.size() < sink_.limit()) cell.append(text);
    return;
  }
  Emit(out, text);
}

void Collector::Text(std::string_view utf8) { Put(utf8); }
void Collector::Tab() { Put("\t"); }
void Collector::Space() { Put(" "); }
void Collector::LineBreak() { Put("\n"); }

void Collector::OpenParagraph() { ++top().paragraphs; }

void Collector::CloseParagraph() {
  Out& out = top();
  if (out.paragraphs > 0) --out.paragraphs;
  EndLine(out);
  if (out.paragraphs == 0 && !out.after.empty() && (out.tables.empty() || !out.tables.back().in_cell)) {
    std::string after;
    after.swap(out.after);
    Emit(out, after);
  }
}

void Collector::Block() {
  Out& out = top();
  if (out.tables.empty() || !out.tables.back().in_cell) EndLine(out);
}

void Collector::Push(Role role) {
  if (top().role == Role::kSkip) role = Role::kSkip;
  outs_.emplace_back();
  top().role = role;
}

void Collector::Pop() {
  if (outs_.size() < 2) return;
  Out done = std::move(outs_.back());
  outs_.pop_back();
  std::string text = std::move(done.buf);
  if (!done.after.empty()) text += done.after;
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) return;
  if (text.back() != '\n') text.push_back('\n');
  auto keep = [&](std::string& to) {
    if (to.size() < sink_.limit()) to += text;
  };
  switch (done.role) {
    case Role::kHeader:
      if (keep_headers_ && seen_headers_.insert(text).second) keep(headers_);
      return;
    case Role::kNote:
      keep(notes_);
      return;
    case Role::kComment:
      keep(comments_);
      return;
    case Role::kAside: {
      Out& parent = top();
      if (!parent.tables.empty() && parent.tables.back().in_cell) {
        parent.tables.back().cell += ' ' + text;
      } else if (parent.paragraphs > 0) {
        if (parent.after.size() < sink_.limit()) parent.after += text;
      } else {
        EndLine(parent);
        Emit(parent, text);
      }
      return;
    }
    case Role::kBody:
    case Role::kSkip:
      return;
  }
}

void Collector::OpenListLevel(const librevenge::RVNGPropertyList& level, bool ordered) {
  Level l;
  l.ordered = ordered;
  if (ordered) {
    l.format = ListFormat(Str(level, "style:num-format"));
    l.prefix = Str(level, "style:num-prefix");
    l.suffix = Str(level, "style:num-suffix");
    l.start = Int(level, "text:start-value", 1);
  } else {
    l.bullet = Str(level, "text:bullet-char");
  }
  levels_.push_back(std::move(l));
}

void Collector::CloseListLevel() {
  if (levels_.empty()) return;
  levels_.pop_back();
  // The next list at this depth counts afresh.
  if (levels_.size() < static_cast<std::size_t>(ListCounters::kLevels))
    counters_.Restart(static_cast<int>(levels_.size()));
}

void Collector::OpenListElement(const librevenge::RVNGPropertyList& item) {
  OpenParagraph();
  pending_label_.clear();
  if (levels_.empty() || top().role == Role::kSkip) return;
  const int depth = std::min<int>(static_cast<int>(levels_.size()) - 1, ListCounters::kLevels - 1);
  const Level& l = levels_.back();
  std::string label;
  if (l.ordered) {
    if (const librevenge::RVNGProperty* v = item["text:start-value"]; v && v->getInt() > 0)
      counters_.Set(depth, v->getInt());
    else
      counters_.Next(depth, l.start);
    label = l.prefix + FormatListNumber(counters_.Shown(depth, l.start), l.format) + l.suffix;
  } else {
    label = BulletLabel(l.bullet.empty() ? std::string_view("\xE2\x80\xA2") : std::string_view(l.bullet));
  }
  if (!label.empty()) pending_label_ = label + ' ';
}

void Collector::CloseListElement() {
  pending_label_.clear();
  CloseParagraph();
}

void Collector::OpenTable() { top().tables.emplace_back(); }

void Collector::OpenRow() {
  if (top().tables.empty()) return;
  Table& t = top().tables.back();
  t.cells.clear();
  t.in_cell = false;
}

void Collector::OpenCell() {
  if (top().tables.empty()) return;
  Table& t = top().tables.back();
  t.cell.clear();
  t.in_cell = true;
}

void Collector::CloseCell() {
  if (top().tables.empty()) return;
  Table& t = top().tables.back();
  if (!t.in_cell) return;
  t.cells.push_back(Flatten(t.cell));
  t.cell.clear();
  t.in_cell = false;
}

void Collector::CoveredCell() {
  if (top().tables.empty()) return;
  top().tables.back().cells.emplace_back();
}

void Collector::WriteRow(Table& table) {
  std::vector<std::string>& cells = table.cells;
  while (!cells.empty() && cells.back().empty()) cells.pop_back();
  if (cells.empty()) return;
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) line.push_back('\t');
    line += cells[i];
  }
  Out& out = top();
  // A table inside a cell of another table gives that cell its text.
  if (out.tables.size() >= 2 && out.tables[out.tables.size() - 2].in_cell) {
    std::string& cell = out.tables[out.tables.size() - 2].cell;
    cell.push_back(' ');
    cell += line;
    return;
  }
  EndLine(out);
  line.push_back('\n');
  Emit(out, line);
}

void Collector::CloseRow() {
  if (top().tables.empty()) return;
  Table& t = top().tables.back();
  if (t.in_cell) CloseCell();
  if (top().role == Role::kSkip) return;
  WriteRow(t);
  t.cells.clear();
}

void Collector::CloseTable() {
  if (top().tables.empty()) return;
  if (!top().tables.back().cells.empty()) CloseRow();
  top().tables.pop_back();
}

void Collector::DefineNumbering(const librevenge::RVNGPropertyList& style) {
  const std::string name = Str(style, "librevenge:name");
  if (name.empty()) return;
  decimals_[name] = Prop(style, "number:decimal-places") ? Int(style, "number:decimal-places", -1) : -1;
}

void Collector::OpenSheet(const librevenge::RVNGPropertyList& sheet) {
  Out& out = top();
  EndLine(out);
  const std::string name = Flatten(Str(sheet, "librevenge:sheet-name"));
  if (!name.empty()) Emit(out, name + "\n");
  out.tables.emplace_back();
  out.tables.back().sheet = true;
}

void Collector::CloseSheet() {
  Out& out = top();
  if (!out.tables.empty() && out.tables.back().sheet) out.tables.pop_back();
}

void Collector::OpenSheetRow(const librevenge::RVNGPropertyList& row) {
  if (top().tables.empty()) OpenTable();
  Table& t = top().tables.back();
  t.cells.clear();
  t.in_cell = false;
  t.next_column = 0;
  const int repeat = Int(row, "table:number-rows-repeated", 1);
  t.row_repeat = repeat > 1 ? static_cast<std::uint64_t>(repeat) : 1;
}

void Collector::CloseSheetRow() {
  if (top().tables.empty()) return;
  Table& t = top().tables.back();
  if (t.in_cell) CloseSheetCell();
  if (top().role == Role::kSkip) return;
  std::uint64_t copies = t.row_repeat;
  const bool blank = std::all_of(t.cells.begin(), t.cells.end(), [](const std::string& c) { return c.empty(); });
  if (blank) copies = 1;
  std::vector<std::string> cells = t.cells;
  for (std::uint64_t i = 0; i < copies; ++i) {
    if (i > 0) {
      if (repeat_budget_ == 0) break;
      --repeat_budget_;
      t.cells = cells;
    }
    WriteRow(t);
  }
  t.cells.clear();
}

void Collector::OpenSheetCell(const librevenge::RVNGPropertyList& cell) {
  if (top().tables.empty()) OpenTable();
  Table& t = top().tables.back();
  int column = Int(cell, "librevenge:column", t.next_column);
  if (column < t.next_column || column < 0) column = t.next_column;
  t.column = column;
  const int repeat = Int(cell, "table:number-columns-repeated", 1);
  t.cell_repeat = repeat > 1 ? static_cast<std::uint64_t>(repeat) : 1;
  int decimals = -1;
  if (const std::string style = Str(cell, "librevenge:numbering-name"); !style.empty()) {
    auto it = decimals_.find(style);
    if (it != decimals_.end()) decimals = it->second;
  }
  t.value = CellValueText(cell, decimals);
  t.cell.clear();
  t.in_cell = true;
}

void Collector::CloseSheetCell() {
  if (top().tables.empty()) return;
  Table& t = top().tables.back();
  if (!t.in_cell) return;
  t.in_cell = false;
  std::string text = Flatten(t.cell);
  if (text.empty()) text = std::move(t.value);
  t.cell.clear();
  t.value.clear();
  const std::uint64_t span = t.cell_repeat;
  t.next_column = t.column + static_cast<int>(std::min<std::uint64_t>(span, 1u << 20));
  if (text.empty()) return;
  // Columns keep their place: cells left empty before this one stay empty.
  if (t.cells.size() < static_cast<std::size_t>(t.column) && t.column - t.cells.size() < (1u << 16))
    t.cells.resize(static_cast<std::size_t>(t.column));
  t.cells.push_back(text);
  for (std::uint64_t i = 1; i < span && repeat_budget_ > 0; ++i, --repeat_budget_) t.cells.push_back(text);
}

void Collector::Stop() {
  stopped_ = true;
  throw SinkFull{};
}

void Collector::Finish() {
  if (finished_ || stopped_) return;
  finished_ = true;
  while (outs_.size() > 1) Pop();
  Out& body = top();
  EndLine(body);
  for (std::string* part : {&headers_, &notes_, &comments_}) {
    if (part->empty()) continue;
    EndLine(body);
    Emit(body, *part);
  }
}

}  // namespace quarn::revenge

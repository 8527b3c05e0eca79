#include "convert/filters/common/item_lines.h"

#include <charconv>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::string NumberCell(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string CellOnOneLine(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool gap = false;
  for (char c : s) {
    if (c == '\0') break;
    if (c == '\r' || c == '\n' || c == '\t') {
      gap = true;
      continue;
    }
    if (gap && !out.empty() && out.back() != ' ' && c != ' ') out += ' ';
    gap = false;
    out += c;
  }
  return OneLine(std::move(out));
}

std::string TabRow(const std::vector<std::string>& cells) {
  std::size_t used = cells.size();
  while (used > 0 && cells[used - 1].empty()) --used;
  std::string line;
  for (std::size_t i = 0; i < used; ++i) {
    if (i > 0) line += '\t';
    line += cells[i];
  }
  return line;
}

void TableLines::Row(const std::vector<std::string>& cells) {
  if (!started_) {
    sink_.Line(name_);
    if (const std::string names = TabRow(columns_); !names.empty()) sink_.Line(names);
    started_ = true;
  }
  if (const std::string line = TabRow(cells); !line.empty()) sink_.Line(line);
}

void FieldLine(TextSink& sink, std::string_view name, const std::string& value) {
  const std::string v = OneLine(value);
  if (v.empty()) return;
  sink.Append(name);
  sink.Append(": ");
  sink.Line(v);
}

void ItemBreak(TextSink& sink) {
  sink.EndLine();
  if (!sink.empty()) sink.Append("\n");
}

}  // namespace quarn

// The lines of the items that mail stores keep (a message's header fields,
// a contact's, an event's, a task's), written alike by the filters that read
// such stores: "Name: value" on a line of its own, a blank line between items;
// and the rows of database tables: tab-separated values, a row a line.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn {

class TextSink;

// s on one line: line ends and tabs become spaces; spaces at either end go.
std::string OneLine(std::string s);

// s as a cell of a row of tab-separated values: each run of line breaks and
// tabs (a memo's paragraphs) becomes one space, nothing after a NUL counts,
// spaces at either end go.
std::string CellOnOneLine(std::string_view s);

// A floating-point value as a cell: the shortest text that reads back as
// the same number ("0.1", "1e+20").
std::string NumberCell(double value);

// cells joined by tabs, without the empty ones at the end; empty for a row
// of empty cells.
std::string TabRow(const std::vector<std::string>& cells);

// The lines of one table of a database: its name and its column names come
// before its first row, so that a table without rows adds nothing (its
// column names alone are no text).  Each row a line, as TabRow makes it;
// none for a row of empty cells.
class TableLines {
 public:
  TableLines(TextSink& sink, std::string name, std::vector<std::string> columns)
      : sink_(sink), name_(std::move(name)), columns_(std::move(columns)) {}
  void Row(const std::vector<std::string>& cells);

 private:
  TextSink& sink_;
  std::string name_;
  std::vector<std::string> columns_;
  bool started_ = false;
};

// "name: value" on a line of its own, value on one line; nothing for an empty value.
void FieldLine(TextSink& sink, std::string_view name, const std::string& value);

// Ends the line being written and, unless nothing was written yet, leaves a
// blank line before the next item.
void ItemBreak(TextSink& sink);

}  // namespace quarn

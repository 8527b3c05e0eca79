// The lines of the items that mail stores keep (a message's header fields,
// a contact's, an event's, a task's), written alike by the filters that read
// such stores: "Name: value" on a line of its own, a blank line between items;
// and the rows of database tables: tab-separated values, a row a line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarn {

class TextSink;

// s on one line: line ends and tabs become spaces; spaces at either end go.
std::string OneLine(std::string s);

// s as a cell of a row of tab-separated values: each run of line breaks and
// tabs (a memo's paragraphs) becomes one space, nothing after a NUL counts,
// spaces at either end go.
std::string CellOnOneLine(std::string_view s);

// cells as one line of tab-separated values, without the empty ones at its
// end; nothing for a row of empty cells.
void RowLine(TextSink& sink, const std::vector<std::string>& cells);

// "name: value" on a line of its own, value on one line; nothing for an empty value.
void FieldLine(TextSink& sink, std::string_view name, const std::string& value);

// Ends the line being written and, unless nothing was written yet, leaves a
// blank line before the next item.
void ItemBreak(TextSink& sink);

}  // namespace quarn

// What a reader sees of a document that one of the Document Liberation
// libraries parses: the collector takes the text, paragraphs, tables, sheets,
// slides and notes those libraries report and writes them as the other
// filters do -- paragraphs as lines, table rows as tab-separated cells, each
// sheet under its name, slides and pages in order, headers, notes and comments
// after the body.  Styles, pictures and document properties are left out.
// One object per document, used on the thread that parses it.
#pragma once

#include <librevenge/librevenge.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/common/list_label.h"

namespace quarn::revenge {

// Thrown from a callback once the sink is full, so that the library stops
// parsing a document whose text is not wanted any more.
struct SinkFull {};

// The value a spreadsheet cell shows when it has no text of its own: a
// number, percentage, date, time or truth value from the cell's properties,
// with the decimals its number style asks for (decimals < 0: as many as the
// value needs).  Empty when the properties hold no value.
std::string CellValueText(const librevenge::RVNGPropertyList& cell, int decimals);

class Collector {
 public:
  // What a stretch of text is, which decides where it goes.
  enum class Role {
    kBody,     // straight to the sink
    kHeader,   // page headers and footers: after the body, each distinct one once
    kNote,     // footnotes and endnotes: after the body
    kComment,  // comments and annotations: after the notes
    kAside,    // text boxes and frames: after the paragraph they are anchored in
    kSkip,     // master pages and slides, and other text a reader never sees
  };

  explicit Collector(TextSink& sink);

  // Text as the library reports it.
  void Text(std::string_view utf8);
  void Tab();
  void Space();
  void LineBreak();
  void OpenParagraph();
  void CloseParagraph();
  // Ends the current line: blocks that are not paragraphs (a slide's text
  // object, a page) still start on a line of their own.
  void Block();

  void Push(Role role);
  void Pop();

  // Lists: the levels as they open, then one call per item.
  void OpenListLevel(const librevenge::RVNGPropertyList& level, bool ordered);
  void CloseListLevel();
  void OpenListElement(const librevenge::RVNGPropertyList& item);
  void CloseListElement();

  // Tables of text documents, slides and drawings.
  void OpenTable();
  void OpenRow();
  void OpenCell();
  void CloseCell();
  void CoveredCell();
  void CloseRow();
  void CloseTable();

  // Spreadsheets: a sheet's rows are tables whose cells say their column.
  void DefineNumbering(const librevenge::RVNGPropertyList& style);
  void OpenSheet(const librevenge::RVNGPropertyList& sheet);
  void CloseSheet();
  void OpenSheetRow(const librevenge::RVNGPropertyList& row);
  void CloseSheetRow();
  void OpenSheetCell(const librevenge::RVNGPropertyList& cell);
  void CloseSheetCell();

  // Headers and footers are text of text documents only: in a spreadsheet
  // they repeat the sheet's name and page numbers.
  void KeepHeaders(bool keep) { keep_headers_ = keep; }

  // Writes what was kept for after the body; later calls do nothing.
  void Finish();
  // A slide or drawing page begins: the document's pages so far.
  void CountPage() { sink_.set_pages(++pages_); }

  // Whether the sink filled up and parsing was asked to stop.
  bool stopped() const { return stopped_; }

 private:
  struct Table {
    std::vector<std::string> cells;
    std::string cell;
    bool in_cell = false;
    bool sheet = false;
    // Sheet rows: the column of the cell being read, the last column written,
    // and how often the row and the cell repeat.
    int column = 0;
    int next_column = 0;
    std::uint64_t row_repeat = 1;
    std::uint64_t cell_repeat = 1;
    std::string value;  // a sheet cell's value when it has no text
  };
  struct Out {
    Role role = Role::kBody;
    std::string buf;
    std::string after;   // asides waiting for the open paragraph to end
    int paragraphs = 0;  // open paragraphs
    std::vector<Table> tables;
  };
  struct Level {
    bool ordered = false;
    std::string format, prefix, suffix, bullet;
    int start = 1;
  };

  Out& top() { return outs_.back(); }
  // Where text goes now: a table cell, a buffer, the sink, or nowhere.
  void Put(std::string_view text);
  // Writes to out's destination, never into a table cell.
  void Emit(Out& out, std::string_view text);
  void EndLine(Out& out);
  void WriteRow(Table& table);
  void LabelPending();
  [[noreturn]] void Stop();

  TextSink& sink_;
  std::int64_t pages_ = 0;
  std::vector<Out> outs_;
  std::string headers_, notes_, comments_;
  std::set<std::string> seen_headers_;
  bool keep_headers_ = true;
  std::vector<Level> levels_;
  ListCounters counters_;
  std::string pending_label_;
  std::map<std::string, int, std::less<>> decimals_;  // number styles: decimals shown
  std::uint64_t repeat_budget_;
  bool finished_ = false;
  bool stopped_ = false;
};

}  // namespace quarn::revenge

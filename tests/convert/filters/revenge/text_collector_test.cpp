// The librevenge document interfaces as text: the callbacks the Document
// Liberation libraries make, played by hand, and the text they must give.
#include <gtest/gtest.h>

#include <string>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn::revenge {
namespace {

using librevenge::RVNGPropertyList;

RVNGPropertyList Props(std::initializer_list<std::pair<const char*, const char*>> items) {
  RVNGPropertyList p;
  for (const auto& [k, v] : items) p.insert(k, v);
  return p;
}

template <class Doc>
void Paragraph(Doc& d, const char* text) {
  d.openParagraph({});
  d.insertText(text);
  d.closeParagraph();
}

TEST(RevengeText, ParagraphsTabsBreaksAndNoProperties) {
  TextSink sink;
  TextDocument d(sink);
  d.startDocument({});
  d.setDocumentMetaData(Props({{"dc:title", "Secret title"}, {"meta:initial-creator", "Nobody"}}));
  d.openParagraph({});
  d.insertText("One");
  d.insertTab();
  d.insertText("two");
  d.insertSpace();
  d.insertText("three");
  d.insertLineBreak();
  d.insertText("four");
  d.closeParagraph();
  Paragraph(d, "Ελληνικά 日本語");
  d.endDocument();
  EXPECT_EQ(sink.Joined(), "One\ttwo three\nfour\nΕλληνικά 日本語\n");
}

TEST(RevengeText, TablesAreRowsOfTabSeparatedCellsAndNestedTablesStayInTheirCell) {
  TextSink sink;
  TextDocument d(sink);
  Paragraph(d, "Before");
  d.openTable({});
  d.openTableRow({});
  d.openTableCell({});
  Paragraph(d, "A1");
  d.closeTableCell();
  d.openTableCell({});
  Paragraph(d, "B1 line one");
  Paragraph(d, "B1 line two");
  d.closeTableCell();
  d.closeTableRow();
  d.openTableRow({});
  d.insertCoveredTableCell({});  // merged from above: the column keeps its place
  d.openTableCell({});
  d.openTable({});  // a table inside a cell
  d.openTableRow({});
  d.openTableCell({});
  Paragraph(d, "inner");
  d.closeTableCell();
  d.openTableCell({});
  Paragraph(d, "cells");
  d.closeTableCell();
  d.closeTableRow();
  d.closeTable();
  d.closeTableCell();
  d.openTableCell({});  // empty trailing cells cost nothing
  d.closeTableCell();
  d.closeTableRow();
  d.openTableRow({});  // an empty row is no line
  d.openTableCell({});
  d.closeTableCell();
  d.closeTableRow();
  d.closeTable();
  Paragraph(d, "After");
  d.endDocument();
  // The inner table's row is one line of its cell.
  EXPECT_EQ(sink.Joined(), "Before\nA1\tB1 line one B1 line two\n\tinner cells\nAfter\n");
}

TEST(RevengeText, HeadersOnceNotesAndCommentsFollowTheBody) {
  TextSink sink;
  TextDocument d(sink);
  for (int page = 0; page < 2; ++page) {
    d.openHeader({});
    Paragraph(d, "Running head");  // the same on every page span: written once
    d.closeHeader();
    d.openFooter({});
    Paragraph(d, page == 0 ? "Footer one" : "Footer two");
    d.closeFooter();
  }
  d.openParagraph({});
  d.insertText("Body");
  d.openFootnote({});
  Paragraph(d, "The footnote.");
  d.closeFootnote();
  d.insertText(" goes on");
  d.openEndnote({});
  Paragraph(d, "The endnote.");
  d.closeEndnote();
  d.openComment({});
  Paragraph(d, "A comment.");
  d.closeComment();
  d.closeParagraph();
  d.endDocument();
  EXPECT_EQ(sink.Joined(),
            "Body goes on\nRunning head\nFooter one\nFooter two\nThe footnote.\nThe endnote.\nA comment.\n");
}

TEST(RevengeText, TextBoxesFollowTheParagraphTheyAreAnchoredIn) {
  TextSink sink;
  TextDocument d(sink);
  d.openParagraph({});
  d.insertText("Anchor");
  d.openFrame({});
  d.openTextBox({});
  Paragraph(d, "Boxed");
  d.closeTextBox();
  d.closeFrame();
  d.insertText(" here.");
  d.closeParagraph();
  d.openTextBox({});  // outside any paragraph: where it stands
  Paragraph(d, "Loose box");
  d.closeTextBox();
  d.endDocument();
  EXPECT_EQ(sink.Joined(), "Anchor here.\nBoxed\nLoose box\n");
}

TEST(RevengeText, ListItemsStartWithTheirNumberOrBullet) {
  TextSink sink;
  TextDocument d(sink);
  d.openOrderedListLevel(Props({{"style:num-format", "1"}, {"style:num-suffix", "."}}));
  d.openListElement({});
  d.insertText("One");
  d.closeListElement();
  d.openListElement({});
  d.insertText("Two");
  d.closeListElement();
  d.openOrderedListLevel(Props({{"style:num-format", "a"}, {"style:num-suffix", ")"}}));
  d.openListElement({});
  d.insertText("Sub");
  d.closeListElement();
  d.closeOrderedListLevel();
  RVNGPropertyList restart;
  restart.insert("text:start-value", 7);
  d.openListElement(restart);
  d.insertText("Seven");
  d.closeListElement();
  d.closeOrderedListLevel();
  d.openUnorderedListLevel(Props({{"text:bullet-char", "-"}}));
  d.openListElement({});
  d.insertText("Dash");
  d.closeListElement();
  d.closeUnorderedListLevel();
  d.openOrderedListLevel(Props({{"style:num-format", "I"}, {"style:num-suffix", "."}}));
  d.openListElement({});  // a new list counts afresh
  d.insertText("Roman");
  d.closeListElement();
  d.closeOrderedListLevel();
  d.endDocument();
  EXPECT_EQ(sink.Joined(), "1. One\n2. Two\na) Sub\n7. Seven\n- Dash\nI. Roman\n");
}

TEST(RevengeSheet, SheetsByNameColumnsKeepTheirPlaceAndValuesShow) {
  TextSink sink;
  Spreadsheet s(sink);
  s.startDocument({});
  s.openSheet(Props({{"librevenge:sheet-name", "Prices"}}));
  s.openSheetRow({});
  s.openSheetCell(Props({{"librevenge:column", "0"}, {"librevenge:row", "0"}}));
  Paragraph(s, "Item");
  s.closeSheetCell();
  s.openSheetCell(Props({{"librevenge:column", "2"}, {"librevenge:row", "0"}}));  // column B is empty
  Paragraph(s, "Price");
  s.closeSheetCell();
  s.closeSheetRow();
  s.openSheetRow({});
  s.openSheetCell(Props({{"librevenge:column", "0"}}));
  Paragraph(s, "Tea");
  s.closeSheetCell();
  RVNGPropertyList number = Props({{"librevenge:column", "2"}, {"librevenge:value-type", "float"}});
  number.insert("librevenge:value", 3.5);  // no text of its own: the value shows
  s.openSheetCell(number);
  s.closeSheetCell();
  s.closeSheetRow();
  s.closeSheet();
  s.openSheet(Props({{"librevenge:sheet-name", "Kinds"}}));
  s.defineSheetNumberingStyle(Props({{"librevenge:name", "Num2"}, {"number:decimal-places", "2"}}));
  s.openSheetRow({});
  RVNGPropertyList money = Props({{"librevenge:value-type", "currency"}, {"librevenge:numbering-name", "Num2"}});
  money.insert("librevenge:value", 1234.5);
  s.openSheetCell(money);
  s.closeSheetCell();
  RVNGPropertyList percent = Props({{"librevenge:value-type", "percentage"}});
  percent.insert("librevenge:value", 0.25);
  s.openSheetCell(percent);
  s.closeSheetCell();
  RVNGPropertyList date = Props({{"librevenge:value-type", "date"}});
  date.insert("librevenge:year", 2000);
  date.insert("librevenge:month", 1);
  date.insert("librevenge:day", 22);
  s.openSheetCell(date);
  s.closeSheetCell();
  RVNGPropertyList time = Props({{"librevenge:value-type", "time"}});
  time.insert("librevenge:hours", 9);
  time.insert("librevenge:minutes", 5);
  time.insert("librevenge:seconds", 0);
  s.openSheetCell(time);
  s.closeSheetCell();
  RVNGPropertyList truth = Props({{"librevenge:value-type", "boolean"}});
  truth.insert("librevenge:value", 1);
  s.openSheetCell(truth);
  s.closeSheetCell();
  RVNGPropertyList tiny = Props({{"librevenge:value-type", "double"}});
  tiny.insert("librevenge:value", 0.1 + 0.2);  // float noise is not shown
  s.openSheetCell(tiny);
  s.closeSheetCell();
  s.closeSheetRow();
  s.closeSheet();
  s.endDocument();
  EXPECT_EQ(sink.Joined(), "Prices\nItem\t\tPrice\nTea\t\t3.5\nKinds\n1234.50\t25%\t2000-01-22\t09:05:00\tTRUE\t0.3\n");
}

TEST(RevengeSheet, RepeatedRowsAndCellsAreWrittenWithinABudget) {
  TextSink sink;
  Spreadsheet s(sink);
  s.openSheet(Props({{"librevenge:sheet-name", "R"}}));
  RVNGPropertyList rows;
  rows.insert("table:number-rows-repeated", 3);
  s.openSheetRow(rows);
  RVNGPropertyList cells;
  cells.insert("table:number-columns-repeated", 2);
  s.openSheetCell(cells);
  Paragraph(s, "x");
  s.closeSheetCell();
  s.closeSheetRow();
  // A styled but empty row repeated a million times is not a million lines.
  RVNGPropertyList empty_rows;
  empty_rows.insert("table:number-rows-repeated", 1000000);
  s.openSheetRow(empty_rows);
  RVNGPropertyList empty_cells;
  empty_cells.insert("table:number-columns-repeated", 16384);
  s.openSheetCell(empty_cells);
  s.closeSheetCell();
  s.closeSheetRow();
  s.closeSheet();
  s.endDocument();
  EXPECT_EQ(sink.Joined(), "R\nx\tx\nx\tx\nx\tx\n");
}

TEST(RevengeSheet, HeadersOfSheetsAreNotText) {
  TextSink sink;
  Spreadsheet s(sink);
  s.openHeader({});
  Paragraph(s, "Page 1 of 3");
  s.closeHeader();
  s.openSheet(Props({{"librevenge:sheet-name", "Only"}}));
  s.closeSheet();
  s.endDocument();
  EXPECT_EQ(sink.Joined(), "Only\n");
}

TEST(RevengeSlides, SlidesInOrderWithNotesAndNoMasterText) {
  TextSink sink;
  Presentation p(sink);
  p.startDocument({});
  p.startMasterSlide({});
  p.startTextObject({});
  Paragraph(p, "Click to add title");
  p.endTextObject();
  p.endMasterSlide();
  for (const char* title : {"First slide", "Second slide"}) {
    p.startSlide({});
    p.startTextObject({});
    Paragraph(p, title);
    p.endTextObject();
    p.startTableObject({});
    p.openTableRow({});
    p.openTableCell({});
    Paragraph(p, "cell");
    p.closeTableCell();
    p.openTableCell({});
    Paragraph(p, "two");
    p.closeTableCell();
    p.closeTableRow();
    p.endTableObject();
    p.startNotes({});
    p.startTextObject({});
    Paragraph(p, "Speaker note");
    p.endTextObject();
    p.endNotes();
    p.endSlide();
  }
  p.startComment({});
  Paragraph(p, "Reviewer remark");
  p.endComment();
  p.endDocument();
  EXPECT_EQ(sink.Joined(),
            "First slide\ncell\ttwo\nSpeaker note\nSecond slide\ncell\ttwo\nSpeaker note\nReviewer remark\n");
}

TEST(RevengeDrawing, PagesInOrderAndTextObjectsOnLinesOfTheirOwn) {
  TextSink sink;
  Drawing d(sink);
  d.startMasterPage({});
  d.startTextObject({});
  d.insertText("Background");
  d.endTextObject();
  d.endMasterPage();
  d.startPage({});
  d.startTextObject({});
  d.insertText("Shape one");  // some libraries write no paragraphs in shapes
  d.endTextObject();
  d.startTextObject({});
  d.insertText("Shape two");
  d.endTextObject();
  d.endPage();
  d.startPage({});
  d.startTextObject({});
  Paragraph(d, "Page two");
  d.endTextObject();
  d.endPage();
  d.endDocument();
  EXPECT_EQ(sink.Joined(), "Shape one\nShape two\nPage two\n");
}

TEST(RevengeParse, AFullSinkStopsTheLibraryAndIsNoFailure) {
  TextSink sink(64);
  TextDocument d(sink);
  int paragraphs = 0;
  const Parsed parsed = RunParse(d.collector(), [&] {
    for (;;) {
      Paragraph(d, "Twenty characters...");
      ++paragraphs;
    }
    return true;
  });
  EXPECT_TRUE(d.collector().stopped());
  EXPECT_LT(paragraphs, 5);
  EXPECT_TRUE(sink.truncated());
  EXPECT_TRUE(Outcome(parsed, d.collector(), sink, "the document").ok());
}

TEST(RevengeParse, LibraryFailuresAndExceptionsGiveAReason) {
  {
    TextSink sink;
    TextDocument d(sink);
    const Parsed parsed = RunParse(d.collector(), [] { return false; });
    const ExtractResult r = Outcome(parsed, d.collector(), sink, "the drawing");
    EXPECT_EQ(r.status, ExtractResult::Status::kFailed);
    EXPECT_EQ(r.reason, "the drawing cannot be read");
  }
  {
    TextSink sink;
    TextDocument d(sink);
    const Parsed parsed = RunParse(d.collector(), [&]() -> bool {
      Paragraph(d, "Kept");
      throw std::runtime_error("bad record");
    });
    const ExtractResult r = Outcome(parsed, d.collector(), sink, "the drawing");
    EXPECT_EQ(r.status, ExtractResult::Status::kIncomplete);
    EXPECT_EQ(r.reason, "the drawing is damaged: only part of its text was read (bad record)");
    EXPECT_EQ(sink.Joined(), "Kept\n");
  }
}

TEST(RevengeParse, NotesAreWrittenEvenWhenTheLibraryStopsBeforeTheEnd) {
  TextSink sink;
  TextDocument d(sink);
  const Parsed parsed = RunParse(d.collector(), [&] {
    d.openParagraph({});
    d.insertText("Body");
    d.openFootnote({});
    Paragraph(d, "Note");
    d.closeFootnote();
    d.closeParagraph();
    return false;  // no endDocument
  });
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(sink.Joined(), "Body\nNote\n");
}

TEST(RevengeValues, CellValueTextOfEachKind) {
  RVNGPropertyList big = Props({{"librevenge:value-type", "float"}});
  big.insert("librevenge:value", 1e20);
  EXPECT_EQ(CellValueText(big, -1), "1e+20");
  RVNGPropertyList negative_zero = Props({{"librevenge:value-type", "float"}});
  negative_zero.insert("librevenge:value", -0.001);
  EXPECT_EQ(CellValueText(negative_zero, 2), "0.00");
  RVNGPropertyList text_only = Props({{"librevenge:value-type", "string"}});
  EXPECT_EQ(CellValueText(text_only, -1), "");
  RVNGPropertyList written = Props({{"librevenge:value-type", "float"}, {"librevenge:value", "12.5"}});
  EXPECT_EQ(CellValueText(written, -1), "12.5");
  RVNGPropertyList date_time = Props({{"librevenge:value-type", "date"}});
  date_time.insert("librevenge:year", 1999);
  date_time.insert("librevenge:month", 12);
  date_time.insert("librevenge:day", 31);
  date_time.insert("librevenge:hours", 23);
  date_time.insert("librevenge:minutes", 59);
  EXPECT_EQ(CellValueText(date_time, -1), "1999-12-31 23:59:00");
}

}  // namespace
}  // namespace quarn::revenge

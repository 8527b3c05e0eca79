// The four librevenge document interfaces -- text, spreadsheet, presentation
// and drawing -- implemented over one Collector, so that every Document
// Liberation library's parser can hand its document to Quarn.  The filters
// create one of these per document and pass it to the library's parse call,
// on the converting thread.  Callbacks that carry no text do nothing.
#pragma once

#include <librevenge/librevenge.h>

#include "convert/filters/revenge/text_collector.h"

namespace quarn::revenge {

using librevenge::RVNGPropertyList;
using librevenge::RVNGString;

// The callbacks every interface has.
template <class Interface>
class Common : public Interface {
 public:
  explicit Common(TextSink& sink) : c_(sink) {}
  Collector& collector() { return c_; }

  // Document properties (title, author, dates) are not body text.
  void setDocumentMetaData(const RVNGPropertyList&) override {}
  void startDocument(const RVNGPropertyList&) override {}
  void endDocument() override { c_.Finish(); }
  void defineEmbeddedFont(const RVNGPropertyList&) override {}

  void insertTab() override { c_.Tab(); }
  void insertSpace() override { c_.Space(); }
  void insertText(const RVNGString& text) override { c_.Text(std::string_view(text.cstr(), text.size())); }
  void insertLineBreak() override { c_.LineBreak(); }
  void insertField(const RVNGPropertyList&) override {}

  void openOrderedListLevel(const RVNGPropertyList& p) override { c_.OpenListLevel(p, true); }
  void openUnorderedListLevel(const RVNGPropertyList& p) override { c_.OpenListLevel(p, false); }
  void closeOrderedListLevel() override { c_.CloseListLevel(); }
  void closeUnorderedListLevel() override { c_.CloseListLevel(); }
  void openListElement(const RVNGPropertyList& p) override { c_.OpenListElement(p); }
  void closeListElement() override { c_.CloseListElement(); }

  void defineParagraphStyle(const RVNGPropertyList&) override {}
  void openParagraph(const RVNGPropertyList&) override { c_.OpenParagraph(); }
  void closeParagraph() override { c_.CloseParagraph(); }
  void defineCharacterStyle(const RVNGPropertyList&) override {}
  void openSpan(const RVNGPropertyList&) override {}
  void closeSpan() override {}
  void openLink(const RVNGPropertyList&) override {}
  void closeLink() override {}

  void openTableRow(const RVNGPropertyList&) override { c_.OpenRow(); }
  void closeTableRow() override { c_.CloseRow(); }
  void openTableCell(const RVNGPropertyList&) override { c_.OpenCell(); }
  void closeTableCell() override { c_.CloseCell(); }
  void insertCoveredTableCell(const RVNGPropertyList&) override { c_.CoveredCell(); }

  void openGroup(const RVNGPropertyList&) override {}
  void closeGroup() override {}
  void drawRectangle(const RVNGPropertyList&) override {}
  void drawEllipse(const RVNGPropertyList&) override {}
  void drawPolygon(const RVNGPropertyList&) override {}
  void drawPolyline(const RVNGPropertyList&) override {}
  void drawPath(const RVNGPropertyList&) override {}
  void drawConnector(const RVNGPropertyList&) override {}

 protected:
  // A table starts on a line of its own.
  void StartTable() {
    c_.Block();
    c_.OpenTable();
  }

  Collector c_;
};

// The callbacks of the two flowing interfaces: text documents and spreadsheets.
template <class Interface>
class Flow : public Common<Interface> {
 public:
  using Common<Interface>::Common;
  using Common<Interface>::c_;
  using Common<Interface>::StartTable;

  void definePageStyle(const RVNGPropertyList&) override {}
  void openPageSpan(const RVNGPropertyList&) override {}
  void closePageSpan() override {}
  void openHeader(const RVNGPropertyList&) override { c_.Push(Collector::Role::kHeader); }
  void closeHeader() override { c_.Pop(); }
  void openFooter(const RVNGPropertyList&) override { c_.Push(Collector::Role::kHeader); }
  void closeFooter() override { c_.Pop(); }
  void defineSectionStyle(const RVNGPropertyList&) override {}
  void openSection(const RVNGPropertyList&) override {}
  void closeSection() override {}
  void openFootnote(const RVNGPropertyList&) override { c_.Push(Collector::Role::kNote); }
  void closeFootnote() override { c_.Pop(); }
  void openComment(const RVNGPropertyList&) override { c_.Push(Collector::Role::kComment); }
  void closeComment() override { c_.Pop(); }
  void openTextBox(const RVNGPropertyList&) override { c_.Push(Collector::Role::kAside); }
  void closeTextBox() override { c_.Pop(); }
  void openTable(const RVNGPropertyList&) override { StartTable(); }
  void closeTable() override { c_.CloseTable(); }
  void openFrame(const RVNGPropertyList&) override {}
  void closeFrame() override {}
  void insertBinaryObject(const RVNGPropertyList&) override {}
  void insertEquation(const RVNGPropertyList&) override {}
  void defineGraphicStyle(const RVNGPropertyList&) override {}
};

// The chart callbacks spreadsheets and presentations share: a chart's titles
// and labels are text objects, read where they come.
template <class Base>
class Charts : public Base {
 public:
  using Base::Base;
  using Base::c_;

  void defineChartStyle(const RVNGPropertyList&) override {}
  void openChart(const RVNGPropertyList&) override {}
  void closeChart() override {}
  void openChartTextObject(const RVNGPropertyList&) override { c_.Push(Collector::Role::kAside); }
  void closeChartTextObject() override { c_.Pop(); }
  void openChartPlotArea(const RVNGPropertyList&) override {}
  void closeChartPlotArea() override {}
  void insertChartAxis(const RVNGPropertyList&) override {}
};

class TextDocument final : public Flow<librevenge::RVNGTextInterface> {
 public:
  using Flow::Flow;
  void openEndnote(const RVNGPropertyList&) override { c_.Push(Collector::Role::kNote); }
  void closeEndnote() override { c_.Pop(); }
};

class Spreadsheet final : public Charts<Flow<librevenge::RVNGSpreadsheetInterface>> {
 public:
  explicit Spreadsheet(TextSink& sink) : Charts(sink) { c_.KeepHeaders(false); }
  void defineSheetNumberingStyle(const RVNGPropertyList& p) override { c_.DefineNumbering(p); }
  void openSheet(const RVNGPropertyList& p) override { c_.OpenSheet(p); }
  void closeSheet() override { c_.CloseSheet(); }
  void openSheetRow(const RVNGPropertyList& p) override { c_.OpenSheetRow(p); }
  void closeSheetRow() override { c_.CloseSheetRow(); }
  void openSheetCell(const RVNGPropertyList& p) override { c_.OpenSheetCell(p); }
  void closeSheetCell() override { c_.CloseSheetCell(); }
  void openChartSerie(const RVNGPropertyList&) override {}
  void closeChartSerie() override {}
};

// The callbacks of the two page-based interfaces: presentations and drawings.
template <class Interface>
class Pages : public Common<Interface> {
 public:
  using Common<Interface>::Common;
  using Common<Interface>::c_;
  using Common<Interface>::StartTable;

  void setStyle(const RVNGPropertyList&) override {}
  void startLayer(const RVNGPropertyList&) override {}
  void endLayer() override {}
  void startEmbeddedGraphics(const RVNGPropertyList&) override {}
  void endEmbeddedGraphics() override {}
  void drawGraphicObject(const RVNGPropertyList&) override {}
  void startTextObject(const RVNGPropertyList&) override { c_.Block(); }
  void endTextObject() override { c_.Block(); }
  void startTableObject(const RVNGPropertyList&) override { StartTable(); }
  void endTableObject() override { c_.CloseTable(); }
};

class Presentation final : public Charts<Pages<librevenge::RVNGPresentationInterface>> {
 public:
  using Charts::Charts;
  void startSlide(const RVNGPropertyList&) override {
    c_.CountPage();
    c_.Block();
  }
  void endSlide() override { c_.Block(); }
  // A master slide's text (placeholders, footers) is the same on every slide.
  void startMasterSlide(const RVNGPropertyList&) override { c_.Push(Collector::Role::kSkip); }
  void endMasterSlide() override { c_.Pop(); }
  void setSlideTransition(const RVNGPropertyList&) override {}
  void startComment(const RVNGPropertyList&) override { c_.Push(Collector::Role::kComment); }
  void endComment() override { c_.Pop(); }
  // Speaker notes follow their slide's text.
  void startNotes(const RVNGPropertyList&) override { c_.Block(); }
  void endNotes() override { c_.Block(); }
  void openChartSeries(const RVNGPropertyList&) override {}
  void closeChartSeries() override {}
  void openAnimationSequence(const RVNGPropertyList&) override {}
  void closeAnimationSequence() override {}
  void openAnimationGroup(const RVNGPropertyList&) override {}
  void closeAnimationGroup() override {}
  void openAnimationIteration(const RVNGPropertyList&) override {}
  void closeAnimationIteration() override {}
  void insertMotionAnimation(const RVNGPropertyList&) override {}
  void insertColorAnimation(const RVNGPropertyList&) override {}
  void insertAnimation(const RVNGPropertyList&) override {}
  void insertEffect(const RVNGPropertyList&) override {}
};

class Drawing final : public Pages<librevenge::RVNGDrawingInterface> {
 public:
  using Pages::Pages;
  void startPage(const RVNGPropertyList&) override {
    c_.CountPage();
    c_.Block();
  }
  void endPage() override { c_.Block(); }
  // A master page's text is the background of every page that uses it.
  void startMasterPage(const RVNGPropertyList&) override { c_.Push(Collector::Role::kSkip); }
  void endMasterPage() override { c_.Pop(); }
};

}  // namespace quarn::revenge

// Pieces the Office Open XML filters (docx, xlsx, pptx) share: opening a
// package with the checks every one of them makes, reading relationship
// parts, and a thin cursor over a streamed libxml2 text reader that matches
// elements by local name (transitional and strict documents use different
// namespaces for the same elements).
#pragma once

#include <libxml/xmlreader.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/package/zip_archive.h"
#include "convert/filters/builtin_filter.h"
#include "convert/filters/common/scanned_pictures.h"

namespace quarn {
class PrivateFolder;
}

namespace quarn::ooxml {

// Opens the package at path for the filter named self.  When the document
// cannot be read as a package (another format's content, an encrypted
// package, not a zip, a damaged directory), returns nullptr and sets *result
// to what Extract should report.
std::unique_ptr<ZipArchive> OpenPackage(const std::string& path, std::string_view self, TextSink& sink,
                                        ExtractResult* result, ZipLimits limits = {});

struct Relationship {
  std::string id;
  std::string type;    // the full type URI
  std::string target;  // the part name, resolved against the source part
  bool external = false;
};

// The relationships of one part, in the order its .rels part lists them.
class Relationships {
 public:
  // Reads the .rels part of source ("" for the package itself).  A missing
  // .rels part is no error (the part simply has no relationships).
  bool Load(ZipArchive& zip, std::string_view source, std::string* error);
  const Relationship* ById(std::string_view id) const;
  // Internal relationships whose type URI ends with "/" + kind.
  std::vector<const Relationship*> OfKind(std::string_view kind) const;
  const Relationship* FirstOfKind(std::string_view kind) const;

 private:
  std::vector<Relationship> rels_;
};

// "word/document.xml" -> "word/_rels/document.xml.rels".
std::string RelsPartName(std::string_view part);

// The package's main part (the officeDocument relationship of _rels/.rels),
// or fallback when the package does not name one.
std::string MainPart(ZipArchive& zip, std::string_view fallback);

// A forward cursor over one streamed XML part.
class XmlCursor {
 public:
  XmlCursor(ZipArchive& zip, std::string_view part);

  // False when the part could not be opened; error() says why.
  bool opened() const { return static_cast<bool>(reader_); }
  // Moves to the next node; false at the end of the part or on an error.
  bool Read();
  // Skips the current element's subtree, landing after it; false at the end
  // or on an error.  After a successful Skip the cursor is already on the
  // next node (do not Read again before looking at it).
  bool Skip();

  int type() const { return xmlTextReaderNodeType(reader_.get()); }
  bool IsStart() const { return type() == XML_READER_TYPE_ELEMENT; }
  bool IsEnd() const { return type() == XML_READER_TYPE_END_ELEMENT; }
  // A start tag with no content (<x/>): no end node follows.
  bool IsEmpty() const { return xmlTextReaderIsEmptyElement(reader_.get()) == 1; }
  bool IsText() const;
  std::string_view LocalName() const;
  std::string_view Value() const;
  // An attribute of the current element by local name, whatever its prefix.
  std::optional<std::string> Attr(std::string_view local) const;
  // The relationship id (r:id) of the current element: an attribute named
  // "id" in a namespace, unlike a plain "id" beside it.
  std::optional<std::string> RelId() const;
  int Depth() const { return xmlTextReaderDepth(reader_.get()); }
  // Reads the current element (not an empty one) to its end, calling
  // visit() with the cursor on each start tag inside it; where visit returns
  // false, that element's content is skipped.  Like Skip, leaves the cursor
  // on the node after the element; false at the end of the part or on an
  // error.
  template <class Visit>
  bool ReadInside(Visit visit) {
    const int depth = Depth();
    bool more = Read();
    while (more) {
      if (IsEnd() && Depth() == depth) return Read();
      if (IsStart() && !visit()) {
        more = Skip();
        continue;
      }
      more = Read();
    }
    return false;
  }
  // The reader itself, for code that reads a subtree through on its own.
  xmlTextReaderPtr reader() const { return reader_.get(); }

  // Whether reading stopped because of an error (not the end of the part).
  bool failed() const { return failed_; }
  // Why the part could not be opened or read through.
  std::string error() const;

 private:
  // The value of the first attribute of the current element that match accepts.
  std::optional<std::string> FindAttr(bool (*match)(const xmlChar* local, const xmlChar* ns, std::string_view want),
                                      std::string_view want) const;
  // Declared in this order so that reader_ is made straight from OpenXml
  // (XmlPartReader's default constructor needs the private Stream type).
  std::string part_;
  std::string open_error_;
  XmlPartReader reader_;
  bool failed_ = false;
};

// The line layout the Word and PowerPoint walkers share: a paragraph ends a
// line, a row of an outermost table is one line of tab-separated cells, and
// inside a cell or a nested table everything is joined with spaces.  A soft
// separator is written only when more text follows on the same line.
class Layout {
 public:
  explicit Layout(TextSink& sink) : sink_(sink) {}

  void Text(std::string_view t) {
    if (t.empty()) return;
    if (!pending_.empty() && !after_break_) sink_.Append(pending_);
    pending_.clear();
    if (tables_.empty()) {
      sink_.Append(t);
    } else {
      // Keep a cell on its row's line whatever the text holds.
      std::string flat(t);
      for (char& c : flat)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
      sink_.Append(flat);
    }
    after_break_ = false;
  }
  void Soft(std::string_view sep) { pending_ = sep; }
  bool in_table() const { return !tables_.empty(); }

  void LineBreak() {
    if (in_table()) return Soft(" ");
    pending_.clear();
    sink_.Append("\n");
    after_break_ = true;
  }
  void EndLine() {
    pending_.clear();
    sink_.EndLine();
    after_break_ = true;
  }
  void EndParagraph() { in_table() ? Soft(" ") : EndLine(); }

  void StartTable(bool empty) {
    if (!empty) tables_.push_back(0);
  }
  void StartCell() {
    if (tables_.size() == 1) {
      pending_.clear();
      if (tables_.back()++ > 0) sink_.Append("\t");
      after_break_ = true;
    } else if (in_table()) {
      Soft(" ");
    }
  }
  void EndRow() {
    if (tables_.size() != 1) return Soft(" ");
    tables_.back() = 0;
    EndLine();
  }
  void EndTable() {
    if (!tables_.empty()) tables_.pop_back();
    if (tables_.empty()) EndLine();
  }

 private:
  TextSink& sink_;
  std::string pending_;
  std::vector<int> tables_;  // cells seen in the current row, per open table
  bool after_break_ = true;  // nothing but line or cell starts since the last text
};

// Whether an OOXML boolean attribute value is true ("1", "true", "on").
bool IsTrue(std::string_view v);


// The text of a drawing, chart, diagram (SmartArt data) or comments part:
// every <t> element's text, a line at the end of each paragraph and of each
// comment, a chart's cached series names and category labels (numbers and
// dates through their format) a line each, phonetic readings left out;
// false with *error set when the part cannot be read through.
bool ReadPartText(ZipArchive& zip, const std::string& part, TextSink& sink, std::string* error);

// Objects embedded in a document past this size are not read.
constexpr std::uint64_t kMaxEmbeddedBytes = std::uint64_t{64} << 20;

// The text of a document embedded in a part (a workbook, a document or a
// presentation, as a package of its own or as a compound file of the older
// formats), read one level deeper by the filter of its format through a
// file in folder; an object no filter reads gives nothing.  False with
// *error set only when the part itself cannot be read from the package.
bool ReadEmbedded(ZipArchive& zip, const std::string& part, TextSink& sink, PrivateFolder& folder,
                  std::string* error);

// The content type [Content_Types].xml gives a part (its override, else the
// default for its extension); empty when it gives none.
std::string ContentTypeOf(ZipArchive& zip, std::string_view part);

// The text of a chunk a Word document imports where it stands (a web page,
// a web archive, RTF, plain text or a whole Word document that stands in
// the package as a part of its own): read one level deeper by the filter of
// its content type, else of its name, else of its content.  False with
// *error set only when the part cannot be read from the package.
bool ReadImportedChunk(ZipArchive& zip, const std::string& part, TextSink& sink, PrivateFolder& folder,
                       std::string* error);

// The pictures of a document whose body holds no word (a scanned page saved
// as a Word or OpenDocument file): each part, in the order given, read by
// OCR as a page of its own; duplicates, parts that are no picture (vector
// drawings) or too large are passed over, and at most kMaxScannedPictures
// are read.  False with *error set when a part cannot be read from the
// package (the others are still read).
bool ReadScannedPictures(ZipArchive& zip, const std::vector<std::string>& parts, TextSink& sink,
                         PrivateFolder& folder, std::string* error);

}  // namespace quarn::ooxml

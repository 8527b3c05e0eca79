#include "convert/filters/ebook/fb2_reader.h"

#include <libxml/xmlreader.h>

#include <climits>
#include <memory>
#include <vector>

#include "convert/filters/markup/safe_xml.h"

namespace quarn {

namespace {

struct ReaderDeleter {
  void operator()(xmlTextReaderPtr r) const { xmlFreeTextReader(r); }
};

bool Is(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (name == n) return true;
  return false;
}

// Parts of a book that are no text of its story: its properties, its
// pictures (base64 data), its style sheet.
bool Skipped(std::string_view name) { return Is(name, {"description", "binary", "image", "stylesheet"}); }

// Elements whose end ends a line (a paragraph, a verse line, a title...).
bool EndsLine(std::string_view name) {
  return Is(name, {"p", "v", "subtitle", "text-author", "date", "title", "section", "epigraph", "cite", "poem",
                   "stanza", "body", "empty-line", "table", "annotation"});
}

class Walk {
 public:
  explicit Walk(TextSink& sink) : sink_(sink) {}

  void Start(std::string_view name, bool empty) {
    if (name == "tr") {
      cells_.clear();
      line_.clear();
      in_row_ = !empty;
    }
    if (empty) End(name);
  }

  void End(std::string_view name) {
    if ((name == "td" || name == "th") && in_row_) {
      cells_.push_back(std::move(line_));
      line_.clear();
      space_ = false;
    } else if (name == "tr" && in_row_) {
      in_row_ = false;
      std::string row;
      for (std::size_t i = 0; i < cells_.size(); ++i) row += (i ? "\t" : "") + cells_[i];
      cells_.clear();
      if (row.find_first_not_of('\t') != std::string::npos) sink_.Line(row);
    } else if (EndsLine(name)) {
      EndLine();
    }
  }

  // Text inside a body: runs of XML white space become one space.
  void Text(std::string_view text) {
    if (line_.size() > sink_.limit()) return;  // a paragraph past the text limit is cut anyway
    for (char c : text) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        space_ = true;
        continue;
      }
      if (space_ && !line_.empty()) line_ += ' ';
      space_ = false;
      line_ += c;
    }
  }

  void EndLine() {
    if (in_row_) {  // a cell's paragraphs share the cell
      space_ = true;
      return;
    }
    if (!line_.empty()) sink_.Line(line_);
    line_.clear();
    space_ = false;
  }

 private:
  TextSink& sink_;
  std::string line_;
  bool space_ = false;
  bool in_row_ = false;
  std::vector<std::string> cells_;
};

}  // namespace

bool IsFictionBookHead(std::string_view head) {
  std::size_t at = head.find("<FictionBook");
  if (at == std::string_view::npos) {
    // A namespace prefix on the root: "<fb:FictionBook".
    at = head.find(":FictionBook");
    if (at == std::string_view::npos || head.find('<') > at) return false;
  }
  return at < 2048;
}

namespace {

std::optional<ExtractResult> Read(std::unique_ptr<xmlTextReader, ReaderDeleter> reader, TextSink& sink) {
  if (!reader) return std::nullopt;
  xmlTextReaderPtr r = reader.get();
  std::string error;  // the parser's first error
  xmlTextReaderSetStructuredErrorHandler(
      r,
      [](void* user, xmlErrorPtr e) {
        auto* first = static_cast<std::string*>(user);
        if (first->empty() && e && e->level >= XML_ERR_ERROR) {
          *first = e->message ? e->message : "malformed XML";
          while (!first->empty() && (first->back() == '\n' || first->back() == ' ')) first->pop_back();
        }
      },
      &error);
  Walk walk(sink);
  int skip_depth = -1;  // depth of the skipped element the reader is inside
  int bodies = 0;       // open body elements
  bool past_bodies = false;
  int ret;
  while ((ret = xmlTextReaderRead(r)) == 1 && !sink.full()) {
    const int type = xmlTextReaderNodeType(r);
    const int depth = xmlTextReaderDepth(r);
    if (skip_depth >= 0) {
      if (type == XML_READER_TYPE_END_ELEMENT && depth == skip_depth) skip_depth = -1;
      continue;
    }
    const xmlChar* local = xmlTextReaderConstLocalName(r);
    std::string_view name = local ? reinterpret_cast<const char*>(local) : "";
    if (type == XML_READER_TYPE_ELEMENT) {
      const bool empty = xmlTextReaderIsEmptyElement(r) == 1;
      if (Skipped(name)) {
        // The pictures follow the bodies: damage there costs no text.
        if (name == "binary") past_bodies = true;
        if (!empty) skip_depth = depth;
        continue;
      }
      if (name == "body" && !empty) ++bodies;
      if (bodies > 0) walk.Start(name, empty);
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      if (bodies > 0) walk.End(name);
      if (name == "body" && bodies > 0) --bodies;
    } else if (bodies > 0 && (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
                              type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE)) {
      const xmlChar* value = xmlTextReaderConstValue(r);
      if (value) walk.Text(reinterpret_cast<const char*>(value));
    }
  }
  walk.EndLine();
  if (sink.full()) return ExtractResult::Ok();  // the adapter reports the cut
  // Damage is read past where the parser can (a book cut short keeps its
  // start) and reported, unless it lies in the pictures after the bodies.
  if ((ret < 0 || !error.empty()) && !past_bodies) {
    if (sink.empty()) return std::nullopt;
    return ExtractResult::Incomplete("the book is damaged: " + (error.empty() ? std::string("malformed XML") : error) +
                                     "; the text before the damage was read");
  }
  return ExtractResult::Ok();
}

}  // namespace

std::optional<ExtractResult> ExtractFictionBook(const std::string& path, TextSink& sink) {
  return Read(std::unique_ptr<xmlTextReader, ReaderDeleter>(
                  xmlReaderForFile(path.c_str(), nullptr, kSafeXmlOptions | XML_PARSE_RECOVER)),
              sink);
}

std::optional<ExtractResult> ExtractFictionBookBytes(std::string_view bytes, TextSink& sink) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  return Read(std::unique_ptr<xmlTextReader, ReaderDeleter>(xmlReaderForMemory(
                  bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, kSafeXmlOptions | XML_PARSE_RECOVER)),
              sink);
}

}  // namespace quarn

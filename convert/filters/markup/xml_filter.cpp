#include "convert/filters/markup/xml_filter.h"

#include <libxml/HTMLparser.h>
#include <libxml/entities.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/charset.h"
#include "convert/filters/common/list_label.h"
#include "convert/filters/common/number_format.h"
#include "convert/filters/common/symbol_font.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/members.h"
#include "convert/filters/markup/html_filter.h"
#include "convert/filters/markup/safe_xml.h"
#include "convert/filters/markup/xml_errors.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

constexpr std::string_view kWordMl = "http://schemas.microsoft.com/office/word/2003/wordml";
constexpr std::string_view kSpreadsheetMl = "urn:schemas-microsoft-com:office:spreadsheet";
constexpr std::string_view kWordAuxHint = "http://schemas.microsoft.com/office/word/2003/auxHint";
constexpr std::string_view kAml = "http://schemas.microsoft.com/aml/2001/core";
constexpr std::size_t kFlushBytes = std::size_t{64} << 10;
// Damaged files up to this size are read again from the tree the parser
// recovers when streaming them gave no text.
constexpr std::uintmax_t kMaxRecoveredBytes = std::uintmax_t{32} << 20;

struct ReaderDeleter {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderDeleter>;
struct XmlFreer {
  void operator()(xmlChar* p) const { xmlFree(p); }
};
using XmlString = std::unique_ptr<xmlChar, XmlFreer>;

std::string_view View(const xmlChar* s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Text collected for the sink, with the line logic in one place.
class Output {
 public:
  explicit Output(TextSink& sink) : sink_(sink) {}
  void Append(std::string_view s) {
    buf_.append(s);
    if (buf_.size() >= kFlushBytes) Flush();
  }
  // Ends the line unless it is empty; trailing spaces go.
  void EndLine() {
    while (!buf_.empty() && (buf_.back() == ' ' || buf_.back() == '\t')) buf_.pop_back();
    if (buf_.empty() ? !at_line_start_ : buf_.back() != '\n') buf_.push_back('\n');
    at_line_start_ = true;
  }
  void TrimBlanks() {
    while (!buf_.empty() && buf_.back() == ' ') buf_.pop_back();
  }
  bool at_line_start() const { return buf_.empty() ? at_line_start_ : buf_.back() == '\n'; }
  // Whether the text so far ends in a space (kept back by Flush, so known).
  bool after_space() const { return !buf_.empty() && buf_.back() == ' '; }
  // A space between words, unless the line is empty or ends in one.
  void Space() {
    if (!at_line_start() && !after_space()) buf_.push_back(' ');
  }
  void Flush() {
    if (buf_.empty()) return;
    at_line_start_ = buf_.back() == '\n';
    // A cut at a space or tab could lose it to the trimming above: keep
    // trailing blanks for the next piece.
    std::size_t keep = buf_.size();
    while (keep > 0 && (buf_[keep - 1] == ' ' || buf_[keep - 1] == '\t')) --keep;
    if (keep == 0) return;
    sink_.Append(std::string_view(buf_).substr(0, keep));
    at_line_start_ = buf_[keep - 1] == '\n';
    buf_.erase(0, keep);
  }

 private:
  TextSink& sink_;
  std::string buf_;
  bool at_line_start_ = true;
};

// Whitespace runs become one space; a run at the start of a line goes.
void AppendNormalized(std::string_view text, Output& out) {
  std::string piece;
  piece.reserve(text.size());
  bool space = false;
  for (char c : text) {
    if (IsSpace(c)) {
      space = true;
      continue;
    }
    if (space && (!piece.empty() || (!out.at_line_start() && !out.after_space()))) piece.push_back(' ');
    space = false;
    piece.push_back(c);
  }
  if (space && !piece.empty()) piece.push_back(' ');
  out.Append(piece);
}

// The text of entity references ("&product;").  The parser substitutes no
// entity (so that no file is ever read through one); here the entities the
// document declares in its own DTD are expanded instead, with markup in
// their values dropped, and the usual names of characters ("&eacute;",
// "&mdash;", declared in a DTD that is never loaded) are read as those
// characters.  A nest of references ("billion laughs") costs a bounded
// amount: an entity whose text would pass kMaxEntityText, or that nests
// deeper than kMaxDepth, shows nothing, as do all references once the
// document's expansions pass kMaxExpandedText; refused() then says so.
class EntityText {
 public:
  // The text a reference to name in doc shows.
  std::string_view Of(xmlDocPtr doc, std::string_view name) {
    auto it = cache_.find(name);
    if (it == cache_.end()) {
      // Past the document's budget nothing more is expanded (nor kept).
      if (total_ >= kMaxExpandedText) {
        refused_ = true;
        return {};
      }
      std::string text;
      visits_ = 0;
      bool fits = Expand(doc, name, 0, text);
      it = cache_.emplace(std::string(name), fits ? std::optional<std::string>(std::move(text)) : std::nullopt).first;
    }
    if (!it->second) {
      refused_ = true;
      return {};
    }
    if (it->second->size() > kMaxExpandedText - total_) {
      refused_ = true;
      return {};
    }
    total_ += it->second->size();
    return *it->second;
  }
  bool refused() const { return refused_; }
  // Whether a reference named an entity declared nowhere it could be read.
  bool unknown() const { return unknown_; }

 private:
  static constexpr std::size_t kMaxEntityText = std::size_t{64} << 10;
  static constexpr std::size_t kMaxExpandedText = std::size_t{16} << 20;
  static constexpr std::size_t kMaxVisits = std::size_t{64} << 10;
  static constexpr int kMaxDepth = 16;

  // Appends the text of the entity name to out; false when it is too large
  // or nests too deep.
  bool Expand(xmlDocPtr doc, std::string_view name, int depth, std::string& out) {
    if (depth > kMaxDepth || ++visits_ > kMaxVisits) return false;
    const std::string key(name);
    if (key.starts_with('#')) {
      char* end = nullptr;
      const bool hex = key.size() > 1 && (key[1] == 'x' || key[1] == 'X');
      unsigned long c = std::strtoul(key.c_str() + (hex ? 2 : 1), &end, hex ? 16 : 10);
      // A NUL or a number past Unicode shows as the replacement character.
      if (end && *end == '\0') AppendUtf8(c == 0 || c > 0x10FFFF ? char32_t{0xFFFD} : static_cast<char32_t>(c), out);
      return out.size() <= kMaxEntityText;
    }
    xmlEntityPtr entity = doc ? xmlGetDocEntity(doc, BAD_CAST key.c_str()) : xmlGetPredefinedEntity(BAD_CAST key.c_str());
    if (!entity) {
      if (const htmlEntityDesc* known = htmlEntityLookup(BAD_CAST key.c_str())) AppendUtf8(known->value, out);
      else unknown_ = true;
      return out.size() <= kMaxEntityText;
    }
    if (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY) {
      out.append(View(entity->content));
      return out.size() <= kMaxEntityText;
    }
    // External entities are never read; parameter entities are no text.
    if (entity->etype != XML_INTERNAL_GENERAL_ENTITY) return true;
    std::string_view value = View(entity->content);
    std::size_t i = 0;
    while (i < value.size()) {
      const char c = value[i];
      if (c == '&') {
        const std::size_t semi = value.find(';', i + 1);
        if (semi == std::string_view::npos) break;
        if (!Expand(doc, value.substr(i + 1, semi - i - 1), depth + 1, out)) return false;
        i = semi + 1;
      } else if (c == '<') {
        // Markup: a CDATA section is text, anything else is not.
        if (value.substr(i).starts_with("<![CDATA[")) {
          const std::size_t end = value.find("]]>", i);
          out.append(value.substr(i + 9, end == std::string_view::npos ? std::string_view::npos : end - i - 9));
          i = end == std::string_view::npos ? value.size() : end + 3;
        } else {
          const std::size_t end = value.find(value.substr(i).starts_with("<!--") ? "-->" : ">", i);
          i = end == std::string_view::npos ? value.size() : end + 1;
        }
      } else {
        const std::size_t next = std::min(value.find_first_of("&<", i), value.size());
        out.append(value.substr(i, next - i));
        i = next;
      }
      if (out.size() > kMaxEntityText) return false;
    }
    return true;
  }

  std::map<std::string, std::optional<std::string>, std::less<>> cache_;  // by name; none: refused
  std::size_t total_ = 0;   // bytes of expansions shown so far
  std::size_t visits_ = 0;  // references followed for the current entity
  bool refused_ = false;
  bool unknown_ = false;
};

// Plain XML.  Line rule: a boundary of an element (its start or end tag)
// breaks the line unless the element that contains the boundary has text of
// its own next to it, so <p>a <b>b</b> c</p> stays one line while elements
// that hold only other elements put each child's text on its own line.
// White space collapses, except inside an element with xml:space="preserve"
// (a listing), where it is kept as written.  Whitespace-only text,
// attributes, comments and processing instructions are not shown.
class GenericReader {
 public:
  explicit GenericReader(Output& out) : out_(out) {}

  // space: the element's xml:space ("preserve", "default", or none to
  // inherit it).
  void StartElement(bool empty, std::string_view space) {
    Boundary();
    const bool preserve = space.empty() ? !preserve_.empty() && preserve_.back() : space == "preserve";
    if (!empty) {
      has_text_.push_back(false);
      preserve_.push_back(preserve);
    } else {
      Boundary();
    }
  }
  void EndElement() {
    if (!has_text_.empty()) has_text_.pop_back();
    if (!preserve_.empty()) preserve_.pop_back();
    Boundary();
  }
  void Text(std::string_view text) {
    if (!preserve_.empty() && preserve_.back()) return Preserved(text);
    bool blank = true;
    for (char c : text) blank = blank && IsSpace(c);
    std::size_t lead = 0;
    while (lead < text.size() && IsSpace(text[lead])) ++lead;
    bool newline = text.substr(0, lead).find('\n') != std::string_view::npos;
    if (blank) {
      // Between two pieces of an element's own text (around a reference or
      // an inline element) white space still parts words.
      if (!has_text_.empty() && has_text_.back() && !pending_) out_.Space();
      if (newline) indented_ = true;
      return;
    }
    std::size_t depth = has_text_.size();
    if (pending_) {
      // Text right beside the last boundary inside the same element is mixed
      // content: no break.  Text on a line of its own (indented source) is
      // a block of its own.
      if (pending_depth_ != depth || indented_ || newline) out_.EndLine();
      pending_ = false;
    }
    if (!has_text_.empty()) has_text_.back() = true;
    AppendNormalized(text, out_);
  }

 private:
  void Preserved(std::string_view text) {
    if (pending_) {
      if (pending_depth_ != has_text_.size()) out_.EndLine();
      pending_ = false;
    }
    // The line end that usually follows the start tag is no line of text.
    if (out_.at_line_start()) {
      if (text.starts_with("\r\n")) text.remove_prefix(2);
      else if (text.starts_with('\n')) text.remove_prefix(1);
    }
    if (text.empty()) return;
    if (!has_text_.empty()) has_text_.back() = true;
    out_.Append(text);
  }

  void Boundary() {
    std::size_t depth = has_text_.size();
    if (depth > 0 && has_text_.back()) return;  // inside mixed content
    pending_ = true;
    pending_depth_ = depth;
    indented_ = false;
  }
  Output& out_;
  std::vector<bool> has_text_;  // per open element: has it text of its own
  std::vector<bool> preserve_;  // per open element: is its white space kept
  bool pending_ = false;
  bool indented_ = false;  // a line break in whitespace since the boundary
  std::size_t pending_depth_ = 0;
};

// The encoding to read a document in when it is not the one it declares: a
// document declared (or taken) as UTF-8 whose first bytes are another code
// page (written by a program that never converted its text) is read in the
// code page of those bytes; empty to read it as it declares.
std::string EncodingOverride(const std::string& path) {
  FileSource src;
  if (!src.Open(path)) return {};
  std::string head(std::size_t{64} << 10, '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const std::size_t n = src.Read(head.data() + got, head.size() - got);
    if (n == 0) break;
    got += n;
  }
  head.resize(got);
  if (head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF") || head.starts_with(std::string_view("<\0", 2)) ||
      head.starts_with(std::string_view("\0<", 2)))
    return {};  // UTF-16: the parser knows it by its bytes
  std::string declared = DeclaredXmlEncoding(head);
  if (declared.empty()) declared = "UTF-8";
  // A sequence cut by the end of the sample is no fault of the document.
  std::size_t end = head.size();
  for (std::size_t back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(head[end - 1]) & 0xC0) == 0x80; ++back)
    --end;
  if (end > 0 && static_cast<unsigned char>(head[end - 1]) >= 0xC0) --end;
  const std::string charset = LabelledCharset(std::string_view(head).substr(0, end), declared);
  return charset == declared ? std::string() : charset;
}

// The lists of a Word 2003 XML document, for the list paragraphs that carry
// no label as Word showed it (wx:t), as other writers save them: the level
// definitions of w:lists, counted per list in document order.
class Word2003Lists {
 public:
  // A w: element starts (empty: it has no content) or ends.
  void Start(std::string_view name, xmlTextReaderPtr r, bool empty) {
    if (name == "lists") {
      in_lists_ = !empty;
    } else if (!in_lists_) {
      if (name == "p" && !empty) ++paragraphs_;
      else if (name == "listPr") ilvl_ = ilfo_ = -1;
      else if (name == "ilvl") ilvl_ = Val(r, "val");
      else if (name == "ilfo") ilfo_ = Val(r, "val");
    } else if (name == "listDef" && !empty && defs_.size() < kMaxLists) {
      def_ = &defs_[Val(r, "listDefId")];
    } else if (name == "lvl" && def_ && !list_) {
      const int k = Val(r, "ilvl");
      level_ = k >= 0 && k < kLevels && !empty ? &def_->levels[k] : nullptr;
      if (level_) level_->defined = true;
    } else if (level_ && name == "start") {
      level_->start = Val(r, "val");
    } else if (level_ && name == "nfc") {
      level_->nfc = Val(r, "val");
    } else if (level_ && name == "lvlText") {
      XmlString v(xmlTextReaderGetAttributeNs(r, BAD_CAST "val", BAD_CAST kWordMl.data()));
      level_->text = std::string(View(v.get())).substr(0, 64);
    } else if (level_ && name == "isLgl") {
      level_->legal = true;
    } else if (name == "list" && !empty && lists_.size() < kMaxLists) {
      list_ = &lists_[Val(r, "ilfo")];
    } else if (list_ && name == "ilst") {
      list_->def = Val(r, "val");
    } else if (list_ && name == "lvlOverride") {
      override_level_ = empty ? -1 : Val(r, "ilvl");
    } else if (list_ && name == "startOverride" && override_level_ >= 0 && override_level_ < kLevels) {
      list_->start_override[override_level_] = Val(r, "val");
    }
  }
  void End(std::string_view name) {
    if (name == "lists") in_lists_ = false;
    else if (name == "p" && paragraphs_ > 0) --paragraphs_;
    else if (name == "listDef") def_ = nullptr;
    else if (name == "lvl") level_ = nullptr;
    else if (name == "list") list_ = nullptr;
    else if (name == "lvlOverride") override_level_ = -1;
  }

  // The label of the paragraph whose w:listPr just ended, and a space; ""
  // when it is no list paragraph (or a style's list properties ended).
  std::string ParagraphLabel() {
    if (paragraphs_ == 0 || ilfo_ <= 0) return {};
    auto list = lists_.find(ilfo_);
    if (list == lists_.end()) return {};
    auto def = defs_.find(list->second.def);
    if (def == defs_.end()) return {};
    const int level = std::clamp(ilvl_, 0, kLevels - 1);
    const Level* levels = def->second.levels;
    if (!levels[level].defined) return {};
    List& l = list->second;
    auto start_of = [&](int k) {
      auto s = l.start_override.find(k);
      return s != l.start_override.end() ? s->second : levels[k].start;
    };
    l.counters.Next(level, start_of(level));
    const std::string label =
        WordLevelLabel(levels[level].text, levels[level].nfc == kWordBulletFormat, levels[level].legal,
                       [&](int k) { return LevelNumber{l.counters.Shown(k, start_of(k)), WordNumberFormatName(levels[k].nfc)}; });
    return label.empty() ? label : label + " ";
  }

 private:
  static constexpr int kLevels = 9;
  static constexpr std::size_t kMaxLists = 4096;
  struct Level {
    int start = 1;
    int nfc = 0;  // the number format's code
    std::string text;
    bool legal = false;
    bool defined = false;
  };
  struct Def {
    Level levels[kLevels];
  };
  struct List {
    int def = -1;
    std::map<int, int> start_override;
    ListCounters counters;
  };

  static int Val(xmlTextReaderPtr r, const char* attribute) {
    XmlString v(xmlTextReaderGetAttributeNs(r, BAD_CAST attribute, BAD_CAST kWordMl.data()));
    if (!v) return -1;
    const long n = std::strtol(reinterpret_cast<const char*>(v.get()), nullptr, 10);
    return static_cast<int>(std::clamp(n, -1L, 1'000'000'000L));
  }
  std::map<int, Def> defs_;
  std::map<int, List> lists_;
  bool in_lists_ = false;
  Def* def_ = nullptr;
  Level* level_ = nullptr;
  List* list_ = nullptr;
  int override_level_ = -1;
  int paragraphs_ = 0;
  int ilvl_ = -1, ilfo_ = -1;
};

class XmlFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "xml", sink)) return *r;
    // Recovery mode keeps the text after a fault; the fault itself is
    // recorded and makes the result incomplete.
    encoding_ = EncodingOverride(path);
    ReaderPtr reader(xmlReaderForFile(path.c_str(), Encoding(), Options()));
    if (!reader) return ExtractResult::Failed("cannot open the document");
    std::string fault;
    xmlTextReaderSetStructuredErrorHandler(reader.get(), &XmlFilter::OnError, &fault);
    entities_refused_ = entities_unknown_ = false;
    int status = ReadAll(reader.get(), sink);
    reader.reset();
    if (status < 0 && sink.empty()) {
      // The streaming reader gives up at a fatal error before handing out
      // what it parsed, so a small damaged file would yield nothing: read
      // the tree the parser recovers instead (bounded: a tree costs a
      // multiple of the file's size).
      std::error_code ec;
      auto size = std::filesystem::file_size(path, ec);
      if (!ec && size <= kMaxRecoveredBytes) ReadRecovered(path, sink);
    }
    if (sink.full()) return ExtractResult::Incomplete("the text limit was reached");
    if (fault.empty() && entities_refused_) fault = "entities that expand too far were not shown";
    if (fault.empty() && entities_unknown_) fault = "entities declared only in a DTD that is not read were not shown";
    if (status < 0 || !fault.empty()) {
      std::string why = fault.empty() ? "the XML is malformed" : fault;
      if (sink.empty()) return ExtractResult::Failed(why);
      return ExtractResult::Incomplete(why);
    }
    return ExtractResult::Ok();
  }

  // Reads the document under r into sink; the reader's last status.
  int ReadAll(xmlTextReaderPtr r, TextSink& sink) {
    cell_depth_ = 0;
    cell_span_ = 0;
    cell_column_ = 1;
    Output out(sink);
    GenericReader generic(out);
    EntityText entities;
    enum class Kind { kUnknown, kGeneric, kWord, kSheet } kind = Kind::kUnknown;

    // Word 2003 state.
    int word_text = 0;    // inside w:t
    int word_skip = 0;    // inside w:delText, w:instrText, w:binData
    int pending_tabs = 0; // cells ended in the current row
    // Footnotes, endnotes and comments stand in the text where they refer;
    // they are read aside and follow the body (a note after its mark, which
    // also stands where the note does).
    TextSink notes_sink = SideSink(sink, sink.limit());
    Output notes(notes_sink);
    Output* word_out = &out;
    int note_depth = 0;          // inside a note (notes do not nest, but a damaged file may)
    int comment_depth = -1;      // the reader depth of the comment being read
    int note_tabs = 0;
    int footnotes = 0, endnotes = 0;
    std::string label, label_font;  // a list paragraph's label as Word showed it (wx:t)
    Word2003Lists word_lists;       // and its lists' definitions, for paragraphs without one
    // Spreadsheet state.
    std::map<std::string, NumberFormat> number_formats;  // of the workbook's styles, by id
    std::string style_id;     // the ss:Style being read
    std::string cell_style;   // the current cell's style
    std::string data_type;    // the current value's ss:Type
    std::string data_text;    // the current value, shown through its style when it ends
    int sheet_comment_depth = 0;    // inside a cell's Comment
    std::string comments;     // the sheet's comments, after its rows
    int sheet_data = 0;   // inside ss:Data
    long column = 0;      // next column of the current row (1-based)
    long written = 0;     // columns written in the current row
    bool row_has_cell = false;

    // A Word note or comment starts: its mark where it stands, its text aside.
    auto open_note = [&](const std::string& mark) {
      if (!mark.empty()) Put(out, pending_tabs, mark);
      word_out = &notes;
      notes.EndLine();
      if (!mark.empty()) notes.Append(mark + " ");
    };
    auto close_note = [&] {
      notes.EndLine();
      note_tabs = 0;
      word_out = &out;
    };
    // A sheet's comments follow its rows, a line each.
    auto sheet_comments = [&] {
      out.EndLine();
      for (std::size_t at = 0; at < comments.size();) {
        std::size_t end = comments.find('\n', at);
        if (end == std::string::npos) end = comments.size();
        AppendNormalized(std::string_view(comments).substr(at, end - at), out);
        out.EndLine();
        at = end + 1;
      }
      comments.clear();
    };

    int status;
    while ((status = xmlTextReaderRead(r)) == 1) {
      if (sink.full()) break;
      int type = xmlTextReaderNodeType(r);
      std::string_view name = View(xmlTextReaderConstLocalName(r));
      std::string_view ns = View(xmlTextReaderConstNamespaceUri(r));
      if (kind == Kind::kUnknown && type == XML_READER_TYPE_ELEMENT) {
        if (name == "wordDocument" && ns == kWordMl) kind = Kind::kWord;
        else if (name == "Workbook" && ns == kSpreadsheetMl) kind = Kind::kSheet;
        else kind = Kind::kGeneric;
      }
      bool empty = type == XML_READER_TYPE_ELEMENT && xmlTextReaderIsEmptyElement(r) == 1;
      bool text = type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA;

      if (kind == Kind::kGeneric || kind == Kind::kUnknown) {
        if (type == XML_READER_TYPE_ELEMENT) {
          XmlString space(xmlTextReaderGetAttributeNs(r, BAD_CAST "space", XML_XML_NAMESPACE));
          generic.StartElement(empty, View(space.get()));
        } else if (type == XML_READER_TYPE_END_ELEMENT) {
          generic.EndElement();
        } else if (text || type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE || type == XML_READER_TYPE_WHITESPACE) {
          generic.Text(View(xmlTextReaderConstValue(r)));
        } else if (type == XML_READER_TYPE_ENTITY_REFERENCE) {
          xmlNodePtr node = xmlTextReaderCurrentNode(r);
          std::string_view value = entities.Of(node ? node->doc : nullptr, name);
          if (!value.empty()) generic.Text(value);
        }
        continue;
      }

      if (kind == Kind::kWord) {
        bool w = ns == kWordMl;
        Output& o = *word_out;
        int& tabs = word_out == &out ? pending_tabs : note_tabs;
        // Pictures (w:binData, base64) and deleted or field-code text are not
        // shown; every start that counts is matched by its end, so the count
        // never goes below zero.
        const bool skipped = name == "binData" || (w && (name == "delText" || name == "instrText"));
        if (w && type == XML_READER_TYPE_ELEMENT) word_lists.Start(name, r, empty);
        else if (w && type == XML_READER_TYPE_END_ELEMENT) word_lists.End(name);
        if (type == XML_READER_TYPE_ELEMENT && skipped) {
          if (!empty) ++word_skip;
        } else if (type == XML_READER_TYPE_ELEMENT && w) {
          if (name == "t" && !empty) ++word_text;
          else if (name == "tab") Put(o, tabs, "\t");
          else if (name == "br" || name == "cr") o.Append("\n");
          else if (name == "p" && empty) o.EndLine();
          else if ((name == "footnote" || name == "endnote") && !empty && note_depth++ == 0 && comment_depth < 0)
            open_note(name == "footnote" ? std::to_string(++footnotes) : FormatListNumber(++endnotes, "lowerRoman"));
        } else if (type == XML_READER_TYPE_ELEMENT && ns == kWordAuxHint && (name == "t" || name == "font")) {
          XmlString v(xmlTextReaderGetAttributeNs(r, BAD_CAST "val", BAD_CAST kWordAuxHint.data()));
          if (v) (name == "t" ? label : label_font) = std::string(View(v.get())).substr(0, 64);
        } else if (type == XML_READER_TYPE_ELEMENT && ns == kAml && name == "annotation" && !empty &&
                   comment_depth < 0 && note_depth == 0) {
          XmlString kind_of(xmlTextReaderGetAttributeNs(r, BAD_CAST "type", BAD_CAST kWordMl.data()));
          if (View(kind_of.get()) == "Word.Comment") {
            comment_depth = xmlTextReaderDepth(r);
            open_note("");
          }
        } else if (type == XML_READER_TYPE_END_ELEMENT) {
          if (w && name == "t") --word_text;
          else if (skipped) word_skip = std::max(0, word_skip - 1);
          else if (w && name == "p") {
            // A paragraph inside a cell stays in the row's line.
            if (cell_depth_ > 0 && word_out == &out) o.Append(" ");
            else o.EndLine();
          } else if (w && name == "tc") {
            if (cell_depth_ > 0) --cell_depth_;
            ++tabs;
          } else if (w && name == "tr") {
            tabs = 0;
            o.EndLine();
          } else if (w && name == "listPr") {
            // The label Word showed, in the font it showed it in (a bullet
            // in Symbol is that font's character).
            if (!label.empty()) {
              std::string shown = IsSymbolFont(label_font) ? SymbolFontText(label_font, label) : label;
              Put(o, tabs, BulletLabel(shown) + " ");
            } else if (std::string own = word_lists.ParagraphLabel(); !own.empty()) {
              Put(o, tabs, own);
            }
            label.clear();
            label_font.clear();
          } else if (w && (name == "footnote" || name == "endnote") && note_depth > 0) {
            if (--note_depth == 0 && comment_depth < 0) close_note();
          } else if (ns == kAml && name == "annotation" && comment_depth == xmlTextReaderDepth(r)) {
            comment_depth = -1;
            close_note();
          }
        } else if (text && word_text > 0 && word_skip == 0) {
          Put(o, tabs, View(xmlTextReaderConstValue(r)));
        }
        if (type == XML_READER_TYPE_ELEMENT && w && name == "tc" && !empty) ++cell_depth_;
        continue;
      }

      // SpreadsheetML 2003.
      bool ss = ns == kSpreadsheetMl;
      if (type == XML_READER_TYPE_ELEMENT && ss && sheet_comment_depth > 0) {
        if (name == "Comment" && !empty) ++sheet_comment_depth;
      } else if (type == XML_READER_TYPE_ELEMENT && ss && name == "Comment" && !empty) {
        ++sheet_comment_depth;
      } else if (type == XML_READER_TYPE_ELEMENT && ss && (name == "Style" || name == "NumberFormat")) {
        XmlString v(xmlTextReaderGetAttributeNs(r, BAD_CAST(name == "Style" ? "ID" : "Format"), BAD_CAST kSpreadsheetMl.data()));
        if (name == "Style") style_id = v ? std::string(View(v.get())) : std::string();
        else if (v && !style_id.empty() && number_formats.size() < 65536)
          number_formats.insert_or_assign(style_id, NumberFormat(SpreadsheetFormatCode(View(v.get()))));
      } else if (type == XML_READER_TYPE_ELEMENT && ss) {
        if (name == "Worksheet") {
          sheet_comments();
          out.EndLine();
          XmlString sheet(xmlTextReaderGetAttributeNs(r, BAD_CAST "Name", BAD_CAST kSpreadsheetMl.data()));
          if (sheet) {
            AppendNormalized(View(sheet.get()), out);
            out.EndLine();
          }
        } else if (name == "Row") {
          out.EndLine();
          column = 1;
          written = 1;
          row_has_cell = false;
          if (empty) out.EndLine();
        } else if (name == "Cell") {
          XmlString style(xmlTextReaderGetAttributeNs(r, BAD_CAST "StyleID", BAD_CAST kSpreadsheetMl.data()));
          cell_style = style ? std::string(View(style.get())) : std::string();
          long index = AttributeNumber(r, "Index");
          if (index > column && index - column < 16384) column = index;
          long merge = AttributeNumber(r, "MergeAcross");
          cell_span_ = merge > 0 && merge < 16384 ? merge : 0;
          cell_column_ = column;
          column += 1 + cell_span_;
        } else if (name == "Data" && !empty) {
          ++sheet_data;
          XmlString data(xmlTextReaderGetAttributeNs(r, BAD_CAST "Type", BAD_CAST kSpreadsheetMl.data()));
          data_type = data ? std::string(View(data.get())) : std::string();
          data_text.clear();
          // Tabs up to this cell's column.
          if (row_has_cell || cell_column_ > 1) {
            long tabs = cell_column_ - written;
            if (row_has_cell && tabs < 1) tabs = 1;
            out.Append(std::string(static_cast<std::size_t>(tabs > 0 ? tabs : 0), '\t'));
          }
          written = cell_column_;
          row_has_cell = true;
        }
      } else if (type == XML_READER_TYPE_END_ELEMENT) {
        if (ss && sheet_comment_depth > 0) {
          if (name == "Comment" && --sheet_comment_depth == 0) comments.push_back('\n');
        } else if (ss && name == "Data" && sheet_data > 0) {
          if (--sheet_data == 0) {
            AppendNormalized(ShownValue(data_text, data_type, number_formats, cell_style), out);
            data_text.clear();
          }
        } else if (ss && name == "Row") {
          out.EndLine();
        } else if (ss && name == "Worksheet") {
          sheet_comments();
        }
      } else if (text && sheet_comment_depth > 0) {
        if (comments.size() < (std::size_t{16} << 20)) comments.append(View(xmlTextReaderConstValue(r)));
      } else if (text && sheet_data > 0) {
        if (data_text.size() < (std::size_t{16} << 20)) data_text.append(View(xmlTextReaderConstValue(r)));
      }
    }
    out.EndLine();
    out.Flush();
    notes.EndLine();
    notes.Flush();
    for (const std::string& chunk : notes_sink.chunks()) {
      if (sink.full()) break;
      sink.Append(chunk);
    }
    entities_refused_ = entities_refused_ || entities.refused();
    entities_unknown_ = entities_unknown_ || entities.unknown();
    return status;
  }

  // The encoding the document is read in (null: its own) and the parser's
  // options, which then tell it to pass over the document's declaration.
  const char* Encoding() const { return encoding_.empty() ? nullptr : encoding_.c_str(); }
  int Options() const { return kSafeXmlOptions | XML_PARSE_RECOVER | (encoding_.empty() ? 0 : XML_PARSE_IGNORE_ENC); }

  // Reads the tree libxml2 recovers from a damaged file, through a reader
  // walking that tree.
  void ReadRecovered(const std::string& path, TextSink& sink) {
    std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> ctxt(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!ctxt) return;
    // The fault was recorded by the first reading; the parser's own
    // messages are not for the terminal.
    ctxt->sax->error = &IgnoreMessage;
    ctxt->sax->warning = &IgnoreMessage;
    std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        xmlCtxtReadFile(ctxt.get(), path.c_str(), Encoding(), Options()), xmlFreeDoc);
    if (!doc) return;
    ReaderPtr walker(xmlReaderWalker(doc.get()));
    if (walker) ReadAll(walker.get(), sink);
  }

 private:
  // A SpreadsheetML style's format ("Fixed", "Short Date", "0.0%") as a
  // format code: the named formats as Excel shows them in English (United
  // States).
  static std::string SpreadsheetFormatCode(std::string_view format) {
    static const std::map<std::string_view, std::string_view> kNamed = {
        {"General", "General"}, {"General Number", "General"}, {"Currency", "\\$#,##0.00"},
        {"Euro Currency", "[$\u20ac-2] #,##0.00"}, {"Fixed", "0.00"}, {"Standard", "#,##0.00"},
        {"Percent", "0.00%"}, {"Scientific", "0.00E+00"}, {"General Date", "m/d/yyyy h:mm"},
        {"Long Date", "dddd, mmmm d, yyyy"}, {"Medium Date", "d-mmm-yy"}, {"Short Date", "m/d/yyyy"},
        {"Long Time", "h:mm:ss AM/PM"}, {"Medium Time", "h:mm AM/PM"}, {"Short Time", "h:mm"}};
    auto it = kNamed.find(format);
    return std::string(it != kNamed.end() ? it->second : format);
  }

  // A cell's value as its style shows it: numbers and dates through the
  // style's number format, other values as written.
  static std::string ShownValue(const std::string& text, const std::string& type,
                                const std::map<std::string, NumberFormat>& formats, const std::string& style) {
    auto it = formats.find(style);
    if (it == formats.end() || it->second.is_general()) return text;
    std::string_view value = text;
    while (!value.empty() && (value.front() == ' ' || value.front() == '\n' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\n' || value.back() == '\t')) value.remove_suffix(1);
    if (type == "Number") return it->second.FormatStored(value);
    double serial = 0;
    if (type == "DateTime" && it->second.is_date() && IsoDateSerial(value.substr(0, 19), false, &serial))
      return it->second.Format(serial);
    return text;
  }

  // Text in a Word table row: the tabs of the cells ended before it first.
  static void Put(Output& out, int& pending_tabs, std::string_view text) {
    if (pending_tabs > 0) {
      out.TrimBlanks();
      out.Append(std::string(static_cast<std::size_t>(pending_tabs), '\t'));
      pending_tabs = 0;
    }
    out.Append(text);
  }

  static long AttributeNumber(xmlTextReaderPtr r, const char* name) {
    XmlString v(xmlTextReaderGetAttributeNs(r, BAD_CAST name, BAD_CAST kSpreadsheetMl.data()));
    if (!v) return 0;
    return std::strtol(reinterpret_cast<const char*>(v.get()), nullptr, 10);
  }

  static void IgnoreMessage(void*, const char*, ...) {}

  static void OnError(void* arg, xmlErrorPtr error) {
    auto* fault = static_cast<std::string*>(arg);
    if (!error || error->level < XML_ERR_ERROR || !fault->empty()) return;
    // An entity its DTD declares (a DTD that is never read): its text is
    // looked for among the usual names of characters, and counted below when
    // not found.
    if (error->code == XML_WAR_UNDECLARED_ENTITY) return;
    // A limit of the parser is no fault of the file: say which it was.
    const std::string limit = XmlLimitReason(*error);
    *fault = limit.empty() ? "the XML is malformed at " + XmlErrorText(*error) : limit;
  }

  int cell_depth_ = 0;
  bool entities_refused_ = false;  // a reference was left out as too large
  bool entities_unknown_ = false;  // a reference named an entity not declared here
  std::string encoding_;  // the encoding the document is read in when not its own
  long cell_span_ = 0;
  long cell_column_ = 1;
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateXmlFilter() { return std::make_unique<XmlFilter>(); }

}  // namespace quarn

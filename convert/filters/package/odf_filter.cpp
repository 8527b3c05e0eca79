#include "convert/filters/package/odf_filter.h"

#include <libxml/xmlreader.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/members.h"
#include "convert/filters/package/ooxml.h"
#include "convert/filters/package/zip_archive.h"
#include "convert/filters/markup/math_text.h"
#include "convert/filters/markup/xml_errors.h"
#include "convert/filters/package/odf_lists.h"
#include "convert/filters/package/odf_number_styles.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// A run of repeated empty cells or rows is layout, not text: a sheet may
// declare a million empty rows of sixteen thousand cells.  Empty cells cost
// nothing until a filled cell follows them in their row; then they keep its
// column, and the tabs beyond this many count as copies (kRepeatBudget).
constexpr std::uint64_t kMaxEmptyCellRepeat = 64;
// Repeated cells and rows that hold text are real content; these caps only
// bound the work a hostile count can ask for (the sink's limit bounds the bytes).
constexpr std::uint64_t kMaxCellRepeat = 16384;
constexpr std::uint64_t kMaxRowRepeat = std::uint64_t{1} << 20;
constexpr std::size_t kMaxRowCells = 32768;
// Copies made by repeat counts may add at most this much text to a document:
// past it a sheet that repeats a filled row a million times is cut short
// (and said to be) rather than filling the whole text limit.
constexpr std::size_t kRepeatBudget = std::size_t{64} << 20;
constexpr std::uint64_t kMaxSpaces = 1024;
constexpr std::uint64_t kMaxListNumber = 1'000'000'000;

enum class Ns { kOther, kText, kTable, kOffice, kDraw, kPresentation, kStyle, kSvg, kDc, kDr3d };

constexpr const char* kTextNs = "urn:oasis:names:tc:opendocument:xmlns:text:1.0";
constexpr const char* kTableNs = "urn:oasis:names:tc:opendocument:xmlns:table:1.0";
constexpr const char* kOfficeNs = "urn:oasis:names:tc:opendocument:xmlns:office:1.0";
constexpr int kReaderOptions = kSafeXmlOptions | XML_PARSE_RECOVER;
constexpr const char* kManifestNs = "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0";

Ns NsOf(const xmlChar* uri) {
  if (!uri) return Ns::kOther;
  std::string_view u(reinterpret_cast<const char*>(uri));
  constexpr std::string_view kOasis = "urn:oasis:names:tc:opendocument:xmlns:";
  if (u.rfind(kOasis, 0) == 0) {
    u.remove_prefix(kOasis.size());
    if (u == "text:1.0") return Ns::kText;
    if (u == "table:1.0") return Ns::kTable;
    if (u == "office:1.0") return Ns::kOffice;
    if (u == "drawing:1.0") return Ns::kDraw;
    if (u == "presentation:1.0") return Ns::kPresentation;
    if (u == "style:1.0") return Ns::kStyle;
    if (u == "svg-compatible:1.0") return Ns::kSvg;
    if (u == "dr3d:1.0") return Ns::kDr3d;
    return Ns::kOther;
  }
  // The older XML formats (StarOffice and OpenOffice.org 1) name the same
  // vocabularies in namespaces of their own.
  constexpr std::string_view kLegacy = "http://openoffice.org/2000/";
  if (u.rfind(kLegacy, 0) == 0) {
    u.remove_prefix(kLegacy.size());
    if (u == "text") return Ns::kText;
    if (u == "table") return Ns::kTable;
    if (u == "office") return Ns::kOffice;
    if (u == "drawing") return Ns::kDraw;
    if (u == "presentation") return Ns::kPresentation;
    if (u == "style") return Ns::kStyle;
    if (u == "dr3d") return Ns::kDr3d;
    return Ns::kOther;
  }
  if (u == "http://www.w3.org/2000/svg") return Ns::kSvg;
  if (u == "http://purl.org/dc/elements/1.1/") return Ns::kDc;
  return Ns::kOther;
}

// The older formats' namespace for an OpenDocument one ("...:xmlns:text:1.0"
// gives "http://openoffice.org/2000/text"); other names stay as they are.
std::string LegacyNamespace(std::string_view ns) {
  constexpr std::string_view kOasis = "urn:oasis:names:tc:opendocument:xmlns:";
  if (ns.rfind(kOasis, 0) != 0 || ns.size() < kOasis.size() + 4) return std::string(ns);
  std::string_view name = ns.substr(kOasis.size(), ns.size() - kOasis.size() - 4);  // without ":1.0"
  if (name == "manifest") return "http://openoffice.org/2001/manifest";
  return "http://openoffice.org/2000/" + std::string(name);
}

std::string Attr(xmlTextReaderPtr r, const char* local, const char* ns) {
  xmlChar* v = xmlTextReaderGetAttributeNs(r, reinterpret_cast<const xmlChar*>(local),
                                           reinterpret_cast<const xmlChar*>(ns));
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

// An attribute of an element of either the OpenDocument or the older
// formats: the older namespace is tried when the element carries none of
// the newer one.
bool IsLegacyElement(xmlTextReaderPtr r) {
  const xmlChar* ns = xmlTextReaderConstNamespaceUri(r);
  return ns && std::strncmp(reinterpret_cast<const char*>(ns), "http://openoffice.org/", 22) == 0;
}

std::string AnyAttr(xmlTextReaderPtr r, const char* local, const char* ns) {
  std::string v = Attr(r, local, ns);
  if (v.empty() && IsLegacyElement(r)) v = Attr(r, local, LegacyNamespace(ns).c_str());
  return v;
}

std::uint64_t CountAttr(xmlTextReaderPtr r, const char* local, const char* ns) {
  std::string v = AnyAttr(r, local, ns);
  if (v.empty()) return 1;
  std::uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return 1;
    n = n * 10 + static_cast<unsigned>(c - '0');
    if (n > (std::uint64_t{1} << 40)) break;
  }
  return n ? n : 1;
}

struct ReaderFree {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};

bool IsMathMl(const xmlChar* uri) {
  return uri && std::strcmp(reinterpret_cast<const char*>(uri), "http://www.w3.org/1998/Math/MathML") == 0;
}

bool Is(Ns ns, std::string_view local, Ns want, std::string_view name) { return ns == want && local == name; }

// Elements whose content is never text a reader sees: settings, styles,
// declarations, metadata, embedded binaries, the store of tracked changes
// (which holds the deleted text), and the authors and dates of comments.
bool Skipped(Ns ns, std::string_view l) {
  switch (ns) {
    case Ns::kOffice:
      return l == "settings" || l == "scripts" || l == "font-face-decls" || l == "styles" ||
             l == "automatic-styles" || l == "meta" || l == "forms" || l == "binary-data" ||
             l == "event-listeners" || l == "change-info";
    case Ns::kText:
      return l == "tracked-changes" || l == "sequence-decls" || l == "variable-decls" ||
             l == "user-field-decls" || l == "dde-connection-decls";
    case Ns::kTable:
      return l == "tracked-changes" || l == "named-expressions" || l == "database-ranges" ||
             l == "content-validations" || l == "calculation-settings" || l == "label-ranges" ||
             l == "data-pilot-tables" || l == "dde-links" || l == "consolidation" || l == "table-source";
    case Ns::kSvg:
      return l == "title" || l == "desc";
    case Ns::kDc:
      return true;
    case Ns::kPresentation:
      return l == "settings";
    case Ns::kDraw:
      return l == "object-ole" || l == "applet" || l == "plugin";
    default:
      return false;
  }
}

// Drawing objects that can carry paragraphs of their own.
bool IsShape(Ns ns, std::string_view l) {
  if (ns == Ns::kDr3d) return l == "scene";
  if (ns != Ns::kDraw) return false;
  // (A text box is inside a frame in OpenDocument, on its own in the older formats.)
  return l == "frame" || l == "text-box" || l == "custom-shape" || l == "rect" || l == "ellipse" || l == "circle" ||
         l == "line" || l == "polyline" || l == "polygon" || l == "path" || l == "connector" || l == "caption" ||
         l == "measure" || l == "regular-polygon" || l == "g" || l == "control";
}

bool IsHeaderFooter(Ns ns, std::string_view l) {
  return ns == Ns::kStyle && (l == "header" || l == "footer" || l == "header-left" || l == "footer-left" ||
                              l == "header-first" || l == "footer-first");
}

enum class Kind { kUnknown, kText, kSpreadsheet, kPresentation, kDrawing };

std::string CleanCell(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\t' || c == '\r') c = ' ';
  std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

// Walks one XML part of a document (content.xml, styles.xml, or the whole
// flat file) and writes the body to the sink; headers, notes and comments
// are kept apart and written by Finish after the body.
class Walker {
 public:
  // zip, when given, is the package whose embedded objects (charts,
  // documents inside the document) are read where they are placed.
  explicit Walker(TextSink& sink, ZipArchive* zip = nullptr) : sink_(sink), zip_(zip) { ctx_.push_back(Ctx{}); }

  // False when the XML is malformed (the text so far is kept).
  bool Run(xmlTextReaderPtr r);
  void Finish();
  Kind kind() const { return kind_; }
  // The pictures the document shows (not those inside embedded objects), in order.
  const std::vector<std::string>& pictures() const { return pictures_; }
  // The parser's first error in the last Run, or empty.
  const std::string& xml_error() const { return xml_error_; }
  // The slides or drawing pages of a presentation or drawing; 0 for others.
  std::int64_t pages() const { return pages_; }
  // Whether repeat counts asked for more copies than were written.
  bool repeats_cut() const { return repeats_cut_; }
  // List labels are read for text documents and presentations; a
  // spreadsheet's list styles need not be parsed.  (The older formats name
  // them writer, impress and calc.)
  void LabelListsOf(std::string_view mimetype) {
    auto names = [&](std::string_view a, std::string_view b) {
      return mimetype.find(a) != std::string_view::npos || mimetype.find(b) != std::string_view::npos;
    };
    lists_wanted_ = names(".text", ".writer") || names(".presentation", ".impress");
    if (names(".spreadsheet", ".calc")) sheet_type_ = true;
  }

 private:
  // kRuby: a phonetic reading, written after its base in parentheses;
  // kMaster: text on a presentation's master page.
  enum class Role { kBody, kDeferred, kCitation, kNote, kComment, kHeader, kRuby, kMaster };
  // What a page style says about the master's objects, footer and date.
  struct PageStyle {
    bool objects = true;
    bool footer = true;
    bool date = true;
  };
  struct Table {
    std::vector<std::string> row;
    std::string cell;
    std::string fallback;
    bool in_cell = false;
    bool dropped = false;  // the cell's value is left out
    std::uint64_t cell_repeat = 1;
    std::uint64_t empty_run = 0;  // empty cells since the last filled one in the row
    std::uint64_t row_repeat = 1;
    bool pending_blank = false;
    bool any_row = false;
  };
  struct Ctx {
    Role role = Role::kBody;
    int depth = -1;  // reader depth of the element that opened it
    std::string buf;
    std::vector<Table> tables;
    int para_depth = 0;
    std::string after_para;
    bool space = true;  // the last character written was white space
    bool endnote = false;
    bool inline_text = false;  // holds a formula: its text stays in the paragraph
    std::string master;        // kHeader, kMaster: the master page it belongs to
    std::size_t para_start = 0;  // kHeader: where the paragraph's text starts in buf
    bool para_field = false;     // kHeader: the paragraph held a page field
    // A list item's or heading's label, written with the paragraph's first
    // text; a paragraph whose text was all deleted shows none.
    std::string pending_label;
    bool para_deleted = false;  // deleted text stood in the paragraph
  };

  static Ctx NewCtx(Role role, int depth) {
    Ctx c;
    c.role = role;
    c.depth = depth;
    return c;
  }

  void Start(xmlTextReaderPtr r, Ns ns, std::string_view l, int depth, bool empty, bool& skip);
  void End(Ns ns, std::string_view l, int depth);
  void Text(std::string_view t);
  void EndParagraph();
  void EndCell();
  void EndRow();
  void PopCtx();

  // Text to the innermost open cell of ctx, else to ctx's output; the
  // paragraph's label first.
  void Put(Ctx& c, std::string_view t) {
    if (!c.pending_label.empty()) {
      const std::string label = std::move(c.pending_label);
      c.pending_label.clear();
      PutNow(c, label);
    }
    PutNow(c, t);
  }
  void PutNow(Ctx& c, std::string_view t) {
    if (!c.tables.empty() && c.tables.back().in_cell) {
      c.tables.back().cell.append(t);
      return;
    }
    Out(c, t);
  }
  void Out(Ctx& c, std::string_view t) {
    if (c.role == Role::kBody) {
      sink_.Append(t);
    } else if (c.buf.size() < sink_.limit()) {
      c.buf.append(t);
    }
  }
  void EndLine(Ctx& c) {
    if (c.role == Role::kBody) {
      sink_.EndLine();
    } else if (!c.buf.empty() && c.buf.back() != '\n') {
      c.buf.push_back('\n');
    }
  }
  static void AppendBounded(std::string& to, std::string_view t, std::size_t limit) {
    if (to.size() < limit) to.append(t);
  }

  void EmbeddedObject(const std::string& href);
  void InlineObject(xmlTextReaderPtr r);
  void RunObject(xmlTextReaderPtr sub);
  void StartList(xmlTextReaderPtr r);
  // Reads a styles element: list styles, and what page and table styles say
  // about master pages, footers and dates.
  int ReadStyles(xmlTextReaderPtr r);
  int ReadTrackedChanges(xmlTextReaderPtr r);
  // The list style a presentation style gives its frame's lists: its own
  // nested one, else its parent's.
  std::string FrameListStyle(std::string style) const {
    for (int i = 0; i < 8 && !style.empty(); ++i) {
      if (list_styles_.Find(style, 1)) return style;
      auto it = parent_styles_.find(style);
      if (it == parent_styles_.end()) break;
      style = it->second;
    }
    return {};
  }
  // Starts an element inside office:master-styles.
  void StartMaster(xmlTextReaderPtr r, Ns ns, std::string_view l, int depth, bool empty, bool& skip);
  // Writes the footer and fixed date the current slide shows, once.
  void SlideFooter();
  // Whether a master page's header, footer or text is being read.
  bool InMasterText() const {
    for (const Ctx& c : ctx_)
      if (c.role == Role::kHeader || c.role == Role::kMaster) return true;
    return false;
  }
  // Reads the named list styles of a package's styles.xml, once.
  void LoadNamedListStyles();
  // The number the outline gives the heading the reader is on, and a space; or "".
  std::string HeadingLabel(xmlTextReaderPtr r);

  TextSink& sink_;
  ZipArchive* zip_;
  std::int64_t pages_ = 0;  // the body's draw:page elements: slides, drawing pages
  int nesting_ = 0;
  std::set<std::string> objects_read_;
  std::vector<std::string> pictures_;
  // Changes whose text was deleted (from the store of tracked changes), and
  // the one whose deleted text stands in the body at the moment (newer
  // writers keep it between the change's start and end marks).
  std::set<std::string> deletions_;
  std::string deleting_;
  int in_chart_ = 0;  // inside a chart's body (an embedded chart object)
  std::vector<Ctx> ctx_;
  Kind kind_ = Kind::kUnknown;
  int master_depth_ = -1;  // inside office:master-styles
  bool endnote_ = false;    // class of the text:note being read
  std::string citation_;
  std::string headers_, footnotes_, endnotes_, comments_;
  std::set<std::string> seen_headers_;
  std::string xml_error_;
  std::size_t repeat_budget_ = kRepeatBudget;
  bool repeats_cut_ = false;
  odf::ListStyles list_styles_;
  odf::ListCounter lists_{list_styles_};
  bool named_list_styles_read_ = false;
  bool lists_wanted_ = true;
  bool sheet_type_ = false;  // the package says it is a spreadsheet
  bool skip_read_ = false;  // Start read the skipped element through itself
  std::map<std::string, PageStyle> page_styles_;
  std::map<std::string, std::string> table_masters_;  // table style -> master page
  std::map<std::string, std::string> parent_styles_;  // style -> the style it is based on
  std::map<std::string, std::string> cell_data_styles_;  // cell style -> its data style
  odf::NumberStyles number_styles_;
  std::string frame_style_;                           // presentation style of the frame being read
  std::map<std::string, std::string> footer_decls_, date_decls_;
  std::vector<std::string> used_masters_;  // master pages that show, in order of first use
  std::string master_name_;                // the master page being read
  std::map<std::string, std::string> master_text_;  // per master page: text, or header text of a sheet
  std::string slide_footer_;               // the current slide's footer, not yet written

  // Takes bytes from the repeat budget; false (and marks the cut) when spent.
  bool Repeat(std::size_t bytes) {
    if (bytes > repeat_budget_) {
      repeats_cut_ = true;
      return false;
    }
    repeat_budget_ -= bytes;
    return true;
  }
};

// Records the parser's first complaint instead of printing it: a limit of
// the parser as what the document holds, anything else as malformed XML.
void NoteXmlError(void* arg, const xmlError* error) {
  auto* first = static_cast<std::string*>(arg);
  if (!first->empty() || !error || error->level < XML_ERR_ERROR) return;
  const std::string limit = XmlLimitReason(*error);
  *first = limit.empty() ? "malformed XML at " + CleanCell(XmlErrorText(*error)) : limit;
}

bool Walker::Run(xmlTextReaderPtr r) {
  // The reader recovers from errors so that the text before a break is not
  // lost with it; any error still marks the document as damaged.
  std::string error;
  xmlTextReaderSetStructuredErrorHandler(
      r, [](void* arg, xmlErrorPtr e) { NoteXmlError(arg, e); }, &error);
  int ret = xmlTextReaderRead(r);
  while (ret == 1 && !sink_.full()) {
    int type = xmlTextReaderNodeType(r);
    if (type == XML_READER_TYPE_ELEMENT) {
      Ns ns = NsOf(xmlTextReaderConstNamespaceUri(r));
      const xmlChar* ln = xmlTextReaderConstLocalName(r);
      std::string_view l = ln ? reinterpret_cast<const char*>(ln) : "";
      int depth = xmlTextReaderDepth(r);
      bool empty = xmlTextReaderIsEmptyElement(r) == 1;
      bool skip = false;
      Start(r, ns, l, depth, empty, skip);
      if (skip) {
        // After an element read through to its end, the next node is
        // simply the one after that end.
        ret = empty || skip_read_ ? xmlTextReaderRead(r) : xmlTextReaderNext(r);
        skip_read_ = false;
        continue;
      }
      if (empty) End(ns, l, depth);
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      Ns ns = NsOf(xmlTextReaderConstNamespaceUri(r));
      const xmlChar* ln = xmlTextReaderConstLocalName(r);
      End(ns, ln ? reinterpret_cast<const char*>(ln) : "", xmlTextReaderDepth(r));
    } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
               type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE || type == XML_READER_TYPE_WHITESPACE) {
      const xmlChar* v = xmlTextReaderConstValue(r);
      if (v) Text(reinterpret_cast<const char*>(v));
    }
    ret = xmlTextReaderRead(r);
  }
  xmlTextReaderSetStructuredErrorHandler(r, nullptr, nullptr);
  if (ret == -1 && error.empty()) error = "malformed XML";
  xml_error_ = error;
  return error.empty();
}

void Walker::Start(xmlTextReaderPtr r, Ns ns, std::string_view l, int depth, bool empty, bool& skip) {
  if (l == "math" && !empty && IsMathMl(xmlTextReaderConstNamespaceUri(r))) {
    // A formula (the content of a formula object): one line of text, kept
    // in the paragraph that shows it rather than after it.
    int status = 1;
    std::string text = ReadMathText(r, MathKind::kMathMl, &status);
    skip_read_ = status == 1;
    if (!text.empty()) {
      Put(ctx_.back(), text);
      for (auto it = ctx_.rbegin(); it != ctx_.rend() && it->role == Role::kDeferred; ++it) it->inline_text = true;
    }
    skip = true;
    return;
  }
  if (ns == Ns::kOffice && (l == "styles" || l == "automatic-styles")) {
    // Styles hold no text, but their list styles give list items their
    // labels, and page and table styles say which master pages show.
    skip = true;
    if (!empty && ReadStyles(r) == 1) skip_read_ = true;  // on the styles' end now
    return;
  }
  if (ns == Ns::kOffice && l == "chart" && !empty) ++in_chart_;
  if (ns == Ns::kText && l == "tracked-changes") {
    skip = true;
    if (!empty && ReadTrackedChanges(r) == 1) skip_read_ = true;  // on its end now
    return;
  }
  if (ns == Ns::kText && (l == "change-start" || l == "change-end")) {
    const std::string id = AnyAttr(r, "change-id", kTextNs);
    if (l == "change-start" && deleting_.empty() && deletions_.count(id)) {
      deleting_ = id;
      ctx_.back().para_deleted = true;
    } else if (l == "change-end" && id == deleting_) {
      deleting_.clear();
    }
    return;
  }
  if (Skipped(ns, l)) {
    skip = true;
    return;
  }
  if (master_depth_ >= 0) {
    const bool inside = InMasterText();
    StartMaster(r, ns, l, depth, empty, skip);
    if (skip || !inside) return;
  }
  if ((kind_ == Kind::kPresentation || kind_ == Kind::kDrawing) && ns == Ns::kText &&
      (l == "page-number" || l == "page-count")) {
    // A slide's number is filled in as the slide shows; what the field
    // holds is a stand-in ("<number>").
    skip = true;
    return;
  }
  Ctx& c = ctx_.back();
  if (ns == Ns::kOffice) {
    if (l == "document") {
      std::string type = AnyAttr(r, "mimetype", kOfficeNs);
      if (!type.empty()) LabelListsOf(type);
      // A flat file's master pages come before its body: its kind first.
      if (type.find(".presentation") != std::string::npos) kind_ = Kind::kPresentation;
      else if (type.find(".spreadsheet") != std::string::npos) kind_ = Kind::kSpreadsheet;
      else if (type.find(".graphics") != std::string::npos) kind_ = Kind::kDrawing;
    } else if (l == "document-content" && kind_ == Kind::kUnknown) {
      // The older formats name the kind of document here, not by a body element.
      const std::string kind = AnyAttr(r, "class", kOfficeNs);
      if (kind == "text") kind_ = Kind::kText;
      else if (kind == "spreadsheet") kind_ = Kind::kSpreadsheet;
      else if (kind == "presentation") kind_ = Kind::kPresentation;
      else if (kind == "drawing") kind_ = Kind::kDrawing;
    } else if (l == "master-styles" && !empty) {
      master_depth_ = depth;
    } else if (l == "text") {
      kind_ = Kind::kText;
    } else if (l == "spreadsheet") {
      kind_ = Kind::kSpreadsheet;
    } else if (l == "presentation") {
      kind_ = Kind::kPresentation;
    } else if (l == "drawing") {
      kind_ = Kind::kDrawing;
    } else if (l == "annotation" && !empty) {
      ctx_.push_back(NewCtx(Role::kComment, depth));
    }
    return;
  }
  if (ns == Ns::kText) {
    if (l == "p" || l == "h") {
      if (c.para_depth++ == 0) {
        c.space = true;
        c.para_start = c.buf.size();
        c.para_field = false;
        // The first paragraph of a list item starts with the item's label,
        // a heading outside lists with its number in the outline.
        if (kind_ == Kind::kText || kind_ == Kind::kPresentation) {
          std::string label = lists_.Paragraph();
          if (label.empty() && l == "h" && kind_ == Kind::kText && !lists_.open()) label = HeadingLabel(r);
          c.pending_label = label;
          c.para_deleted = !deleting_.empty();
        }
      }
    } else if (l == "list" || l == "ordered-list" || l == "unordered-list") {
      StartList(r);
    } else if (l == "list-item") {
      // An item may restart the numbering at a value of its own.
      std::string start = AnyAttr(r, "start-value", kTextNs);
      lists_.StartItem(start.empty() ? -1 : static_cast<int>(std::min<std::uint64_t>(CountAttr(r, "start-value", kTextNs), kMaxListNumber)));
    } else if (l == "list-header") {
      lists_.StartHeader();
    } else if (l == "s") {
      if (c.para_depth > 0) {
        std::uint64_t n = std::min(CountAttr(r, "c", kTextNs), kMaxSpaces);
        Put(c, std::string(n, ' '));
        c.space = true;
      }
    } else if (l == "tab" || l == "tab-stop") {
      if (c.para_depth > 0) Put(c, "\t");
      c.space = true;
    } else if (l == "line-break") {
      if (c.para_depth > 0) Put(c, "\n");
      c.space = true;
    } else if (l == "note" || l == "footnote" || l == "endnote") {
      endnote_ = l == "endnote" || AnyAttr(r, "note-class", kTextNs) == "endnote";
      citation_.clear();
    } else if (l == "ruby-text" && !empty) {
      Ctx n = NewCtx(Role::kRuby, depth);
      n.para_depth = 1;
      ctx_.push_back(std::move(n));
    } else if ((l == "note-citation" || l == "footnote-citation" || l == "endnote-citation") && !empty) {
      Ctx n = NewCtx(Role::kCitation, depth);
      n.para_depth = 1;
      ctx_.push_back(std::move(n));
    } else if ((l == "note-body" || l == "footnote-body" || l == "endnote-body") && !empty) {
      Ctx n = NewCtx(Role::kNote, depth);
      n.endnote = endnote_;
      ctx_.push_back(std::move(n));
    }
    return;
  }
  if (ns == Ns::kTable) {
    if (l == "table") {
      if (kind_ == Kind::kSpreadsheet && c.tables.empty() && c.para_depth == 0 && c.role == Role::kBody) {
        // The sheet prints with its style's master page, whose headers and
        // footers are written after the sheets.
        auto m = table_masters_.find(Attr(r, "style-name", kTableNs));
        std::string master = m != table_masters_.end() && !m->second.empty() ? m->second : "Default";
        if (std::find(used_masters_.begin(), used_masters_.end(), master) == used_masters_.end())
          used_masters_.push_back(master);
      }
      if (kind_ == Kind::kSpreadsheet && c.tables.empty() && c.para_depth == 0 && in_chart_ == 0) {
        EndLine(c);
        std::string name = AnyAttr(r, "name", kTableNs);
        if (!name.empty()) {
          Out(c, name);
          Out(c, "\n");
        }
      }
      c.tables.emplace_back();
    } else if (l == "table-row" && !c.tables.empty()) {
      Table& t = c.tables.back();
      t.row.clear();
      t.empty_run = 0;
      t.row_repeat = CountAttr(r, "number-rows-repeated", kTableNs);
    } else if ((l == "table-cell" || l == "covered-table-cell") && !c.tables.empty()) {
      Table& t = c.tables.back();
      t.in_cell = true;
      t.cell.clear();
      t.cell_repeat = CountAttr(r, "number-columns-repeated", kTableNs);
      // Cells written without paragraphs (by some generators) carry their
      // value in attributes only: shown through the cell's data style.
      t.fallback.clear();
      // The older formats keep the value attributes in the table namespace.
      auto value_attr = [&](const char* local) {
        std::string v = AnyAttr(r, local, kOfficeNs);
        if (v.empty() && IsLegacyElement(r)) v = AnyAttr(r, local, kTableNs);
        return v;
      };
      const std::string type = value_attr("value-type");
      // A chart's own table: its series names and categories are what the
      // chart shows as text; the numbers it plots are left out.
      t.dropped = in_chart_ > 0 && !type.empty() && type != "string";
      const char* attr = type == "date" ? "date-value" : type == "time" ? "time-value"
                         : type == "boolean" ? "boolean-value" : "value";
      if (type != "string" && !type.empty()) {
        auto style = cell_data_styles_.find(Attr(r, "style-name", kTableNs));
        t.fallback = number_styles_.Show(type, value_attr(attr),
                                         style != cell_data_styles_.end() ? style->second : std::string());
      }
      for (const char* a : {"string-value", "date-value", "time-value", "boolean-value", "value"}) {
        if (!t.fallback.empty()) break;
        t.fallback = value_attr(a);
      }
    }
    return;
  }
  if (Is(ns, l, Ns::kDraw, "object")) {
    const std::string href = AnyAttr(r, "href", "http://www.w3.org/1999/xlink");
    if (href.empty() && !empty && !zip_) InlineObject(r);
    else EmbeddedObject(href);
    skip = true;
    return;
  }
  if (Is(ns, l, Ns::kDraw, "image") && nesting_ == 0 && zip_ && pictures_.size() < 100000) {
    // Kept in case the document turns out to be nothing but pictures (a scan).
    std::string href = AnyAttr(r, "href", "http://www.w3.org/1999/xlink");
    if (!href.empty() && href.find("://") == std::string::npos)
      pictures_.push_back(ResolvePartName("content.xml", href.rfind("./", 0) == 0 ? href.substr(2) : href));
  }
  if (Is(ns, l, Ns::kDraw, "frame") && kind_ == Kind::kPresentation)
    frame_style_ = Attr(r, "style-name", "urn:oasis:names:tc:opendocument:xmlns:presentation:1.0");
  if (IsShape(ns, l) && !empty && c.para_depth > 0) {
    // A frame or shape anchored in a paragraph: its paragraphs follow that
    // paragraph instead of splitting it.
    ctx_.push_back(NewCtx(Role::kDeferred, depth));
    return;
  }
  if (ns == Ns::kPresentation && (l == "footer-decl" || l == "date-time-decl")) {
    // The footer and date the slides naming them show; a date the
    // application fills in ("current") is no text of the document.
    std::string name = Attr(r, "name", "urn:oasis:names:tc:opendocument:xmlns:presentation:1.0");
    bool fixed = l == "footer-decl" || Attr(r, "source", "urn:oasis:names:tc:opendocument:xmlns:presentation:1.0") != "current";
    skip = true;
    if (empty) return;
    xmlChar* text = xmlTextReaderReadString(r);
    if (text && fixed && !name.empty())
      (l == "footer-decl" ? footer_decls_ : date_decls_)[name] = CleanCell(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return;
  }
  if (Is(ns, l, Ns::kPresentation, "notes")) {
    SlideFooter();
    return;
  }
  if (Is(ns, l, Ns::kDraw, "page")) {
    EndLine(c);
    if (c.role != Role::kBody) return;
    constexpr const char* kPresentationNs = "urn:oasis:names:tc:opendocument:xmlns:presentation:1.0";
    auto style = page_styles_.find(Attr(r, "style-name", "urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"));
    PageStyle shows = style != page_styles_.end() ? style->second : PageStyle();
    std::string master = Attr(r, "master-page-name", "urn:oasis:names:tc:opendocument:xmlns:drawing:1.0");
    if (shows.objects && std::find(used_masters_.begin(), used_masters_.end(), master) == used_masters_.end())
      used_masters_.push_back(master);
    slide_footer_.clear();
    auto add = [&](const std::map<std::string, std::string>& decls, const char* attr) {
      auto d = decls.find(Attr(r, attr, kPresentationNs));
      if (d != decls.end() && !d->second.empty()) slide_footer_ += d->second + "\n";
    };
    if (shows.footer) add(footer_decls_, "use-footer-name");
    if (shows.date) add(date_decls_, "use-date-time-name");
  }
}

void Walker::SlideFooter() {
  if (slide_footer_.empty()) return;
  Ctx& c = ctx_.back();
  EndLine(c);
  Out(c, slide_footer_);
  slide_footer_.clear();
}

// Reads the store of tracked changes, the reader on its start; like
// ReadStyles, leaves it on the store's end and returns the reader's status.
// Only which changes deleted text matters: the text itself is not shown.
int Walker::ReadTrackedChanges(xmlTextReaderPtr r) {
  const int depth = xmlTextReaderDepth(r);
  std::string region;
  int ret;
  while ((ret = xmlTextReaderRead(r)) == 1) {
    const int type = xmlTextReaderNodeType(r);
    if (type == XML_READER_TYPE_END_ELEMENT && xmlTextReaderDepth(r) == depth) return 1;
    if (type != XML_READER_TYPE_ELEMENT) continue;
    const xmlChar* ln = xmlTextReaderConstLocalName(r);
    const std::string_view l = ln ? reinterpret_cast<const char*>(ln) : "";
    if (l == "changed-region") region = AnyAttr(r, "id", kTextNs);
    else if (l == "deletion" && !region.empty() && deletions_.size() < 100000) deletions_.insert(region);
  }
  return ret;
}

int Walker::ReadStyles(xmlTextReaderPtr r) {
  std::string style;  // the style:style being read
  int ret = list_styles_.Read(r, [&](xmlTextReaderPtr e) {
    number_styles_.Element(e);
    const xmlChar* ln = xmlTextReaderConstLocalName(e);
    if (NsOf(xmlTextReaderConstNamespaceUri(e)) != Ns::kStyle || !ln) return;
    std::string_view l = reinterpret_cast<const char*>(ln);
    constexpr const char* kStyleNs = "urn:oasis:names:tc:opendocument:xmlns:style:1.0";
    constexpr const char* kPresentationNs = "urn:oasis:names:tc:opendocument:xmlns:presentation:1.0";
    if (l == "style") {
      style = Attr(e, "name", kStyleNs);
      std::string parent = Attr(e, "parent-style-name", kStyleNs);
      if (!parent.empty() && !style.empty()) parent_styles_[style] = parent;
      std::string family = Attr(e, "family", kStyleNs);
      if (family == "table") table_masters_[style] = Attr(e, "master-page-name", kStyleNs);
      if (family == "table-cell") {
        std::string data = Attr(e, "data-style-name", kStyleNs);
        if (!data.empty()) cell_data_styles_[style] = data;
      }
    } else if (l == "drawing-page-properties" && !style.empty()) {
      PageStyle& p = page_styles_[style];
      p.objects = Attr(e, "background-objects-visible", kPresentationNs) != "false";
      p.footer = Attr(e, "display-footer", kPresentationNs) != "false";
      p.date = Attr(e, "display-date-time", kPresentationNs) != "false";
    }
  });
  number_styles_.Flush();
  return ret;
}

// Fields of page furniture: filled in when a page is shown or printed.
bool IsPageField(Ns ns, std::string_view l) {
  if (ns == Ns::kPresentation) return l == "footer" || l == "date-time" || l == "header";
  return ns == Ns::kText && (l == "page-number" || l == "page-count" || l == "sheet-name" || l == "date" ||
                             l == "time" || l == "file-name" || l == "title" || l == "page-continuation");
}

void Walker::StartMaster(xmlTextReaderPtr r, Ns ns, std::string_view l, int depth, bool empty, bool& skip) {
  const bool slides = kind_ == Kind::kPresentation || kind_ == Kind::kDrawing;
  if (InMasterText()) {
    // Inside a sheet's header or a slide master's text: page fields show
    // numbers, names and dates of the page being printed or shown, not
    // text of the document.  (A text document's headers keep theirs.)
    if ((slides || kind_ == Kind::kSpreadsheet) && IsPageField(ns, l)) {
      skip = true;
      Ctx& h = ctx_.back();
      if (h.role != Role::kHeader && h.role != Role::kMaster) return;
      h.para_field = true;
      if (ns == Ns::kText && (l == "page-number" || l == "page-count")) {
        // The word before a page number labels it ("Page", "of", "/"):
        // without the number it would say nothing.
        std::size_t end = h.buf.find_last_not_of(" \t");
        end = end == std::string::npos || end < h.para_start ? h.para_start : end + 1;
        std::size_t start = h.buf.find_last_of(" \t\n", end == 0 ? 0 : end - 1);
        start = start == std::string::npos || start < h.para_start ? h.para_start : start + 1;
        if (end > start) h.buf.resize(start);
      }
    }
    return;
  }
  if (Is(ns, l, Ns::kStyle, "master-page")) {
    master_name_ = Attr(r, "name", "urn:oasis:names:tc:opendocument:xmlns:style:1.0");
    return;
  }
  if (IsHeaderFooter(ns, l) && !empty && !slides) {
    // Page headers and footers of text documents and spreadsheets.
    Ctx h = NewCtx(Role::kHeader, depth);
    h.master = master_name_;
    ctx_.push_back(std::move(h));
    return;
  }
  if (slides && IsShape(ns, l) && !empty) {
    // On a slide master, the placeholders (title, outline, notes...) only
    // prompt; shapes the author put there, and text typed into footer,
    // date and header boxes, show on every slide.
    std::string cls = Attr(r, "class", "urn:oasis:names:tc:opendocument:xmlns:presentation:1.0");
    if (cls.empty() || cls == "footer" || cls == "date-time" || cls == "header") {
      Ctx m = NewCtx(Role::kMaster, depth);
      m.master = master_name_;
      ctx_.push_back(std::move(m));
      return;
    }
  }
  // The rest is page furniture: placeholder frames, the notes page layout.
  skip = true;
}

void Walker::End(Ns ns, std::string_view l, int depth) {
  if (ns == Ns::kOffice && l == "chart" && in_chart_ > 0) --in_chart_;
  if (ctx_.size() > 1 && ctx_.back().depth == depth) {
    PopCtx();
    return;
  }
  if (master_depth_ == depth) {
    master_depth_ = -1;
    return;
  }
  Ctx& c = ctx_.back();
  if (ns == Ns::kText && (l == "p" || l == "h")) {
    EndParagraph();
  } else if (ns == Ns::kText && (l == "list" || l == "ordered-list" || l == "unordered-list")) {
    lists_.EndList();
  } else if (ns == Ns::kTable && !c.tables.empty()) {
    if (l == "table-cell" || l == "covered-table-cell") {
      EndCell();
    } else if (l == "table-row") {
      EndRow();
    } else if (l == "table") {
      c.tables.pop_back();
    }
  } else if (Is(ns, l, Ns::kDraw, "page") && c.role == Role::kBody) {
    ++pages_;
    SlideFooter();
    sink_.EndLine();
    sink_.EndChunk();
  }
}

void Walker::Text(std::string_view t) {
  Ctx& c = ctx_.back();
  if (c.para_depth == 0 || !deleting_.empty()) return;
  // White space in a paragraph collapses to one space.
  std::string out;
  out.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char ch = t[i];
    if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') {
      if (!c.space) out.push_back(' ');
      c.space = true;
    } else if (ch == '\xC2' && i + 1 < t.size() && t[i + 1] == '\xAD') {
      ++i;  // a soft hyphen only says where the word may break
    } else {
      out.push_back(ch);
      c.space = false;
    }
  }
  if (!out.empty()) Put(c, out);
}

// Whether text holds a letter or digit (any non-ASCII character counts).
bool HasWord(std::string_view text) {
  for (char ch : text)
    if (static_cast<unsigned char>(ch) >= 0x80 || std::isalnum(static_cast<unsigned char>(ch))) return true;
  return false;
}

void Walker::EndParagraph() {
  Ctx& c = ctx_.back();
  if (c.para_depth == 0) return;
  if (--c.para_depth > 0) return;
  if (!c.pending_label.empty()) {
    // Nothing but the label: shown, unless the paragraph's text was deleted.
    const std::string label = std::move(c.pending_label);
    c.pending_label.clear();
    if (!c.para_deleted) PutNow(c, label);
  }
  c.para_deleted = false;
  if ((c.role == Role::kHeader || c.role == Role::kMaster) && c.para_field && c.para_start <= c.buf.size() &&
      !HasWord(std::string_view(c.buf).substr(c.para_start))) {
    // Nothing but page fields and their labels ("Page 1 of 3", the sheet's
    // name): the paragraph is page furniture.
    c.buf.resize(c.para_start);
    c.after_para.clear();
    c.space = true;
    return;
  }
  if (!c.tables.empty() && c.tables.back().in_cell) {
    Table& t = c.tables.back();
    t.cell.push_back('\n');
    t.cell.append(c.after_para);
  } else {
    EndLine(c);
    Out(c, c.after_para);
    EndLine(c);
  }
  c.after_para.clear();
  c.space = true;
}

void Walker::EndCell() {
  Table& t = ctx_.back().tables.back();
  if (!t.in_cell) return;
  t.in_cell = false;
  std::string text = CleanCell(std::move(t.cell));
  t.cell.clear();
  if (t.dropped) text.clear();
  else if (text.empty()) text = CleanCell(t.fallback);
  if (text.empty()) {
    t.empty_run = std::min<std::uint64_t>(t.empty_run + t.cell_repeat, kMaxRowCells);
    return;
  }
  if (t.empty_run > 0) {
    // At most up to the last column a row keeps, where the filled cell goes.
    std::uint64_t gap = std::min<std::uint64_t>(t.empty_run, kMaxRowCells - 1 - std::min(t.row.size(), kMaxRowCells - 1));
    if (gap > kMaxEmptyCellRepeat && !Repeat(gap - kMaxEmptyCellRepeat)) gap = kMaxEmptyCellRepeat;
    t.row.resize(t.row.size() + gap);
    t.empty_run = 0;
  }
  std::uint64_t n = std::min(t.cell_repeat, kMaxCellRepeat);
  for (std::uint64_t i = 0; i < n && t.row.size() < kMaxRowCells; ++i) {
    if (i && !text.empty() && !Repeat(text.size() + 1)) break;
    t.row.push_back(text);
  }
}

void Walker::EndRow() {
  Ctx& c = ctx_.back();
  Table& t = c.tables.back();
  if (t.in_cell) EndCell();
  while (!t.row.empty() && t.row.back().empty()) t.row.pop_back();
  if (t.row.empty()) {
    // A run of empty rows inside a table is shown as one empty line; at its
    // start and end it is not shown at all.
    if (t.any_row) t.pending_blank = true;
    return;
  }
  std::string line;
  for (std::size_t i = 0; i < t.row.size(); ++i) {
    if (i) line.push_back('\t');
    line.append(t.row[i]);
  }
  t.row.clear();
  // A nested table's rows go into the cell of the table around it.
  Table* outer = c.tables.size() >= 2 && c.tables[c.tables.size() - 2].in_cell ? &c.tables[c.tables.size() - 2]
                                                                               : nullptr;
  std::uint64_t n = std::min(t.row_repeat, kMaxRowRepeat);
  if (outer) {
    // Each row stands apart from the text before and after it in the cell.
    for (std::uint64_t i = 0; i < n && outer->cell.size() < sink_.limit() && (i == 0 || Repeat(line.size())); ++i) {
      if (!outer->cell.empty() && outer->cell.back() != '\n') outer->cell.push_back('\n');
      outer->cell.append(line);
      outer->cell.push_back('\n');
    }
    return;
  }
  EndLine(c);
  if (t.pending_blank) Out(c, "\n");
  t.pending_blank = false;
  t.any_row = true;
  line.push_back('\n');
  for (std::uint64_t i = 0; i < n && !sink_.full(); ++i) {
    if (i && !Repeat(line.size())) break;
    Out(c, line);
    if (c.role != Role::kBody && c.buf.size() >= sink_.limit()) break;
  }
}

void Walker::StartList(xmlTextReaderPtr r) {
  if (kind_ == Kind::kText || kind_ == Kind::kPresentation) LoadNamedListStyles();
  bool continues = AnyAttr(r, "continue-numbering", kTextNs) == "true" || !AnyAttr(r, "continue-list", kTextNs).empty();
  std::string style = AnyAttr(r, "style-name", kTextNs);
  // A slide's outline list without a style of its own takes the list style
  // of its frame's presentation style (or of the style that one is based on).
  if (style.empty() && !lists_.open()) style = FrameListStyle(frame_style_);
  lists_.StartList(style, continues);
}

std::string Walker::HeadingLabel(xmlTextReaderPtr r) {
  if (AnyAttr(r, "is-list-header", kTextNs) == "true") return "";
  LoadNamedListStyles();
  // Headings without a level are of level 1; the older XML formats call it "level".
  const char* attr = AnyAttr(r, "outline-level", kTextNs).empty() ? "level" : "outline-level";
  const std::uint64_t n = CountAttr(r, attr, kTextNs);
  if (n < 1 || n > static_cast<std::uint64_t>(odf::ListStyles::kLevels)) return "";
  std::string start = AnyAttr(r, "start-value", kTextNs);
  return lists_.Heading(static_cast<int>(n), AnyAttr(r, "restart-numbering", kTextNs) == "true",
                        start.empty() ? -1 : static_cast<int>(std::min<std::uint64_t>(CountAttr(r, "start-value", kTextNs), kMaxListNumber)));
}

void Walker::LoadNamedListStyles() {
  if (named_list_styles_read_ || !zip_ || !zip_->Has("styles.xml")) return;
  named_list_styles_read_ = true;
  std::string err;
  XmlPartReader styles = zip_->OpenXml("styles.xml", &err, kReaderOptions);
  if (!styles) return;
  // Only office:styles is wanted; the master pages after it are read with
  // the headers and footers.
  xmlTextReaderSetStructuredErrorHandler(styles.get(), [](void*, xmlErrorPtr) {}, nullptr);
  while (xmlTextReaderRead(styles.get()) == 1) {
    if (xmlTextReaderNodeType(styles.get()) != XML_READER_TYPE_ELEMENT) continue;
    if (NsOf(xmlTextReaderConstNamespaceUri(styles.get())) != Ns::kOffice) continue;
    std::string_view l = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(styles.get()));
    if (l == "styles") {
      ReadStyles(styles.get());
      break;
    }
    if (l == "master-styles" || l == "body") break;
  }
}

void Walker::EmbeddedObject(const std::string& href) {
  // Objects nest (a chart in a text in a slide) but only so deep; each is
  // read once however often it is shown.
  if (!zip_ || nesting_ >= 3 || href.empty() || href.find("://") != std::string::npos) return;
  std::string part = ResolvePartName("content.xml", href.rfind("./", 0) == 0 ? href.substr(2) : href);
  while (!part.empty() && part.back() == '/') part.pop_back();
  part += "/content.xml";
  if (!zip_->Has(part) || !objects_read_.insert(part).second) return;
  std::string err;
  XmlPartReader sub = zip_->OpenXml(part, &err, kSafeXmlOptions | XML_PARSE_RECOVER);
  if (sub) RunObject(sub.get());
}

void Walker::InlineObject(xmlTextReaderPtr r) {
  // A flat document keeps each object as a document of its own inside the
  // element that shows it: read like an object of a package.  The reader is
  // left on that document's start (or, without one, at the object's end).
  const int depth = xmlTextReaderDepth(r);
  while (xmlTextReaderRead(r) == 1 && xmlTextReaderDepth(r) > depth) {
    if (xmlTextReaderNodeType(r) != XML_READER_TYPE_ELEMENT || xmlTextReaderDepth(r) != depth + 1) continue;
    const xmlChar* ln = xmlTextReaderConstLocalName(r);
    if (!ln || std::strcmp(reinterpret_cast<const char*>(ln), "document") != 0 ||
        NsOf(xmlTextReaderConstNamespaceUri(r)) != Ns::kOffice)
      continue;
    if (nesting_ >= 3) return;
    xmlChar* outer = xmlTextReaderReadOuterXml(r);
    if (!outer) return;
    std::unique_ptr<xmlTextReader, ReaderFree> sub(xmlReaderForMemory(
        reinterpret_cast<const char*>(outer), xmlStrlen(outer), nullptr, "UTF-8", kSafeXmlOptions | XML_PARSE_RECOVER));
    if (sub) RunObject(sub.get());
    sub.reset();
    xmlFree(outer);
    return;
  }
}

void Walker::RunObject(xmlTextReaderPtr sub) {
  // The object's text is gathered apart, as a frame's is, then placed where
  // the object stands; its reader's depths are its own.
  ctx_.push_back(NewCtx(Role::kDeferred, -2));
  const std::size_t marker = ctx_.size();
  const Kind kind = kind_;
  const int master = master_depth_;
  const std::string outer_error = xml_error_;
  master_depth_ = -1;
  ++nesting_;
  Run(sub);  // a damaged object loses its own text only
  --nesting_;
  while (ctx_.size() > marker) PopCtx();
  PopCtx();
  kind_ = kind;
  master_depth_ = master;
  xml_error_ = outer_error;
}

void Walker::PopCtx() {
  Ctx done = std::move(ctx_.back());
  ctx_.pop_back();
  Ctx& parent = ctx_.back();
  if (done.para_depth > 0 && done.role != Role::kCitation && done.role != Role::kRuby) {
    // An unclosed paragraph (malformed input ends here): close it.
    done.para_depth = 1;
    done.buf.append(done.after_para);
  }
  if (!done.buf.empty() && done.buf.back() != '\n' && done.role != Role::kCitation && done.role != Role::kRuby)
    done.buf.push_back('\n');
  const std::size_t limit = sink_.limit();
  switch (done.role) {
    case Role::kBody:
      break;
    case Role::kDeferred:
      if (done.inline_text && parent.para_depth > 0) {
        while (!done.buf.empty() && done.buf.back() == '\n') done.buf.pop_back();
        Put(parent, done.buf);
        parent.space = false;
      } else if (parent.para_depth > 0) {
        AppendBounded(parent.after_para, done.buf, limit);
      } else {
        Put(parent, done.buf);
      }
      break;
    case Role::kCitation:
      citation_ = CleanCell(done.buf);
      Put(parent, citation_);
      parent.space = false;
      break;
    case Role::kNote: {
      std::string& to = done.endnote ? endnotes_ : footnotes_;
      if (!citation_.empty()) AppendBounded(to, citation_ + " ", limit);
      AppendBounded(to, done.buf, limit);
      break;
    }
    case Role::kComment:
      AppendBounded(comments_, done.buf, limit);
      break;
    case Role::kHeader:
      if (kind_ == Kind::kText || kind_ == Kind::kUnknown) {
        // Several master pages often share one header: write it once.
        if (!done.buf.empty() && seen_headers_.insert(done.buf).second) AppendBounded(headers_, done.buf, limit);
        break;
      }
      [[fallthrough]];
    case Role::kMaster:
      // Written by Finish for the master pages that show.
      AppendBounded(master_text_[done.master], done.buf, limit);
      break;
    case Role::kRuby: {
      // A phonetic reading after its base: "東京(とうきょう)".
      std::string reading = CleanCell(done.buf);
      if (!reading.empty()) {
        Put(parent, "(" + reading + ")");
        parent.space = false;
      }
      break;
    }
  }
}

void Walker::Finish() {
  while (ctx_.size() > 1) PopCtx();
  // The headers and footers of the master pages sheets print with, and the
  // text on the masters slides show: once each, after the body.
  std::set<std::string> seen;
  for (const std::string& master : used_masters_) {
    auto it = master_text_.find(master);
    if (it == master_text_.end()) continue;
    std::string_view text = it->second;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string_view::npos) end = text.size();
      std::string line(text.substr(at, end - at));
      if (!CleanCell(line).empty() && seen.insert(line).second) AppendBounded(headers_, line + "\n", sink_.limit());
      at = end + 1;
    }
  }
  std::string* parts[] = {&headers_, &footnotes_, &endnotes_, &comments_};
  for (std::string* p : parts) {
    if (!p || p->empty() || sink_.full()) continue;
    sink_.EndLine();
    sink_.EndChunk();
    sink_.Append(*p);
    sink_.EndChunk();
  }
}

// Whether the manifest lists encryption data for content.xml.
bool ManifestEncrypts(ZipArchive& zip) {
  std::string err;
  XmlPartReader m = zip.OpenXml("META-INF/manifest.xml", &err);
  if (!m) return false;
  std::string path;
  int depth = -1;
  while (xmlTextReaderRead(m.get()) == 1) {
    if (xmlTextReaderNodeType(m.get()) != XML_READER_TYPE_ELEMENT) continue;
    const xmlChar* ln = xmlTextReaderConstLocalName(m.get());
    std::string_view l = ln ? reinterpret_cast<const char*>(ln) : "";
    if (l == "file-entry") {
      path = AnyAttr(m.get(), "full-path", kManifestNs);
      depth = xmlTextReaderDepth(m.get());
    } else if (l == "encryption-data" && xmlTextReaderDepth(m.get()) > depth &&
               (path == "content.xml" || path == "/content.xml")) {
      return true;
    }
  }
  return false;
}

constexpr const char* kRepeatsCut = "rows or cells repeated beyond 64 MiB of text were left out";

ExtractResult Damaged(const TextSink& sink, const std::string& why) {
  return sink.empty() ? ExtractResult::Failed(why) : ExtractResult::Incomplete(why);
}

// The flat XML form: one file, office:document, with the master styles and
// body inside.
ExtractResult ExtractFlat(const std::string& path, TextSink& sink, const std::string& zip_error) {
  char head[4096];
  std::size_t got = 0;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
  } else {
    return ExtractResult::Failed("the file cannot be opened");
  }
  std::string_view h(head, got);
  if (h.find(kOfficeNs) == std::string_view::npos || h.find("document") == std::string_view::npos)
    return ExtractResult::UnknownFormat("neither an OpenDocument package nor a flat OpenDocument file (" +
                                        zip_error + ")");
  std::unique_ptr<xmlTextReader, ReaderFree> r(xmlReaderForFile(path.c_str(), nullptr, kReaderOptions));
  if (!r) return ExtractResult::Failed("the file cannot be read as XML");
  Walker w(sink);
  bool ok = w.Run(r.get());
  w.Finish();
  if (!ok) return Damaged(sink, "the document's XML is damaged (" + w.xml_error() + ")");
  if (w.pages() > 0) sink.set_pages(w.pages());
  if (w.repeats_cut()) return ExtractResult::Incomplete(kRepeatsCut);
  return ExtractResult::Ok();
}

class OdfFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "odf", sink)) return *r;
    std::string err;
    std::unique_ptr<ZipArchive> zip = ZipArchive::Open(path, &err);
    if (!zip) {
      if (StartsWithZipEntry(path)) return ExtractResult::Failed("the zip package is damaged (" + err + ")");
      return ExtractFlat(path, sink, err);
    }
    if (!zip->Has("content.xml")) {
      std::string type;
      std::string ignored;
      if (zip->Has("mimetype")) zip->Read("mimetype", type, &ignored);
      if (!zip->damage().empty()) return ExtractResult::Failed("the package is damaged and its content.xml is lost");
      if (type.rfind("application/vnd.oasis.opendocument.", 0) == 0 ||
          type.rfind("application/vnd.sun.xml.", 0) == 0)
        return ExtractResult::Failed("the package has no content.xml");
      return ExtractResult::UnknownFormat("not an OpenDocument package (no content.xml)");
    }
    if (zip->IsEncrypted("content.xml") || ManifestEncrypts(*zip)) return ExtractResult::Password();

    Walker w(sink, zip.get());
    if (zip->Has("mimetype")) {
      std::string type, ignored;
      if (zip->Read("mimetype", type, &ignored)) w.LabelListsOf(type);
    }
    XmlPartReader content = zip->OpenXml("content.xml", &err, kReaderOptions);
    if (!content) return ExtractResult::Failed(err.empty() ? "content.xml cannot be read" : err);
    bool ok = w.Run(content.get());
    if (!ok) {
      std::string why = content.problem();
      w.Finish();
      return Damaged(sink, why.empty() ? "content.xml is damaged (" + w.xml_error() + ")" : why);
    }
    if (w.pages() > 0) sink.set_pages(w.pages());
    // A body of pictures and no words is a scan saved as a document: its
    // pages are read by OCR where the body stands.
    PrivateFolder folder;
    std::string missing;
    if (!w.pictures().empty() && !HasWords(sink) &&
        !ooxml::ReadScannedPictures(*zip, w.pictures(), sink, folder, &err))
      missing = err;
    if (w.kind() != Kind::kUnknown && zip->Has("styles.xml")) {
      // Master pages: headers and footers, text on slide masters.
      XmlPartReader styles = zip->OpenXml("styles.xml", &err, kReaderOptions);
      if (!styles || !w.Run(styles.get()))
        missing = "styles.xml is damaged: page headers and footers may be missing";
    }
    w.Finish();
    if (!missing.empty()) return ExtractResult::Incomplete(missing);
    if (w.repeats_cut()) return ExtractResult::Incomplete(kRepeatsCut);
    if (!zip->damage().empty()) return ExtractResult::Incomplete(zip->damage());
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateOdfFilter() { return std::make_unique<OdfFilter>(); }

}  // namespace quarn

#include "convert/filters/markup/html_filter.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "convert/filters/common/list_label.h"
#include "convert/filters/markup/math_text.h"
#include "convert/filters/markup/xml_errors.h"
#include "convert/filters/sniff.h"
#include "convert/filters/common/text_decode.h"

namespace quarn {

namespace {

constexpr std::size_t kBlockBytes = 256 * 1024;
// Browsers look for the declaration in the first 1024 bytes; pages with long
// heads put it later, so look a little further.
constexpr std::size_t kDeclarationBytes = 8192;

enum class Tag {
  kInline,
  kSkip,   // content never shown
  kTitle,
  kBlock,  // ends the line before and after
  kBreak,  // <br>
  kTable,
  kRow,
  kCell,
  kPre,   // white space kept
  kList,  // <ol>, <ul>: a block whose items are labelled
  kItem,  // <li>: a block that starts with its label
  kRubyText,  // <rt>: a ruby's reading, in parentheses after its base
  kControl,   // a form control: a box of its own, apart from the words around it
  kQuote,     // <q>: its text between quotation marks
  kSwitch,    // <epub:switch>: one of its cases, or its default, is shown
  kNav,       // <nav>: a block, unless it is hidden
};

Tag TagOf(const xmlChar* name) {
  static const std::unordered_map<std::string_view, Tag> kTags = {
      {"script", Tag::kSkip},     {"style", Tag::kSkip},       {"template", Tag::kSkip},
      {"noscript", Tag::kSkip},   {"iframe", Tag::kSkip},      {"svg", Tag::kSkip},
      {"object", Tag::kSkip},     {"head", Tag::kInline},      {"title", Tag::kTitle},
      {"br", Tag::kBreak},        {"table", Tag::kTable},      {"tr", Tag::kRow},
      {"td", Tag::kCell},         {"th", Tag::kCell},          {"pre", Tag::kPre},
      {"listing", Tag::kPre},     {"xmp", Tag::kPre},          {"plaintext", Tag::kPre},
      {"textarea", Tag::kPre},    {"p", Tag::kBlock},          {"div", Tag::kBlock},
      {"h1", Tag::kBlock},        {"h2", Tag::kBlock},         {"h3", Tag::kBlock},
      {"h4", Tag::kBlock},        {"h5", Tag::kBlock},         {"h6", Tag::kBlock},
      {"li", Tag::kItem},         {"ul", Tag::kList},          {"ol", Tag::kList},
      {"dl", Tag::kBlock},        {"dd", Tag::kBlock},         {"dt", Tag::kBlock},
      {"menu", Tag::kList},       {"dir", Tag::kList},        {"section", Tag::kBlock},
      {"article", Tag::kBlock},   {"aside", Tag::kBlock},      {"nav", Tag::kNav},
      {"header", Tag::kBlock},    {"footer", Tag::kBlock},     {"main", Tag::kBlock},
      {"address", Tag::kBlock},   {"blockquote", Tag::kBlock}, {"center", Tag::kBlock},
      {"hr", Tag::kBlock},        {"figure", Tag::kBlock},     {"figcaption", Tag::kBlock},
      {"form", Tag::kBlock},      {"fieldset", Tag::kBlock},   {"legend", Tag::kBlock},
      {"details", Tag::kBlock},   {"summary", Tag::kBlock},    {"dialog", Tag::kBlock},
      {"caption", Tag::kBlock},   {"thead", Tag::kBlock},      {"tbody", Tag::kBlock},
      {"tfoot", Tag::kBlock},     {"option", Tag::kBlock},     {"optgroup", Tag::kBlock},
      {"select", Tag::kBlock},    {"hgroup", Tag::kBlock},     {"frameset", Tag::kBlock},
      {"frame", Tag::kBlock},     {"noframes", Tag::kBlock},   {"body", Tag::kBlock},
      {"html", Tag::kBlock},      {"search", Tag::kBlock},     {"rt", Tag::kRubyText},
      {"rp", Tag::kSkip},  // the parentheses for browsers without ruby: written by kRubyText instead
      // What a browser shows only when it cannot play the media or draw
      // ("Your browser does not support the video tag"), and suggestions
      // for a field.
      {"video", Tag::kSkip},      {"audio", Tag::kSkip},       {"noembed", Tag::kSkip},
      {"canvas", Tag::kSkip},
      {"datalist", Tag::kSkip},   {"button", Tag::kControl},   {"input", Tag::kControl},
      {"q", Tag::kQuote},         {"epub:switch", Tag::kSwitch},
      {"mbp:pagebreak", Tag::kBlock},  // a page break in a MOBI book's text
  };
  auto it = kTags.find(reinterpret_cast<const char*>(name));
  return it == kTags.end() ? Tag::kInline : it->second;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// A formula's elements, built into a small tree while the page is parsed so
// that the formula can be read as one line once it ends.
class MathCapture {
 public:
  bool active() const { return static_cast<bool>(doc_); }

  void Begin() {
    doc_.reset(xmlNewDoc(BAD_CAST "1.0"));
    xmlNodePtr root = xmlNewNode(nullptr, BAD_CAST "math");
    xmlDocSetRootElement(doc_.get(), root);
    open_.assign(1, root);
    nodes_ = 0;
  }
  void Start(const xmlChar* name, const xmlChar** attrs) {
    xmlNodePtr parent = open_.back();
    // Past the cap (a hostile page) elements still nest, but are not kept.
    if (parent && nodes_ < kMaxNodes) {
      ++nodes_;
      const xmlChar* local = name;
      if (const xmlChar* colon = xmlStrchr(name, ':')) local = colon + 1;  // m:mi
      xmlNodePtr child = xmlNewChild(parent, nullptr, local, nullptr);
      for (; child && attrs && attrs[0]; attrs += 2) xmlNewProp(child, attrs[0], attrs[1]);
      open_.push_back(child);
    } else {
      open_.push_back(nullptr);
    }
  }
  void Text(const char* s, std::size_t n) {
    if (open_.back() && nodes_ < kMaxNodes) xmlNodeAddContentLen(open_.back(), BAD_CAST s, static_cast<int>(n));
  }
  // Closes an element; true when it was the formula itself.
  bool End() {
    open_.pop_back();
    return open_.empty();
  }
  // The formula's text; the capture ends.
  std::string Finish() {
    std::string text = MathMlText(xmlDocGetRootElement(doc_.get()));
    doc_.reset();
    return text;
  }

 private:
  static constexpr std::size_t kMaxNodes = 100000;
  struct DocFree {
    void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
  };
  std::unique_ptr<xmlDoc, DocFree> doc_;
  std::vector<xmlNodePtr> open_;
  std::size_t nodes_ = 0;
};

// Turns the parser's events into lines of text.
class HtmlText {
 public:
  // With the title dropped, every <title> is content never shown.
  HtmlText(TextSink& sink, HtmlTitle title) : sink_(sink), title_done_(title == HtmlTitle::kDropped) {}

  void Start(const xmlChar* name, const xmlChar** attrs) {
    Tag tag = TagOf(name);
    if (skip_) {
      // Inside dropped content only the nesting of dropped elements counts.
      bool nested = tag == Tag::kSkip || tag == Tag::kTitle;
      if (nested) ++skip_;
      stack_.push_back(nested ? Tag::kSkip : Tag::kInline);
      return;
    }
    if (math_.active()) {
      math_.Start(name, attrs);
      stack_.push_back(Tag::kInline);
      return;
    }
    if (xmlStrcmp(name, BAD_CAST "math") == 0 || xmlStrcmp(name, BAD_CAST "m:math") == 0) {
      math_.Begin();
      stack_.push_back(Tag::kInline);
      return;
    }
    if (xmlStrcmp(name, BAD_CAST "epub:case") == 0 || xmlStrcmp(name, BAD_CAST "epub:default") == 0) {
      tag = SwitchBranch(name, attrs);
    } else if (tag == Tag::kNav && AttrOf(attrs, "hidden")) {
      // A navigation list marked hidden (an e-book's landmarks and list of
      // printed pages) is never shown.
      tag = Tag::kSkip;
    }
    if (tag == Tag::kNav) tag = Tag::kBlock;
    if (tag == Tag::kTitle) {
      if (title_done_ || title_open_) {
        tag = Tag::kSkip;
      } else {
        title_open_ = true;
        tag = Tag::kBlock;
      }
    }
    stack_.push_back(tag);
    switch (tag) {
      case Tag::kSkip: ++skip_; break;
      case Tag::kBlock: BlockLine(); break;
      case Tag::kTable: EndLine(); break;
      case Tag::kBreak:
        // A row stays one line: a break inside a cell is a space there.
        if (in_cell_) space_ = true;
        else Write("\n");
        break;
      case Tag::kRow:
        EndLine();
        cells_ = 0;
        break;
      case Tag::kCell:
        if (cells_++ > 0) Write("\t");
        ++in_cell_;
        space_ = false;
        cell_text_ = cell_break_ = false;
        break;
      case Tag::kPre:
        BlockLine();
        ++pre_;
        pre_fresh_ = true;
        break;
      case Tag::kList:
        EndLine();
        lists_.push_back(NewList(name, attrs));
        break;
      case Tag::kItem:
        EndLine();
        Write(ItemLabel(attrs));
        label_open_ = true;
        break;
      case Tag::kRubyText:
        // Right after the base: "東京(とうきょう)".
        space_ = false;
        Write("(");
        break;
      case Tag::kControl:
        // A button's caption is its content or, for an input button, its
        // value; a field's content is the reader's, not the page's.
        space_ = true;
        if (xmlStrcmp(name, BAD_CAST "input") == 0 && IsInputButton(AttrOf(attrs, "type")))
          if (const char* value = AttrOf(attrs, "value")) Characters(value, std::strlen(value));
        space_ = true;
        break;
      case Tag::kQuote:
        Characters(quotes_ % 2 ? "\u2018" : "\u201C", 3);
        ++quotes_;
        break;
      case Tag::kSwitch:
        EndLine();
        switches_.push_back(false);
        break;
      case Tag::kNav: break;
      case Tag::kInline:
        // A picture's alternative text stands where the picture is, unless
        // it is only the picture's file name, as some writers fill it in.
        if (xmlStrcmp(name, BAD_CAST "img") == 0)
          if (const char* alt = AttrOf(attrs, "alt"); alt && !IsPictureFileName(alt))
            Characters(alt, std::strlen(alt));
        break;
      case Tag::kTitle: break;
    }
    if (tag == Tag::kTable) {
      // A table inside a cell has rows of its own.
      outer_.push_back({cells_, in_cell_});
      cells_ = in_cell_ = 0;
    }
  }

  void End() {
    if (stack_.empty()) return;
    Tag tag = stack_.back();
    stack_.pop_back();
    if (skip_) {
      if (tag == Tag::kSkip) --skip_;
      return;
    }
    if (math_.active()) {
      if (math_.End()) {
        std::string text = math_.Finish();
        Characters(text.data(), text.size());
      }
      return;
    }
    switch (tag) {
      case Tag::kList:
        if (!lists_.empty()) lists_.pop_back();
        EndLine();
        break;
      case Tag::kItem:
        label_open_ = false;
        EndLine();
        break;
      case Tag::kRubyText:
        space_ = false;
        Write(")");
        break;
      case Tag::kBlock:
        if (title_open_ && !title_done_) {
          // Only the first title: the one in the head.
          title_open_ = false;
          title_done_ = true;
        }
        BlockLine();
        break;
      case Tag::kRow: EndLine(); break;
      case Tag::kControl: space_ = true; break;
      case Tag::kSwitch:
        if (!switches_.empty()) switches_.pop_back();
        EndLine();
        break;
      case Tag::kQuote:
        if (quotes_ > 0) --quotes_;
        space_ = false;
        Write(quotes_ % 2 ? "\u2019" : "\u201D");
        break;
      case Tag::kCell:
        if (in_cell_) --in_cell_;
        cell_break_ = false;
        break;
      case Tag::kTable:
        EndLine();
        if (!outer_.empty()) {
          cells_ = outer_.back().cells;
          in_cell_ = outer_.back().in_cell;
          outer_.pop_back();
          // Text after a nested table starts a line of its own.
          cell_text_ = cell_break_ = in_cell_ > 0;
        }
        break;
      case Tag::kPre:
        if (pre_) --pre_;
        EndLine();
        break;
      default: break;
    }
  }

  void Characters(const char* s, std::size_t n) {
    if (skip_ || n == 0) return;
    if (math_.active()) return math_.Text(s, n);
    if (pre_) return Preformatted(s, n);
    std::size_t i = 0;
    while (i < n) {
      if (IsSpace(s[i])) {
        space_ = true;
        ++i;
        continue;
      }
      // A run up to the next white space, no-break space or soft hyphen.
      std::size_t j = i;
      auto special = [&](std::size_t k) {
        return s[k] == '\xC2' && k + 1 < n && (s[k + 1] == '\xA0' || s[k + 1] == '\xAD');
      };
      while (j < n && !IsSpace(s[j]) && !special(j)) ++j;
      if (j == i && s[j + 1] == '\xAD') {
        // A soft hyphen only says where a word may break: the word stays whole.
        i += 2;
      } else if (j > i) {
        CellText();
        if (space_ && !line_empty_ && last_ != ' ' && last_ != '\t') Write(" ");
        space_ = false;
        Write(std::string_view(s + i, j - i));
        i = j;
      } else {
        // A no-break space is a space that never collapses.
        CellText();
        if (space_ && !line_empty_ && last_ != ' ' && last_ != '\t') Write(" ");
        space_ = false;
        Write(" ");
        i += 2;
      }
    }
  }

  // An end tag with no element open to end: a stray </p> stands for an
  // empty paragraph and </br> for a break, as browsers read them; others
  // change nothing.
  void StrayEnd(const char* name) {
    if (skip_ || math_.active()) return;
    const bool p = std::strcmp(name, "p") == 0;
    if (!p && std::strcmp(name, "br") != 0) return;
    // A row stays one line: in a cell either is a space.
    if (in_cell_) space_ = true;
    else if (p) EndLine();
    else Write("\n");
  }

  bool stopped() const { return sink_.full(); }

 private:
  struct List {
    bool ordered = false;
    std::string format = "decimal";
    int next = 1;
  };

  // How a branch of an <epub:switch> is read: like a reading system, the
  // first case whose markup is understood here (MathML) is shown, and the
  // default only when no case was.
  Tag SwitchBranch(const xmlChar* name, const xmlChar** attrs) {
    if (switches_.empty()) return Tag::kInline;  // outside a switch: read it
    if (switches_.back()) return Tag::kSkip;
    if (xmlStrcmp(name, BAD_CAST "epub:default") == 0) return Tag::kInline;
    const char* ns = AttrOf(attrs, "required-namespace");
    if (!ns || std::strcmp(ns, "http://www.w3.org/1998/Math/MathML") != 0) return Tag::kSkip;
    switches_.back() = true;
    return Tag::kInline;
  }

  // Whether text is a picture's file name or path ("image001.png",
  // "OEBPS/images/cover.jpg"): one word ending in a picture's extension.
  static bool IsPictureFileName(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    if (text.empty() || text.size() > 255) return false;
    for (char c : text)
      if (IsSpace(c)) return false;
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    std::string ext(text.substr(dot + 1));
    for (char& c : ext)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    for (std::string_view known : {"jpg", "jpeg", "png", "gif", "bmp", "svg", "webp", "tif", "tiff", "emf", "wmf"})
      if (ext == known) return true;
    return false;
  }

  // Whether an <input> of this type is a button showing its value.
  static bool IsInputButton(const char* type) {
    if (!type) return false;
    std::string t(type);
    for (char& c : t)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return t == "submit" || t == "reset" || t == "button";
  }

  static const char* AttrOf(const xmlChar** attrs, const char* want) {
    for (; attrs && attrs[0]; attrs += 2)
      if (std::strcmp(reinterpret_cast<const char*>(attrs[0]), want) == 0)
        return attrs[1] ? reinterpret_cast<const char*>(attrs[1]) : "";
    return nullptr;
  }

  // A number attribute (start, value), kept far from int's limits.
  static int NumberAttr(const xmlChar** attrs, const char* want, int fallback) {
    const char* v = AttrOf(attrs, want);
    if (!v) return fallback;
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(v, &end, 10);
    if (end == v || errno == ERANGE) return fallback;
    return static_cast<int>(std::clamp(n, -1'000'000'000L, 1'000'000'000L));
  }

  static List NewList(const xmlChar* name, const xmlChar** attrs) {
    List l;
    l.ordered = std::strcmp(reinterpret_cast<const char*>(name), "ol") == 0;
    if (!l.ordered) return l;
    l.next = NumberAttr(attrs, "start", 1);
    if (const char* type = AttrOf(attrs, "type")) {
      std::string_view t(type);
      if (t == "a") l.format = "lowerLetter";
      else if (t == "A") l.format = "upperLetter";
      else if (t == "i") l.format = "lowerRoman";
      else if (t == "I") l.format = "upperRoman";
    }
    return l;
  }

  // "3. " in a numbered list, a bullet and a space anywhere else.
  std::string ItemLabel(const xmlChar** attrs) {
    if (lists_.empty() || !lists_.back().ordered) return "\u2022 ";
    List& l = lists_.back();
    l.next = NumberAttr(attrs, "value", l.next);
    std::string label = FormatListNumber(l.next, l.format) + ". ";
    if (l.next < 1'000'000'000) ++l.next;
    return label;
  }

  void Preformatted(const char* s, std::size_t n) {
    std::string_view text(s, n);
    if (pre_fresh_) {
      // The line end right after <pre> is not part of its content.
      if (text.substr(0, 2) == "\r\n") text.remove_prefix(2);
      else if (!text.empty() && (text[0] == '\n' || text[0] == '\r')) text.remove_prefix(1);
      pre_fresh_ = text.empty() && pre_fresh_;
      if (text.empty()) return;
      pre_fresh_ = false;
    }
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
      if (c == '\n' && last_cr_) {
        last_cr_ = false;
        continue;
      }
      last_cr_ = c == '\r';
      out.push_back(last_cr_ ? '\n' : c);
    }
    if (!out.empty()) CellText();
    if (space_ && !line_empty_ && !out.empty() && out[0] != ' ' && last_ != ' ') Write(" ");
    space_ = false;
    Write(out);
  }

  void EndLine() {
    space_ = false;
    label_open_ = false;
    cell_break_ = false;
    if (!line_empty_) Write("\n");
  }

  // A paragraph or other block ends the line, except the line of a list item
  // that holds only its label: an item's first paragraph follows its bullet.
  // In a table's cell the first block goes on in the row, and each later one
  // starts a line of its own once it has text: a row of one-paragraph cells
  // stays one line, a cell of several paragraphs keeps them apart.
  void BlockLine() {
    if (label_open_) {
      space_ = false;
      return;
    }
    if (in_cell_ > 0) {
      if (cell_text_) cell_break_ = true;
      return;
    }
    EndLine();
  }

  // Writes a cell's text, on a line of its own after an earlier block.
  void CellText() {
    if (in_cell_ == 0) return;
    if (cell_break_) {
      cell_break_ = false;
      space_ = false;
      EndLine();
    }
    cell_text_ = true;
  }

  void Write(std::string_view s) {
    if (s.empty()) return;
    label_open_ = false;
    sink_.Append(s);
    last_ = s.back();
    line_empty_ = last_ == '\n';
  }

  TextSink& sink_;
  std::vector<Tag> stack_;         // open elements, as classified
  struct Outer {
    int cells, in_cell;
  };
  std::vector<Outer> outer_;       // the row states around nested tables
  std::vector<List> lists_;        // open lists, innermost last
  MathCapture math_;               // the formula being read
  int skip_ = 0;                   // depth inside dropped content
  int quotes_ = 0;                 // depth inside <q>
  std::vector<bool> switches_;     // open <epub:switch>es: has a case been shown
  int pre_ = 0;                    // depth inside preformatted content
  int cells_ = 0;                  // cells so far in the current row
  int in_cell_ = 0;                // depth inside cells of the current table
  bool pre_fresh_ = false;         // nothing of the current <pre> written yet
  bool last_cr_ = false;
  bool title_open_ = false;
  bool title_done_;
  bool space_ = false;             // white space seen since the last text
  bool line_empty_ = true;
  bool label_open_ = false;        // the line holds a list item's label and nothing else yet
  bool cell_text_ = false;         // the current cell has text
  bool cell_break_ = false;        // a block of the current cell ended: its next text starts a line
  char last_ = '\n';
};

struct ParseState {
  HtmlText text;
  htmlParserCtxtPtr ctxt = nullptr;
};

HtmlText& TextOf(void* user) { return static_cast<ParseState*>(user)->text; }

void StopIfFull(void* user) {
  auto* state = static_cast<ParseState*>(user);
  if (state->text.stopped() && state->ctxt) xmlStopParser(state->ctxt);
}

void OnStart(void* user, const xmlChar* name, const xmlChar** attrs) { TextOf(user).Start(name, attrs); }
void OnEnd(void* user, const xmlChar*) { TextOf(user).End(); }
void OnCharacters(void* user, const xmlChar* ch, int len) {
  if (len <= 0) return;
  TextOf(user).Characters(reinterpret_cast<const char*>(ch), static_cast<std::size_t>(len));
  StopIfFull(user);
}
void OnMessage(void*, const char*, ...) {}
// The parser tells of end tags it drops only as errors.
void OnError(void* user, xmlErrorPtr error) {
  if (error && error->code == XML_ERR_TAG_NAME_MISMATCH && error->str1 && !error->str2)
    TextOf(user).StrayEnd(error->str1);
}

struct CtxtDeleter {
  void operator()(htmlParserCtxtPtr c) const { htmlFreeParserCtxt(c); }
};

void InitLibxml() {
  // xmlInitParser sets up tables the parsers share; done once before the
  // first parse so that two workers never race through it.
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

// XHTML may hold CDATA sections, whose content is text; the HTML parser
// does not know them.  This rewrites a stream of UTF-8 chunks so that each
// section's content reaches the parser escaped, as ordinary text.  Comments
// pass unchanged (a section marker inside one means nothing).
class CdataUnwrapper {
 public:
  void Rewrite(std::string_view chunk, bool last, std::string& out) {
    std::string in = std::move(carry_);
    carry_.clear();
    in.append(chunk);
    std::size_t i = 0;
    while (i < in.size()) {
      if (state_ == State::kText) {
        std::size_t lt = in.find('<', i);
        if (lt == std::string::npos) {
          out.append(in, i);
          break;
        }
        out.append(in, i, lt - i);
        std::string_view rest = std::string_view(in).substr(lt);
        if (rest.starts_with(kOpen)) {
          state_ = State::kCdata;
          i = lt + kOpen.size();
        } else if (rest.starts_with("<!--")) {
          state_ = State::kComment;
          out.append("<!--");
          i = lt + 4;
        } else if (!last && rest.size() < kOpen.size() &&
                   (kOpen.starts_with(rest) || std::string_view("<!--").starts_with(rest))) {
          carry_.assign(rest);  // a marker may go on in the next chunk
          break;
        } else {
          out.push_back('<');
          i = lt + 1;
        }
      } else {
        std::string_view end = state_ == State::kCdata ? "]]>" : "-->";
        std::size_t e = in.find(end, i);
        std::size_t stop = e;
        if (e == std::string::npos) {
          // Keep back what could be the start of the end marker.
          stop = last || in.size() - i < 2 ? in.size() : in.size() - 2;
          carry_.assign(in, stop);
        }
        if (state_ == State::kCdata) {
          Escape(std::string_view(in).substr(i, stop - i), out);
        } else {
          out.append(in, i, stop - i);
        }
        if (e == std::string::npos) break;
        if (state_ == State::kComment) out.append(end);
        state_ = State::kText;
        i = e + end.size();
      }
    }
    if (last && !carry_.empty()) {
      if (state_ == State::kCdata) Escape(carry_, out);
      else out.append(carry_);
      carry_.clear();
    }
  }

 private:
  enum class State { kText, kCdata, kComment };
  static constexpr std::string_view kOpen = "<![CDATA[";

  static void Escape(std::string_view s, std::string& out) {
    for (char c : s) {
      if (c == '<') out.append("&lt;");
      else if (c == '>') out.append("&gt;");
      else if (c == '&') out.append("&amp;");
      else out.push_back(c);
    }
  }

  State state_ = State::kText;
  std::string carry_;
};

// Nothing of a document type declaration is text, but the HTML parser knows
// only its simplest form: an internal subset ("<!DOCTYPE html [ <!ENTITY
// ...> ]>") would reach the page's text as it is written.  This removes
// every declaration from a stream of UTF-8 chunks, internal subset and all,
// and drops the references to the entities that subset declares ("&xxe;"),
// which are never expanded.  The markers of revealed conditional comments
// ("<![if !supportLists]>", "<![endif]>"), which the parser also reads as
// text, go the same way.
class DoctypeRemover {
 public:
  void Rewrite(std::string_view chunk, bool last, std::string& out) {
    std::string in = std::move(carry_);
    carry_.clear();
    in.append(chunk);
    std::size_t i = 0;
    // Keeps the rest for the next chunk when it may be the start of a
    // marker; true when it did.
    auto wait_for_more = [&](std::size_t at, std::size_t need) {
      if (last || in.size() - at >= need) return false;
      carry_.assign(in, at);
      i = in.size();
      return true;
    };
    while (i < in.size()) {
      switch (state_) {
        case State::kText: {
          const std::size_t lt = in.find('<', i);
          const std::size_t amp = names_.empty() ? std::string::npos : in.find('&', i);
          const std::size_t at = std::min(lt, amp);
          if (at == std::string::npos) {
            out.append(in, i);
            i = in.size();
            break;
          }
          out.append(in, i, at - i);
          i = at;
          if (at == amp) {
            const std::size_t semi = in.find_first_of(";<& \t\r\n", i + 1);
            if (semi == std::string::npos && wait_for_more(i, kMaxName + 2)) break;
            if (semi != std::string::npos && in[semi] == ';' &&
                names_.count(std::string(in, i + 1, semi - i - 1))) {
              i = semi + 1;  // a reference to a declared entity shows nothing
            } else {
              out.push_back('&');
              ++i;
            }
            break;
          }
          if (wait_for_more(i, kDoctype.size())) break;
          if (StartsWithNoCase(std::string_view(in).substr(i), kDoctype)) {
            state_ = State::kDeclaration;
            i += kDoctype.size();
          } else if (std::string_view(in).substr(i).starts_with("<!--")) {
            // A comment passes unchanged: a marker inside one is no marker.
            state_ = State::kTextComment;
            out.append("<!--");
            i += 4;
          } else if (IsConditionalMarker(std::string_view(in).substr(i))) {
            // Looked for no further than a marker's length, so that a page
            // of unended markers costs linear time.
            const std::size_t near = std::string_view(in).substr(i, kMaxMarker).find('>');
            const std::size_t end = near == std::string_view::npos ? near : i + near;
            if (end == std::string::npos) {
              if (wait_for_more(i, kMaxMarker)) break;
              out.push_back('<');
              ++i;
            } else {
              i = end + 1;  // the marker shows nothing; what it encloses is text
            }
          } else {
            out.push_back('<');
            ++i;
          }
          break;
        }
        case State::kDeclaration:
        case State::kSubset: {
          const bool subset = state_ == State::kSubset;
          const std::size_t at = in.find_first_of(subset ? "'\"<]" : "'\"[>", i);
          if (at == std::string::npos) {
            i = in.size();
            break;
          }
          i = at + 1;
          const char c = in[at];
          if (c == '\'' || c == '"') {
            quote_ = c;
            outer_ = state_;
            state_ = State::kQuoted;
          } else if (c == '[') {
            state_ = State::kSubset;
          } else if (c == ']') {
            state_ = State::kDeclaration;
          } else if (c == '>') {
            state_ = State::kText;
          } else {  // '<' inside the subset
            i = at;
            if (wait_for_more(i, kEntity.size())) break;
            const std::string_view rest = std::string_view(in).substr(i);
            if (rest.starts_with("<!--")) {
              state_ = State::kComment;
              i += 4;
            } else if (rest.starts_with(kEntity)) {
              state_ = State::kEntityName;
              name_.clear();
              parameter_ = false;
              i += kEntity.size();
            } else {
              ++i;
            }
          }
          break;
        }
        case State::kTextComment: {
          const std::size_t at = in.find("-->", i);
          if (at == std::string::npos) {
            // Keep back what could be the start of the end marker.
            const std::size_t stop = last ? in.size() : std::max(i, in.size() - std::min<std::size_t>(2, in.size()));
            out.append(in, i, stop - i);
            if (stop < in.size()) carry_.assign(in, stop);
            i = in.size();
            break;
          }
          out.append(in, i, at + 3 - i);
          state_ = State::kText;
          i = at + 3;
          break;
        }
        case State::kQuoted: {
          const std::size_t at = in.find(quote_, i);
          if (at == std::string::npos) {
            i = in.size();
            break;
          }
          state_ = outer_;
          i = at + 1;
          break;
        }
        case State::kComment: {
          const std::size_t at = in.find("-->", i);
          if (at == std::string::npos) {
            if (!wait_for_more(in.size() - std::min<std::size_t>(2, in.size() - i), 3)) i = in.size();
            break;
          }
          state_ = State::kSubset;
          i = at + 3;
          break;
        }
        case State::kEntityName: {
          const char c = in[i];
          const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
          if (space && name_.empty()) {
            ++i;
          } else if (c == '%' && name_.empty()) {
            parameter_ = true;  // referred to inside the subset only
            ++i;
          } else if (space || c == '"' || c == '\'' || c == '>' || c == '<') {
            if (!parameter_ && !name_.empty() && names_.size() < kMaxNames) names_.insert(name_);
            state_ = State::kSubset;  // the quote or '>' is read there
          } else {
            if (name_.size() <= kMaxName) name_.push_back(c);
            ++i;
          }
          break;
        }
      }
    }
  }

 private:
  enum class State { kText, kTextComment, kDeclaration, kSubset, kQuoted, kComment, kEntityName };
  static constexpr std::string_view kDoctype = "<!doctype";
  static constexpr std::string_view kEntity = "<!ENTITY";
  static constexpr std::size_t kMaxName = 256;
  static constexpr std::size_t kMaxNames = 10000;
  static constexpr std::size_t kMaxMarker = 256;  // longest conditional marker looked for

  // "<![if !supportLists]>" and "<![endif]>": the markers around content
  // that pages saved by office programs show to every browser but one; a
  // browser shows nothing of them.
  static bool IsConditionalMarker(std::string_view s) {
    if (!s.starts_with("<![")) return false;
    s.remove_prefix(3);
    while (!s.empty() && (s[0] == ' ' || s[0] == '\t')) s.remove_prefix(1);
    return StartsWithNoCase(s, "if") || StartsWithNoCase(s, "endif");
  }

  static bool StartsWithNoCase(std::string_view s, std::string_view lower_prefix) {
    if (s.size() < lower_prefix.size()) return false;
    for (std::size_t k = 0; k < lower_prefix.size(); ++k) {
      char c = s[k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      if (c != lower_prefix[k]) return false;
    }
    return true;
  }

  State state_ = State::kText;
  State outer_ = State::kText;  // where a quoted literal goes back to
  char quote_ = '"';
  bool parameter_ = false;
  std::string name_;
  std::set<std::string> names_;  // general entities the internal subset declared
  std::string carry_;
};

// Whether a page is XHTML: it begins with an XML declaration or declares
// the XHTML namespace near its start.
bool LooksLikeXhtml(std::string_view start) {
  std::size_t b = start.find_first_not_of(" \t\r\n");
  if (b != std::string_view::npos && start.substr(b).starts_with("<?xml")) return true;
  return start.substr(0, 4096).find("http://www.w3.org/1999/xhtml") != std::string_view::npos;
}

ExtractResult ParseHtml(ByteSource& src, std::string_view hint, TextSink& sink, HtmlTitle title) {
  InitLibxml();
  DetectOptions options;
  options.hint = hint;
  options.declared = DeclaredHtmlCharset;
  CharsetGuess guess = DetectCharset(src, options);
  if (guess.binary) return ExtractResult::UnknownFormat(guess.why);
  TextDecoder decoder(guess.charset);

  htmlSAXHandler sax{};
  sax.startElement = OnStart;
  sax.endElement = OnEnd;
  sax.characters = OnCharacters;
  sax.ignorableWhitespace = OnCharacters;
  sax.cdataBlock = OnCharacters;
  sax.warning = OnMessage;
  sax.error = OnMessage;
  sax.fatalError = OnMessage;
  sax.initialized = XML_SAX2_MAGIC;  // so that serror is called
  sax.serror = OnError;

  ParseState state{HtmlText(sink, title)};
  std::unique_ptr<htmlParserCtxt, CtxtDeleter> ctxt(
      htmlCreatePushParserCtxt(&sax, &state, nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8));
  if (!ctxt) return ExtractResult::Failed("out of memory");
  state.ctxt = ctxt.get();
  // The text is UTF-8 already: the page's own declaration must not make the
  // parser decode it a second time.
  htmlCtxtUseOptions(ctxt.get(), HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                     HTML_PARSE_RECOVER | HTML_PARSE_IGNORE_ENC | XML_PARSE_HUGE);

  std::string block(kBlockBytes, '\0');
  std::string utf8, rewritten;
  std::size_t skip = guess.bom;
  bool first = true;
  std::optional<CdataUnwrapper> cdata;
  DoctypeRemover doctype;
  for (;;) {
    block.resize(kBlockBytes);
    block.resize(src.Read(block.data(), block.size()));
    utf8.clear();
    if (block.empty()) {
      decoder.Finish(utf8);
    } else {
      std::string_view bytes = block;
      std::size_t s = std::min(skip, bytes.size());
      bytes.remove_prefix(s);
      skip -= s;
      decoder.Decode(bytes, utf8);
    }
    // libxml2 reads NUL as the end of the text; a stray one must not end the page.
    for (char& c : utf8)
      if (c == '\0') c = ' ';
    if (first) {
      first = false;
      if (LooksLikeXhtml(utf8)) cdata.emplace();
    }
    if (cdata) {
      rewritten.clear();
      cdata->Rewrite(utf8, block.empty(), rewritten);
      utf8.swap(rewritten);
    }
    rewritten.clear();
    doctype.Rewrite(utf8, block.empty(), rewritten);
    utf8.swap(rewritten);
    htmlParseChunk(ctxt.get(), utf8.data(), static_cast<int>(utf8.size()), block.empty() ? 1 : 0);
    if (sink.full())
      return ExtractResult::Incomplete("the text was cut at " + std::to_string(sink.limit() >> 20) + " MiB");
    if (ctxt->disableSAX || ctxt->instate == XML_PARSER_EOF) break;
    if (block.empty()) break;
  }
  if (!block.empty() || (ctxt->disableSAX && ctxt->errNo != XML_ERR_OK)) {
    // The parser gave up before the end of the page.
    const std::string limit = XmlLimitReason(ctxt->lastError);
    if (!limit.empty()) return ExtractResult::Incomplete(limit);
    std::string why = "the HTML parser stopped early";
    if (ctxt->lastError.message) why += " at " + XmlErrorText(ctxt->lastError);
    return ExtractResult::Incomplete(why);
  }
  return ExtractResult::Ok();
}

class HtmlFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "html", sink)) return *r;
    FileSource src;
    if (!src.Open(path)) return ExtractResult::Failed(std::string("cannot open the document: ") + std::strerror(errno));
    return ParseHtml(src, {}, sink, HtmlTitle::kShown);
  }
};

// The value after "name" and "=" at pos in s (quotes removed), or empty.
std::string ValueAfter(std::string_view s, std::size_t pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r')) ++pos;
  if (pos >= s.size() || s[pos] != '=') return {};
  ++pos;
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r')) ++pos;
  char quote = 0;
  if (pos < s.size() && (s[pos] == '"' || s[pos] == '\'')) quote = s[pos++];
  std::size_t end = pos;
  while (end < s.size() && s[end] != quote && s[end] != '>' && s[end] != ';' &&
         (quote || (s[end] != ' ' && s[end] != '/')) && s[end] != '"' && s[end] != '\'')
    ++end;
  return std::string(s.substr(pos, end - pos));
}

}  // namespace

std::string DeclaredXmlEncoding(std::string_view head) {
  const std::string h = LowerAscii(head.substr(0, kDeclarationBytes));
  std::size_t start = h.find_first_not_of(" \t\r\n");
  if (start == std::string::npos || h.compare(start, 5, "<?xml") != 0) return {};
  std::size_t end = h.find("?>", start);
  std::size_t enc = h.find("encoding", start);
  if (enc == std::string::npos || enc >= end) return {};
  return ValueAfter(h, enc + 8);
}

std::string DeclaredHtmlCharset(std::string_view head) {
  if (std::string v = DeclaredXmlEncoding(head); !v.empty()) return v;
  const std::string h = LowerAscii(head.substr(0, kDeclarationBytes));
  for (std::size_t pos = h.find("<meta"); pos != std::string::npos; pos = h.find("<meta", pos + 5)) {
    std::size_t end = h.find('>', pos);
    std::string_view tag = std::string_view(h).substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    for (std::size_t c = tag.find("charset"); c != std::string_view::npos; c = tag.find("charset", c + 7)) {
      std::string v = ValueAfter(tag, c + 7);
      if (!v.empty()) return v;
    }
  }
  return {};
}

ExtractResult ExtractHtmlText(std::string_view html_bytes, std::string_view charset_hint, TextSink& sink,
                              HtmlTitle title) {
  MemorySource src(html_bytes);
  return ParseHtml(src, charset_hint, sink, title);
}

std::unique_ptr<BuiltinFilter> CreateHtmlFilter() { return std::make_unique<HtmlFilter>(); }

}  // namespace quarn

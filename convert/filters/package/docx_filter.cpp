// Reads the body of a Word document in order, then the parts that hang off
// it: headers and footers, footnotes, endnotes and comments, each after the
// body.  Charts, diagrams and embedded objects give their text where they
// stand; note references show their marks, phonetic readings follow their
// base text in parentheses.  Every part is streamed through a text reader,
// so a huge document.xml costs little more memory than its text.
#include "convert/filters/package/docx_filter.h"

#include "convert/charset.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/list_label.h"
#include "convert/filters/common/symbol_font.h"
#include "convert/filters/members.h"
#include "convert/filters/package/docx_numbering.h"
#include "convert/filters/markup/math_text.h"
#include "convert/filters/package/ooxml.h"

namespace quarn {

namespace {

using ooxml::XmlCursor;

// Elements whose whole content is left out: deleted and moved-away text,
// field instructions, the fallback copy of alternate content (the chosen
// copy is read), and property blocks that hold no text.
bool IsSkipped(std::string_view n) {
  return n == "del" || n == "moveFrom" || n == "delText" || n == "instrText" || n == "delInstrText" ||
         n == "Fallback" || n == "pPr" || n == "rPr" || n == "sectPr" || n == "tblPr" || n == "tcPr" ||
         n == "trPr" || n == "tblGrid" || n == "sdtPr" || n == "rubyPr";
}

// The marks of footnotes and endnotes: numbered in the order the text refers
// to them, in the numbering formats of the document's settings, so that the
// body shows "text1" and the note "1 The note." as a reader sees them.
class NoteMarks {
 public:
  // Reads the footnote and endnote numbering of the settings part.
  void Load(ZipArchive& zip, const std::string& settings) {
    if (settings.empty() || !zip.Has(settings)) return;
    XmlCursor x(zip, settings);
    Kind* in = nullptr;
    while (x.Read()) {
      std::string_view n = x.LocalName();
      if (n == "footnotePr" || n == "endnotePr") {
        in = x.IsStart() && !x.IsEmpty() ? (n == "footnotePr" ? &foot_ : &end_) : nullptr;
      } else if (in && x.IsStart() && n == "numFmt") {
        in->format = x.Attr("val").value_or(in->format);
      } else if (in && x.IsStart() && n == "numStart") {
        std::string v = x.Attr("val").value_or("1");
        if (!v.empty() && v.size() < 6 && v.find_first_not_of("0123456789") == std::string::npos) in->next = std::stoi(v);
      }
    }
  }
  // The mark of a reference met in the text; custom: the author typed the
  // mark after the reference (it is then the text itself).
  std::string Refer(bool endnote, const std::string& id, bool custom) {
    Kind& k = endnote ? end_ : foot_;
    auto it = k.marks.find(id);
    if (it != k.marks.end()) return custom ? std::string() : it->second;
    std::string mark = custom ? std::string() : Format(k.format, k.next++);
    k.marks.emplace(id, mark);
    return mark;
  }
  // The mark a note starts with ("" for one the text never refers to).
  std::string Of(bool endnote, const std::string& id) const {
    const Kind& k = endnote ? end_ : foot_;
    auto it = k.marks.find(id);
    return it == k.marks.end() ? std::string() : it->second;
  }

 private:
  struct Kind {
    explicit Kind(std::string f) : format(std::move(f)) {}
    std::string format;
    int next = 1;
    std::map<std::string, std::string> marks;
  };
  static std::string Format(const std::string& format, int n) {
    if (format == "chicago") {
      // *, †, ‡, §, then doubled, tripled...
      static constexpr const char* kSymbols[] = {"*", "\u2020", "\u2021", "\u00A7"};
      std::string mark;
      for (int i = 0; i <= (n - 1) / 4 && i < 8; ++i) mark += kSymbols[(n - 1) % 4];
      return mark;
    }
    return FormatListNumber(n, format);
  }
  Kind foot_{"decimal"};
  Kind end_{"lowerRoman"};
};

// What a part's walker needs besides the part: the package for charts,
// diagrams and embedded objects the part refers to, its relationships, the
// note marks of the whole document, and where to note problems.
struct PartContext {
  ZipArchive& zip;
  const ooxml::Relationships& rels;
  NoteMarks& marks;
  std::string& problems;
  std::set<std::string>& embedded;  // objects read so far: each is read once
  PrivateFolder& folder;            // where embedded objects are read from
  std::vector<std::string>* pictures = nullptr;  // the body's pictures, in order (body only)
};

// Turns one WordprocessingML part into lines.  Outside tables a paragraph
// ends a line; a table row is one line of tab-separated cells, with the
// paragraphs of a cell (and any table nested in it) joined by spaces.
class PartWalker {
 public:
  PartWalker(TextSink& sink, docx::Numbering& numbering, PartContext context)
      : sink_(sink), layout_(sink), numbering_(numbering), context_(context) {}

  // False when the part could not be read to its end.
  bool Walk(XmlCursor& x) {
    bool more = x.Read();
    while (more && !sink_.full()) {
      if (x.IsStart()) {
        std::string_view n = x.LocalName();
        if (n == "pPr" && !x.IsEmpty()) {
          // A numbered paragraph starts with its list label.
          docx::NumberingRef ref;
          more = ReadParagraphProps(x, &ref);
          layout_.Text(numbering_.Next(ref));
          continue;
        }
        if (n == "oMath" && !x.IsEmpty()) {
          // A formula is read as a whole, as one line of text.
          int status = 1;
          layout_.Text(ReadMathText(x.reader(), MathKind::kOmml, &status));
          more = x.Read();  // past its end; a reader that failed inside says so again
          continue;
        }
        if (n == "rPr" && runs_ > 0 && !x.IsEmpty()) {
          more = ReadRunProps(x);
          continue;
        }
        if (IsSkipped(n) || ((n == "footnote" || n == "endnote") && IsSeparatorNote(x))) {
          more = x.Skip();
          continue;
        }
        Start(x, n, x.IsEmpty());
      } else if (x.IsEnd()) {
        End(x.LocalName());
      } else if (in_text_ && instructions_ == 0 && x.IsText()) {
        if (reading_ > 0) {
          reading_text_ += x.Value();
        } else {
          std::string_view t = x.Value();
          // A note starts with its mark and a space.
          if (after_mark_ && !t.empty() && t[0] != ' ' && t[0] != '\t') layout_.Text(" ");
          after_mark_ = false;
          if (!symbol_font_.empty()) {
            layout_.Text(SymbolFontText(symbol_font_, t));
          } else {
            layout_.Text(t);
          }
          if (!fields_.empty() && !t.empty()) fields_.back().result_text = true;
        }
      }
      more = x.Read();
    }
    layout_.EndLine();
    return !x.failed() && x.opened();
  }

 private:
  // Reads the numbering a paragraph's properties ask for, the cursor on
  // <w:pPr>; like Skip, leaves the cursor on the node after them.
  static bool ReadParagraphProps(XmlCursor& x, docx::NumberingRef* ref) {
    return x.ReadInside([&] {
      std::string_view n = x.LocalName();
      // Earlier properties of a tracked change are no longer in force.
      if (n == "rPr" || n == "pPrChange" || n == "sectPr") return false;
      if (n == "pStyle") ref->style = x.Attr("val").value_or("");
      else if (n == "numId") ref->num_id = ParseInt(x.Attr("val"));
      else if (n == "ilvl") ref->level = ParseInt(x.Attr("val"));
      return true;
    });
  }

  // Reads the font of a run's properties, the cursor on <w:rPr>; like Skip,
  // leaves the cursor on the node after them.  Only a symbol font matters:
  // text set in it shows that font's characters.
  bool ReadRunProps(XmlCursor& x) {
    return x.ReadInside([&] {
      std::string_view n = x.LocalName();
      if (n == "rPrChange") return false;  // the properties before a tracked change
      if (n == "rFonts") {
        std::string font = x.Attr("ascii").value_or(x.Attr("hAnsi").value_or(""));
        symbol_font_ = IsSymbolFont(font) ? font : std::string();
      }
      return true;
    });
  }

  static int ParseInt(const std::optional<std::string>& v) {
    if (!v || v->empty() || v->size() > 9) return -1;
    int n = 0;
    for (char c : *v) {
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
    }
    return n;
  }

  static bool IsSeparatorNote(const XmlCursor& x) {
    std::string t = x.Attr("type").value_or("");
    return t == "separator" || t == "continuationSeparator" || t == "continuationNotice";
  }

  void Start(const XmlCursor& x, std::string_view n, bool empty) {
    if (n == "t") {
      in_text_ = !empty;
    } else if (n == "r") {
      if (!empty) ++runs_;
      symbol_font_.clear();
    } else if (n == "tbl") {
      layout_.StartTable(empty);
    } else if (n == "tc") {
      layout_.StartCell();
    } else if (n == "txbxContent") {
      layout_.Soft(" ");  // a text box's text stands apart from the text around it
    } else if (n == "tab" || n == "ptab") {
      if (runs_ > 0) layout_.in_table() ? layout_.Soft(" ") : layout_.Text("\t");
    } else if (n == "br" || n == "cr") {
      if (runs_ > 0) layout_.LineBreak();
    } else if (n == "noBreakHyphen") {
      layout_.Text("-");
    } else if (n == "sym") {
      Symbol(x);
    } else if (n == "fldChar") {
      Field(x.Attr("fldCharType").value_or(""));
    } else if (n == "ffData") {
      in_form_data_ = !empty;
      form_ = FormData{};
    } else if (in_form_data_) {
      FormDataElement(x, n);
    } else if (n == "rt") {
      // A phonetic reading: written after its base, in parentheses.
      if (!empty && reading_++ == 0) reading_text_.clear();
    } else if (n == "footnoteReference" || n == "endnoteReference") {
      layout_.Text(context_.marks.Refer(n[0] == 'e', x.Attr("id").value_or(""),
                                        ooxml::IsTrue(x.Attr("customMarkFollows").value_or(""))));
    } else if (n == "footnote" || n == "endnote") {
      note_ = {n[0] == 'e', x.Attr("id").value_or("")};
    } else if (n == "footnoteRef" || n == "endnoteRef") {
      std::string mark = context_.marks.Of(note_.first, note_.second);
      layout_.Text(mark);
      after_mark_ = !mark.empty();
    } else if (n == "chart" || n == "relIds" || n == "OLEObject" || n == "altChunk") {
      // A chart, a diagram (its data part), an embedded object or an imported
      // chunk (a web page, RTF or another document Word shows as part of the
      // body): its text where it stands.
      std::optional<std::string> id = n == "relIds" ? x.Attr("dm") : x.RelId();
      if (const ooxml::Relationship* r = context_.rels.ById(id.value_or("")); r && !r->external) Related(n, r->target);
    } else if ((n == "blip" || n == "imagedata") && context_.pictures) {
      // Kept in case the body turns out to be nothing but pictures (a scan).
      std::optional<std::string> id = n == "blip" ? x.Attr("embed") : x.RelId();
      if (const ooxml::Relationship* r = context_.rels.ById(id.value_or("")); r && !r->external)
        context_.pictures->push_back(r->target);
    }
  }

  // Writes the text of a related part: its lines on lines of their own
  // (inside a table, joined to the cell's text).
  void Related(std::string_view element, const std::string& part) {
    if (!context_.zip.Has(part) || sink_.full()) return;
    bool member = element == "OLEObject" || element == "altChunk";
    if (member && !context_.embedded.insert(part).second) return;
    TextSink text = SideSink(sink_, sink_.limit() - std::min(sink_.limit(), sink_.size()));
    std::string error;
    bool ok = element == "OLEObject"  ? ooxml::ReadEmbedded(context_.zip, part, text, context_.folder, &error)
              : element == "altChunk" ? ooxml::ReadImportedChunk(context_.zip, part, text, context_.folder, &error)
                                      : ooxml::ReadPartText(context_.zip, part, text, &error);
    if (!ok) context_.problems += (context_.problems.empty() ? "" : "; ") + error;
    std::string joined = text.Joined();
    for (std::size_t at = 0; at < joined.size();) {
      std::size_t end = joined.find('\n', at);
      if (end == std::string::npos) end = joined.size();
      if (end > at) {
        if (!layout_.in_table()) layout_.EndLine();
        else layout_.Soft(" ");
        layout_.Text(std::string_view(joined).substr(at, end - at));
        if (!layout_.in_table()) layout_.EndLine();
      }
      at = end + 1;
    }
  }

  void End(std::string_view n) {
    if (n == "ffData") {
      if (in_form_data_) EndFormData();
    } else if (n == "t") {
      in_text_ = false;
    } else if (n == "rt") {
      if (reading_ > 0) --reading_;
    } else if (n == "ruby") {
      std::size_t first = reading_text_.find_first_not_of(" \t\r\n");
      if (first != std::string::npos) {
        std::size_t last = reading_text_.find_last_not_of(" \t\r\n");
        layout_.Text("(" + reading_text_.substr(first, last - first + 1) + ")");
      }
      reading_text_.clear();
    } else if (n == "r") {
      if (runs_ > 0) --runs_;
      symbol_font_.clear();
    } else if (n == "p") {
      layout_.EndParagraph();
    } else if (n == "tr") {
      layout_.EndRow();
    } else if (n == "tbl") {
      layout_.EndTable();
    }
  }

  // Complex fields: text between "begin" and "separate" is the instruction,
  // between "separate" and "end" the result a reader sees.
  void Field(std::string_view type) {
    if (type == "begin") {
      fields_.emplace_back();
      ++instructions_;
    } else if (type == "separate") {
      if (!fields_.empty() && fields_.back().instruction) {
        fields_.back().instruction = false;
        --instructions_;
      }
    } else if (type == "end") {
      if (!fields_.empty()) {
        if (fields_.back().instruction) --instructions_;
        const OpenField field = std::move(fields_.back());
        fields_.pop_back();
        if (!field.shown.empty() && !field.result_text && instructions_ == 0) {
          layout_.Text(field.shown);
          if (!fields_.empty()) fields_.back().result_text = true;
        }
      }
    }
  }

  void FormDataElement(const XmlCursor& x, std::string_view n) {
    const std::string val = x.Attr("val").value_or("");
    const bool on = val.empty() || val == "1" || val == "true" || val == "on";
    if (n == "checkBox") form_.kind = FormData::Kind::kCheckBox;
    else if (n == "ddList") form_.kind = FormData::Kind::kList;
    else if (n == "checked") form_.checked = on ? 1 : 0;
    else if (n == "default" && form_.kind == FormData::Kind::kCheckBox) form_.default_checked = !val.empty() && on;
    else if (n == "default" && form_.kind == FormData::Kind::kList) form_.default_entry = ParseInt(x.Attr("val"));
    else if (n == "result" && form_.kind == FormData::Kind::kList) form_.result = ParseInt(x.Attr("val"));
    else if (n == "listEntry" && form_.entries.size() < kMaxListEntries) form_.entries.push_back(val);
  }

  void EndFormData() {
    in_form_data_ = false;
    if (fields_.empty()) return;
    std::string shown;
    if (form_.kind == FormData::Kind::kCheckBox) {
      const bool ticked = form_.checked >= 0 ? form_.checked == 1 : form_.default_checked;
      shown = ticked ? "\u2612" : "\u2610";
    } else if (form_.kind == FormData::Kind::kList) {
      const int chosen = form_.result >= 0 ? form_.result : std::max(form_.default_entry, 0);
      if (static_cast<std::size_t>(chosen) < form_.entries.size()) shown = form_.entries[static_cast<std::size_t>(chosen)];
    }
    fields_.back().shown = std::move(shown);
  }

  void Symbol(const XmlCursor& x) {
    std::string hex = x.Attr("char").value_or("");
    char32_t cp = 0;
    for (char c : hex) {
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0 || cp > 0xFFFFF) return;
      cp = cp * 16 + static_cast<char32_t>(d);
    }
    // Symbol fonts put their glyphs at F000 + the 8-bit code: the Symbol
    // font's letters and signs and Wingdings' boxes are written out, other
    // pictures left out.
    cp = SymbolChar(x.Attr("font").value_or(""), cp);
    if (cp == 0) return;
    std::string s;
    AppendUtf8(cp, s);
    layout_.Text(s);
  }

  TextSink& sink_;
  ooxml::Layout layout_;
  docx::Numbering& numbering_;
  PartContext context_;
  std::pair<bool, std::string> note_;  // the note being read: endnote?, id
  bool after_mark_ = false;            // a note's mark was written, its text not yet
  std::string symbol_font_;            // the current run's font, when a symbol font
  int reading_ = 0;                    // inside a ruby's reading (w:rt)
  std::string reading_text_;
  struct OpenField {
    bool instruction = true;  // still in its instruction
    std::string shown;        // what a form field shows without a result of its own
    bool result_text = false; // its result wrote text
  };
  // A legacy form field's data (w:ffData): a check box shows a box, ticked
  // or not; a drop-down list its chosen entry.  Word writes no result text
  // for either.
  struct FormData {
    enum class Kind { kNone, kCheckBox, kList } kind = Kind::kNone;
    int checked = -1;  // w:checked: -1 absent, else 0 or 1
    bool default_checked = false;
    int result = -1, default_entry = -1;
    std::vector<std::string> entries;
  };
  static constexpr std::size_t kMaxListEntries = 1000;
  std::vector<OpenField> fields_;
  bool in_form_data_ = false;
  FormData form_;
  int instructions_ = 0;
  int runs_ = 0;
  bool in_text_ = false;
};

class DocxFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    ExtractResult result;
    auto zip = ooxml::OpenPackage(path, "docx", sink, &result);
    if (!zip) return result;
    std::string main = ooxml::MainPart(*zip, "word/document.xml");
    if (!zip->Has(main)) return ExtractResult::UnknownFormat("a zip file without a Word document part");
    if (zip->IsEncrypted(main)) return ExtractResult::Password();

    std::string problems = zip->damage();
    ooxml::Relationships rels;
    std::string rel_error;
    if (!rels.Load(*zip, main, &rel_error)) problems += (problems.empty() ? "" : "; ") + rel_error;

    // List labels need the numbering definitions and the list styles first.
    docx::Numbering numbering;
    {
      auto target = [&](std::string_view kind) {
        const ooxml::Relationship* r = rels.FirstOfKind(kind);
        return r ? r->target : std::string();
      };
      std::string numbering_error;
      if (!numbering.Load(*zip, target("numbering"), target("styles"), &numbering_error))
        problems += (problems.empty() ? "" : "; ") + numbering_error;
    }

    NoteMarks marks;
    std::set<std::string> embedded;
    PrivateFolder folder;
    if (const ooxml::Relationship* r = rels.FirstOfKind("settings")) marks.Load(*zip, r->target);
    std::vector<std::string> pictures;
    {
      XmlCursor x(*zip, main);
      PartWalker walker(sink, numbering, {*zip, rels, marks, problems, embedded, folder, &pictures});
      if (!walker.Walk(x)) {
        if (sink.empty()) return ExtractResult::Failed(x.error());
        return ExtractResult::Incomplete("the body was read only in part: " + x.error());
      }
    }
    // A body of pictures and no words is a scan saved as a document: its
    // pages are read by OCR where the body stands.
    if (!pictures.empty() && !HasWords(sink)) {
      std::string error;
      if (!ooxml::ReadScannedPictures(*zip, pictures, sink, folder, &error))
        problems += (problems.empty() ? "" : "; ") + error;
    }
    if (sink.full()) return ExtractResult::Incomplete("the text limit was reached");

    std::vector<std::string> parts;
    for (std::string_view kind : {"header", "footer", "footnotes", "endnotes", "comments"})
      for (const ooxml::Relationship* r : rels.OfKind(kind)) {
        bool seen = false;
        for (const std::string& p : parts) seen = seen || p == r->target;
        if (!seen && zip->Has(r->target)) parts.push_back(r->target);
      }
    for (const std::string& part : parts) {
      if (sink.full()) break;
      ooxml::Relationships part_rels;
      std::string rels_error;
      if (!part_rels.Load(*zip, part, &rels_error)) problems += (problems.empty() ? "" : "; ") + rels_error;
      XmlCursor x(*zip, part);
      PartWalker walker(sink, numbering, {*zip, part_rels, marks, problems, embedded, folder});
      if (!walker.Walk(x)) {
        if (!problems.empty()) problems += "; ";
        problems += x.error();
      }
    }
    if (sink.full()) return ExtractResult::Incomplete("the text limit was reached");
    if (!problems.empty()) return ExtractResult::Incomplete(problems);
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateDocxFilter() { return std::make_unique<DocxFilter>(); }

}  // namespace quarn

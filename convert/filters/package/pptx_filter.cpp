// Reads a presentation slide by slide in the presentation's own order (its
// slide list, resolved through relationships, never the part names): each
// slide's text with its list labels and typed footer, its charts, diagrams
// and embedded objects, then its speaker notes.  Text that the author put on
// slide layouts and masters outside placeholders shows on every slide that
// uses them; it is written once, after the slides, so that it is neither
// lost nor repeated on every slide.
#include "convert/filters/package/pptx_filter.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/symbol_font.h"
#include "convert/filters/members.h"
#include "convert/filters/package/ooxml.h"
#include "convert/filters/package/pptx_lists.h"

namespace quarn {

namespace {

using ooxml::XmlCursor;
using pptx::Bullet;

enum class Mode {
  kSlide,   // a slide: every shape, footer boxes with their typed text
  kNotes,   // a notes page: its notes, not the page's header and footer boxes
  kMaster,  // a layout or master: only shapes that are not placeholders
};

// The list styles a slide's placeholders inherit.
struct Inherited {
  const pptx::MasterPart* layout = nullptr;
  const pptx::MasterPart* master = nullptr;
};

// Turns one slide, notes, layout or master part into lines: a paragraph
// ends a line (starting with its bullet or number), a table row is one line
// of tab-separated cells.
class SlideWalker {
 public:
  SlideWalker(TextSink& sink, Mode mode, Inherited inherited = {})
      : sink_(sink), layout_(sink), mode_(mode), inherited_(inherited) {}

  bool Walk(XmlCursor& x) {
    bool more = x.Read();
    while (more && !sink_.full()) {
      if (x.IsStart()) {
        std::string_view n = x.LocalName();
        if (n == "rPr" && !x.IsEmpty()) {
          more = ReadRunFont(x);
          continue;
        }
        if (n == "Fallback" || n == "rPr" || n == "endParaRPr" || n == "tblPr" || n == "tcPr" || n == "spPr" ||
            (n == "fld" && SkipsField(x.Attr("type").value_or("")))) {
          more = x.Skip();
          continue;
        }
        if (n == "pPr") {
          more = pptx::ReadBulletProps(x, &para_bullet_, &para_level_);
          continue;
        }
        if (n == "lstStyle") {
          if (shapes_.empty()) more = x.Skip();
          else more = pptx::ReadListStyle(x, shapes_.back().list);
          continue;
        }
        Start(x, n, x.IsEmpty());
      } else if (x.IsEnd()) {
        End(x.LocalName());
      } else if (in_text_ && skip_shapes_ == 0 && x.IsText()) {
        std::string_view t = x.Value();
        if (label_pending_ && t.find_first_not_of(" \t\r\n") != std::string_view::npos) {
          label_pending_ = false;
          layout_.Text(labels_.Next(para_level_, Resolve()));
        }
        if (!symbol_font_.empty()) layout_.Text(SymbolFontText(symbol_font_, t, symbol_private_only_));
        else layout_.Text(t);
      }
      more = x.Read();
    }
    layout_.EndLine();
    return !x.failed() && x.opened();
  }

  // Whether the slide shows the shapes of its layout and master.
  bool shows_master() const { return shows_master_; }

 private:
  struct Shape {
    bool skipped = false;
    bool placeholder = false;
    std::string kind;  // PlaceholderKind of its type
    std::string idx;
    pptx::LevelBullets list;
  };

  // Reads the fonts of a run's properties, the cursor on <a:rPr>; like Skip,
  // leaves the cursor on the node after them.  Only a symbol font matters:
  // as the run's Latin font all its codes are the font's, as its symbol font
  // only those at U+F000 and up.
  bool ReadRunFont(XmlCursor& x) {
    std::string latin, sym;
    const bool more = x.ReadInside([&] {
      std::string_view n = x.LocalName();
      if (n == "latin") latin = x.Attr("typeface").value_or("");
      else if (n == "sym") sym = x.Attr("typeface").value_or("");
      return true;
    });
    symbol_private_only_ = !IsSymbolFont(latin);
    symbol_font_ = !symbol_private_only_ ? latin : IsSymbolFont(sym) ? sym : std::string();
    return more;
  }

  // Fields that only repeat what the application fills in: the slide
  // number anywhere, and any field of a footer, date or header box.
  bool SkipsField(std::string_view type) const {
    if (type == "slidenum") return true;
    if (mode_ == Mode::kMaster) return true;
    if (shapes_.empty()) return false;
    const std::string& k = shapes_.back().kind;
    return k == "ftr" || k == "dt" || k == "hdr";
  }

  void Start(const XmlCursor& x, std::string_view n, bool empty) {
    if (n == "t") {
      in_text_ = !empty;
    } else if (n == "r") {
      symbol_font_.clear();
    } else if (n == "sld") {
      shows_master_ = x.Attr("showMasterSp").value_or("1") != "0";
    } else if (n == "sp") {
      if (!empty) shapes_.emplace_back();
    } else if (n == "ph") {
      if (shapes_.empty() || shapes_.back().placeholder) return;
      Shape& s = shapes_.back();
      s.placeholder = true;
      std::string type = x.Attr("type").value_or("");
      s.kind = pptx::PlaceholderKind(type);
      s.idx = x.Attr("idx").value_or("");
      // The slide number and the notes page's slide picture repeat what the
      // application fills in; a notes page's header and footer boxes are
      // the notes master's; a layout's or master's placeholders are prompts.
      bool skip = mode_ == Mode::kMaster || type == "sldNum" || type == "sldImg" ||
                  (mode_ == Mode::kNotes && (type == "hdr" || type == "ftr" || type == "dt"));
      if (skip) {
        s.skipped = true;
        ++skip_shapes_;
      }
    } else if (n == "txBody") {
      labels_.Reset();
    } else if (n == "p") {
      para_level_ = 0;
      para_bullet_ = Bullet();
      label_pending_ = true;
    } else if (n == "br") {
      layout_.LineBreak();
    } else if (n == "tbl") {
      layout_.StartTable(empty);
    } else if (n == "tc") {
      layout_.StartCell();
    }
  }

  void End(std::string_view n) {
    if (n == "t") {
      in_text_ = false;
    } else if (n == "r") {
      symbol_font_.clear();
    } else if (n == "sp") {
      if (!shapes_.empty()) {
        if (shapes_.back().skipped) --skip_shapes_;
        shapes_.pop_back();
      }
    } else if (n == "p") {
      label_pending_ = false;
      layout_.EndParagraph();
    } else if (n == "tr") {
      layout_.EndRow();
    } else if (n == "tbl") {
      layout_.EndTable();
    }
  }

  // The bullet the current paragraph shows: its own, its shape's list
  // style, then for a slide's placeholder the layout's and the master's.
  Bullet Resolve() const {
    if (para_bullet_.kind != Bullet::Kind::kUnset) return para_bullet_;
    if (shapes_.empty()) return {};
    const Shape& s = shapes_.back();
    const auto level = static_cast<std::size_t>(para_level_);
    if (s.list[level].kind != Bullet::Kind::kUnset) return s.list[level];
    if (!s.placeholder || mode_ != Mode::kSlide) return {};
    auto find = [&](const std::map<std::string, pptx::LevelBullets>& m, const std::string& key) -> const Bullet* {
      auto it = m.find(key);
      if (it == m.end() || it->second[level].kind == Bullet::Kind::kUnset) return nullptr;
      return &it->second[level];
    };
    if (const pptx::MasterPart* l = inherited_.layout) {
      const Bullet* b = s.idx.empty() ? nullptr : find(l->by_idx, s.idx);
      if (!b) b = find(l->by_type, s.kind);
      if (b) return *b;
    }
    if (const pptx::MasterPart* m = inherited_.master) {
      if (const Bullet* b = find(m->by_type, s.kind)) return *b;
      const pptx::LevelBullets& style = s.kind == "title"                         ? m->title
                                        : (s.kind == "body" || s.kind == "subTitle") ? m->body
                                                                                     : m->other;
      return style[level];
    }
    return {};
  }

  TextSink& sink_;
  ooxml::Layout layout_;
  Mode mode_;
  Inherited inherited_;
  std::vector<Shape> shapes_;
  int skip_shapes_ = 0;
  bool in_text_ = false;
  std::string symbol_font_;            // the current run's symbol font, if it has one
  bool symbol_private_only_ = false;   // only its private-use characters are the font's
  bool shows_master_ = true;
  int para_level_ = 0;
  Bullet para_bullet_;
  bool label_pending_ = false;
  pptx::ParagraphLabels labels_;
};

// Reads a layout or master: its placeholders' list styles, a master's text
// styles, and its text outside placeholders.
bool LoadMasterPart(ZipArchive& zip, const std::string& part, pptx::MasterPart& out, std::string* error) {
  {
    XmlCursor x(zip, part);
    std::vector<std::pair<std::string, std::string>> shapes;  // per open shape: kind, idx ("" kind: none)
    std::vector<pptx::LevelBullets> lists;
    bool more = x.Read();
    while (more) {
      if (x.IsStart()) {
        std::string_view n = x.LocalName();
        if (n == "sldLayout") {
          out.hides_master = x.Attr("showMasterSp").value_or("1") == "0";
        } else if (n == "sp" && !x.IsEmpty()) {
          shapes.emplace_back();
          lists.emplace_back();
        } else if (n == "ph" && !shapes.empty()) {
          shapes.back() = {pptx::PlaceholderKind(x.Attr("type").value_or("")), x.Attr("idx").value_or("")};
        } else if (n == "lstStyle" && !lists.empty()) {
          more = pptx::ReadListStyle(x, lists.back());
          continue;
        } else if (n == "titleStyle" || n == "bodyStyle" || n == "otherStyle") {
          more = pptx::ReadListStyle(x, n == "titleStyle" ? out.title : n == "bodyStyle" ? out.body : out.other);
          continue;
        }
      } else if (x.IsEnd() && x.LocalName() == "sp" && !shapes.empty()) {
        const auto& [kind, idx] = shapes.back();
        if (!kind.empty()) {
          if (!idx.empty()) out.by_idx.emplace(idx, lists.back());
          out.by_type.emplace(kind, lists.back());
        }
        shapes.pop_back();
        lists.pop_back();
      }
      more = x.Read();
    }
    if (x.failed() || !x.opened()) {
      *error = x.error();
      return false;
    }
  }
  TextSink text;
  XmlCursor x(zip, part);
  SlideWalker walker(text, Mode::kMaster);
  walker.Walk(x);
  std::string joined = text.Joined();
  for (std::size_t at = 0; at < joined.size();) {
    std::size_t end = joined.find('\n', at);
    if (end == std::string::npos) end = joined.size();
    if (end > at) out.lines.push_back(joined.substr(at, end - at));
    at = end + 1;
  }
  ooxml::Relationships rels;
  if (rels.Load(zip, part, nullptr))
    if (const ooxml::Relationship* m = rels.FirstOfKind("slideMaster")) out.master = m->target;
  return true;
}

class PptxFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    ExtractResult result;
    auto zip = ooxml::OpenPackage(path, "pptx", sink, &result);
    if (!zip) return result;
    std::string main = ooxml::MainPart(*zip, "ppt/presentation.xml");
    if (!zip->Has(main)) return ExtractResult::UnknownFormat("a zip file without a presentation part");
    if (zip->IsEncrypted(main)) return ExtractResult::Password();

    ooxml::Relationships rels;
    std::string error;
    if (!rels.Load(*zip, main, &error)) return ExtractResult::Failed(error);
    std::vector<std::string> slides;
    {
      XmlCursor x(*zip, main);
      bool in_list = false;
      while (x.Read()) {
        std::string_view n = x.LocalName();
        if (n == "sldIdLst") {
          in_list = x.IsStart() && !x.IsEmpty();
        } else if (in_list && x.IsStart() && n == "sldId") {
          if (const ooxml::Relationship* r = rels.ById(x.RelId().value_or("")); r && !r->external)
            slides.push_back(r->target);
        }
      }
      if (x.failed() || !x.opened()) return ExtractResult::Failed(x.error());
    }
    sink.set_pages(static_cast<std::int64_t>(slides.size()));

    std::string problems = zip->damage();
    auto note = [&](const std::string& why) {
      if (!problems.empty()) problems += "; ";
      problems += why;
    };
    // Layouts and masters, read once each; those whose own text shows on
    // some slide, in the order the slides first show them.
    std::map<std::string, pptx::MasterPart> masters;
    std::vector<std::string> shown_masters;
    auto master_part = [&](const std::string& part) -> const pptx::MasterPart* {
      if (part.empty() || !zip->Has(part)) return nullptr;
      auto it = masters.find(part);
      if (it == masters.end()) {
        it = masters.emplace(part, pptx::MasterPart()).first;
        if (!LoadMasterPart(*zip, part, it->second, &error)) note(error);
      }
      return &it->second;
    };
    std::set<std::string> embedded;
    PrivateFolder folder;  // embedded objects are read from files in it
    auto show = [&](const std::string& part) {
      if (std::find(shown_masters.begin(), shown_masters.end(), part) == shown_masters.end())
        shown_masters.push_back(part);
    };

    std::vector<std::string> pictures;  // the slides' pictures, slide by slide
    for (const std::string& slide : slides) {
      if (sink.full()) break;
      if (!zip->Has(slide)) {
        note("the slide " + slide + " is missing");
        continue;
      }
      ooxml::Relationships slide_rels;
      if (!slide_rels.Load(*zip, slide, &error)) note(error);
      Inherited inherited;
      std::string layout_name;
      if (const ooxml::Relationship* l = slide_rels.FirstOfKind("slideLayout")) layout_name = l->target;
      inherited.layout = master_part(layout_name);
      if (inherited.layout) inherited.master = master_part(inherited.layout->master);
      {
        XmlCursor x(*zip, slide);
        SlideWalker walker(sink, Mode::kSlide, inherited);
        if (!walker.Walk(x)) note(x.error());
        if (walker.shows_master() && inherited.layout) {
          show(layout_name);
          if (inherited.master && !inherited.layout->hides_master) show(inherited.layout->master);
        }
      }
      for (const ooxml::Relationship* r : slide_rels.OfKind("image"))
        if (!r->external && pictures.size() < kMaxScannedPictures * 4) pictures.push_back(r->target);
      // Charts and diagrams keep their text in parts of their own;
      // embedded objects are documents of their own.
      for (std::string_view kind : {"chart", "diagramData"})
        for (const ooxml::Relationship* r : slide_rels.OfKind(kind))
          if (zip->Has(r->target) && !sink.full() && !ooxml::ReadPartText(*zip, r->target, sink, &error)) note(error);
      // An object shown on several slides is read once.
      for (std::string_view kind : {"package", "oleObject"})
        for (const ooxml::Relationship* r : slide_rels.OfKind(kind))
          if (zip->Has(r->target) && !sink.full() && embedded.insert(r->target).second &&
              !ooxml::ReadEmbedded(*zip, r->target, sink, folder, &error))
            note(error);
      if (const ooxml::Relationship* notes = slide_rels.FirstOfKind("notesSlide");
          notes && zip->Has(notes->target) && !sink.full()) {
        XmlCursor x(*zip, notes->target);
        SlideWalker walker(sink, Mode::kNotes);
        if (!walker.Walk(x)) note(x.error());
      }
      // Reviewers' comments on the slide (and their replies), after its notes.
      for (const ooxml::Relationship* r : slide_rels.OfKind("comments"))
        if (zip->Has(r->target) && !sink.full() && !ooxml::ReadPartText(*zip, r->target, sink, &error)) note(error);
    }
    // Slides of pictures and no words are scans shown as slides: their
    // pictures are read by OCR.
    if (!pictures.empty() && !sink.full() && !HasWords(sink) &&
        !ooxml::ReadScannedPictures(*zip, pictures, sink, folder, &error))
      note(error);
    std::set<std::string> written;
    for (const std::string& part : shown_masters) {
      for (const std::string& line : masters[part].lines) {
        if (sink.full()) break;
        if (written.insert(line).second) sink.Line(line);
      }
    }
    if (sink.full()) return ExtractResult::Incomplete("the text limit was reached");
    if (!problems.empty()) {
      if (sink.empty()) return ExtractResult::Failed(problems);
      return ExtractResult::Incomplete(problems);
    }
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePptxFilter() { return std::make_unique<PptxFilter>(); }

}  // namespace quarn

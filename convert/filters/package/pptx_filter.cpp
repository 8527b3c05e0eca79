// Reads a presentation slide by slide in the presentation's own order (its
// slide list, resolved through relationships, never the part names), each
// slide's text followed by its speaker notes.
#include "convert/filters/package/pptx_filter.h"

#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/package/ooxml.h"

namespace quarn {

namespace {

using ooxml::XmlCursor;

// Placeholders that only repeat what the application fills in (slide
// number, date, header, footer, the slide picture on a notes page).
bool IsBoilerplatePlaceholder(std::string_view type) {
  return type == "sldNum" || type == "dt" || type == "hdr" || type == "ftr" || type == "sldImg";
}

// Turns one slide or notes part into lines: a paragraph ends a line, a
// table row is one line of tab-separated cells.
class SlideWalker {
 public:
  explicit SlideWalker(TextSink& sink) : sink_(sink), layout_(sink) {}

  bool Walk(XmlCursor& x) {
    bool more = x.Read();
    while (more && !sink_.full()) {
      if (x.IsStart()) {
        std::string_view n = x.LocalName();
        if (n == "Fallback" || n == "pPr" || n == "rPr" || n == "endParaRPr" || n == "tblPr" || n == "tcPr" ||
            (n == "fld" && x.Attr("type").value_or("") == "slidenum")) {
          more = x.Skip();
          continue;
        }
        Start(x, n, x.IsEmpty());
      } else if (x.IsEnd()) {
        End(x.LocalName());
      } else if (in_text_ && skip_shapes_ == 0 && x.IsText()) {
        layout_.Text(x.Value());
      }
      more = x.Read();
    }
    layout_.EndLine();
    return !x.failed() && x.opened();
  }

 private:
  void Start(const XmlCursor& x, std::string_view n, bool empty) {
    if (n == "t") {
      in_text_ = !empty;
    } else if (n == "sp") {
      if (!empty) shapes_.push_back(false);
    } else if (n == "ph") {
      if (!shapes_.empty() && !shapes_.back() && IsBoilerplatePlaceholder(x.Attr("type").value_or(""))) {
        shapes_.back() = true;
        ++skip_shapes_;
      }
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
    } else if (n == "sp") {
      if (!shapes_.empty()) {
        if (shapes_.back()) --skip_shapes_;
        shapes_.pop_back();
      }
    } else if (n == "p") {
      layout_.EndParagraph();
    } else if (n == "tr") {
      layout_.EndRow();
    } else if (n == "tbl") {
      layout_.EndTable();
    }
  }


  TextSink& sink_;
  ooxml::Layout layout_;
  std::vector<bool> shapes_;  // per open shape: whether it is boilerplate
  int skip_shapes_ = 0;
  bool in_text_ = false;
};

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

    std::string problems;
    auto note = [&](const std::string& why) {
      if (!problems.empty()) problems += "; ";
      problems += why;
    };
    for (const std::string& slide : slides) {
      if (sink.full()) break;
      if (!zip->Has(slide)) {
        note("the slide " + slide + " is missing");
        continue;
      }
      {
        XmlCursor x(*zip, slide);
        SlideWalker walker(sink);
        if (!walker.Walk(x)) note(x.error());
      }
      ooxml::Relationships slide_rels;
      if (!slide_rels.Load(*zip, slide, &error)) {
        note(error);
        continue;
      }
      // Charts keep their titles and labels in parts of their own.
      for (const ooxml::Relationship* chart : slide_rels.OfKind("chart"))
        if (zip->Has(chart->target) && !sink.full() && !ooxml::ReadPartText(*zip, chart->target, sink, &error))
          note(error);
      if (const ooxml::Relationship* notes = slide_rels.FirstOfKind("notesSlide");
          notes && zip->Has(notes->target) && !sink.full()) {
        XmlCursor x(*zip, notes->target);
        SlideWalker walker(sink);
        if (!walker.Walk(x)) note(x.error());
      }
    }
    // The presentation's own title, subject, author, keywords and
    // description close the text: slides rarely repeat them.
    if (zip->Has("docProps/core.xml") && !sink.full()) {
      XmlCursor x(*zip, "docProps/core.xml");
      std::string value;
      bool in_property = false;
      while (x.Read()) {
        std::string_view n = x.LocalName();
        bool wanted = n == "title" || n == "subject" || n == "creator" || n == "keywords" || n == "description";
        if (x.IsStart() && wanted && !x.IsEmpty()) {
          in_property = true;
          value.clear();
        } else if (in_property && x.IsText()) {
          value += x.Value();
        } else if (in_property && x.IsEnd()) {
          in_property = false;
          if (value.find_first_not_of(" \t\r\n") != std::string::npos) {
            sink.EndLine();
            sink.Line(value);
          }
        }
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

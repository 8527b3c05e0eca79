#include "convert/filters/fitz/fitz_filter.h"

#include <algorithm>
#include <string>

#include "convert/filters/module.h"
#include "convert/filters/sniff.h"
#include "pdfinfo/fitz_text.h"

namespace quarn {

namespace {

struct Pages {
  TextSink& sink;
  int unread = 0;       // pages without text whose picture OCR did not read
  std::string problem;  // why, for the first of them
  int seen = 0;         // pages handed over
};

int TakePage(void* user, int number, const char* text, size_t size, unsigned) {
  Pages& pages = *static_cast<Pages*>(user);
  pages.seen = std::max(pages.seen, number + 1);
  pages.sink.Append(std::string_view(text, size));
  pages.sink.EndLine();
  pages.sink.EndChunk();
  return pages.sink.full() ? 1 : 0;
}

// A page without text (a comic's picture, a scan printed to XPS), rendered
// in grey: its words come from OCR.  A page OCR could not read is counted,
// so that a book of pictures is not reported as empty.
int TakePicture(void* user, int, const unsigned char* pixels, int width, int height, int stride, int dpi) {
  Pages& pages = *static_cast<Pages*>(user);
  const OcrPageText read = RecognizeGreyPageOnDemand(GreyImage{pixels, width, height, stride, dpi});
  if (!pages.sink.AppendRecognizedPage(read.text) && !read.problem.empty()) {
    if (pages.unread++ == 0) pages.problem = read.problem;
  }
  return pages.sink.full() ? 1 : 0;
}

class FitzFilter final : public BuiltinFilter {
 public:
  explicit FitzFilter(std::string_view kind) : kind_(kind) {}

  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Pages pages{sink, 0, {}};
    char error[512] = "";
    // SVG pages are drawings: one without text elements has none to read.
    const int status = FitzExtractPages(path.c_str(), kind_.c_str(), TakePage, kind_ == "svg" ? nullptr : TakePicture,
                                        &pages, error, sizeof error);
    const std::string unread =
        pages.unread > 0 ? std::to_string(pages.unread) + " pages are pictures that OCR did not read (" +
                               pages.problem + ")"
                         : std::string();
    // Every page was read: their number is the document's.
    if (status == PDFINFO_OK || status == PDFINFO_NO_TEXT) sink.set_pages(pages.seen);
    switch (status) {
      case PDFINFO_OK:
      case PDFINFO_STOPPED:  // the sink is full; the adapter reports the cut
        return unread.empty() ? ExtractResult::Ok() : ExtractResult::Incomplete(unread);
      case PDFINFO_NO_TEXT:
        // No page had text of its own; OCR may have read some.
        if (!sink.empty()) return unread.empty() ? ExtractResult::Ok() : ExtractResult::Incomplete(unread);
        if (!unread.empty()) return ExtractResult::Failed("the pages are pictures that OCR did not read (" + pages.problem + ")");
        return ExtractResult::Failed("the document has no text");
      case PDFINFO_PASSWORD:
        return ExtractResult::Password();
      case PDFINFO_INCOMPLETE:
        if (!sink.empty()) return ExtractResult::Incomplete(error);
        break;
      default:
        // MuPDF is asked first: recognising a format by its content loads
        // the zip module, which an XPS document need not pay for.
        if (sink.empty())
          if (auto redirected = ExtractRedirected(path, kind_, sink)) return *redirected;
        break;
    }
    return ExtractResult::Failed(error[0] ? std::string("the document cannot be read: ") + error
                                          : std::string("the document cannot be read"));
  }

 private:
  std::string kind_;
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateFitzFilter(std::string_view kind) { return std::make_unique<FitzFilter>(kind); }

}  // namespace quarn

#include "convert/filters/fitz/fitz_filter.h"

#include <string>

#include "convert/filters/sniff.h"
#include "pdfinfo/fitz_text.h"

namespace quarn {

namespace {

struct Pages {
  TextSink& sink;
  int pictures = 0;  // pages that are pictures without text
};

int TakePage(void* user, int, const char* text, size_t size) {
  Pages& pages = *static_cast<Pages*>(user);
  pages.sink.Append(std::string_view(text, size));
  pages.sink.EndLine();
  pages.sink.EndChunk();
  return pages.sink.full() ? 1 : 0;
}

// A page without text, rendered in grey.  Its words can only come from OCR,
// which this build does not carry: the page is counted, so that a book of
// pictures is reported as such rather than as empty.
int TakePicture(void* user, int, const unsigned char*, int, int, int, int) {
  ++static_cast<Pages*>(user)->pictures;
  return 0;
}

class FitzFilter final : public BuiltinFilter {
 public:
  explicit FitzFilter(std::string_view kind) : kind_(kind) {}

  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Pages pages{sink};
    char error[512] = "";
    const int status = FitzExtractPages(path.c_str(), kind_.c_str(), TakePage, kind_ == "cbz" ? TakePicture : nullptr,
                                        &pages, error, sizeof error);
    switch (status) {
      case PDFINFO_OK:
      case PDFINFO_STOPPED:  // the sink is full; the adapter reports the cut
        if (pages.pictures > 0)
          return ExtractResult::Incomplete(std::to_string(pages.pictures) + " pages are pictures without text");
        return ExtractResult::Ok();
      case PDFINFO_NO_TEXT:
        if (pages.pictures > 0) return ExtractResult::Failed("the pages are pictures without text");
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

#include "convert/filters/pdf_filter.h"

#include <string_view>

#include "convert/filters/sniff.h"
#include "pdfinfo/pdfinfo.h"

namespace quarn {

namespace {

int TakePage(void* user, int, const char* text, size_t size) {
  TextSink& sink = *static_cast<TextSink*>(user);
  sink.Append(std::string_view(text, size));
  sink.EndLine();
  sink.EndChunk();
  return sink.full() ? 1 : 0;
}

class PdfFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto redirected = ExtractRedirected(path, "pdf", sink)) return *redirected;
    char error[512] = "";
    const int status = PdfExtractPages(path.c_str(), TakePage, &sink, error, sizeof error);
    switch (status) {
      case PDFINFO_OK:
        return ExtractResult::Ok();
      case PDFINFO_NO_TEXT:
        return ExtractResult::Failed("the PDF has no text layer");
      case PDFINFO_PASSWORD:
        return ExtractResult::Password();
      case PDFINFO_STOPPED:  // the sink is full; the adapter reports the cut
        return ExtractResult::Ok();
      case PDFINFO_INCOMPLETE:
        if (!sink.empty()) return ExtractResult::Incomplete(error);
        break;
      default:
        break;
    }
    // The library's reasons are already in the user's words.
    return ExtractResult::Failed(error[0] ? std::string(error) : std::string("the PDF file is damaged"));
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePdfFilter() { return std::make_unique<PdfFilter>(); }

}  // namespace quarn

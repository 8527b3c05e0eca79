#include "convert/filters/ebook/ebook_filter.h"

#include <libe-book/libe-book.h>

#include "convert/filters/builtin.h"
#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/gsf_stream.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

using libebook::EBOOKDocument;

class EbookFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto redirected = ExtractRedirected(path, "ebook", sink)) return *redirected;
    revenge::GsfStream input(path);
    EBOOKDocument::Type type = EBOOKDocument::TYPE_UNKNOWN;
    const EBOOKDocument::Confidence confidence = revenge::Guarded(
        input, [&] { return EBOOKDocument::isSupported(&input, &type); }, EBOOKDocument::CONFIDENCE_NONE);
    switch (confidence) {
      case EBOOKDocument::CONFIDENCE_UNSUPPORTED_ENCRYPTION:
      case EBOOKDocument::CONFIDENCE_SUPPORTED_ENCRYPTION:
        return ExtractResult::Password();
      case EBOOKDocument::CONFIDENCE_WEAK:
      case EBOOKDocument::CONFIDENCE_EXCELLENT:
        break;
      default:
        return FictionBookFallback(path, sink, "the content is not an e-book libe-book reads");
    }
    revenge::TextDocument doc(sink);
    EBOOKDocument::Result result = EBOOKDocument::RESULT_UNKNOWN_ERROR;
    const revenge::Parsed parsed = revenge::RunParse(doc.collector(), [&] {
      result = EBOOKDocument::parse(&input, &doc, type, nullptr);
      return result == EBOOKDocument::RESULT_OK;
    });
    if (sink.empty()) {
      if (result == EBOOKDocument::RESULT_PASSWORD_MISMATCH || result == EBOOKDocument::RESULT_UNSUPPORTED_ENCRYPTION)
        return ExtractResult::Password();
      if (!parsed.ok) return FictionBookFallback(path, sink, "the e-book cannot be read");
    }
    return revenge::Outcome(parsed, doc.collector(), sink, "the e-book");
  }

 private:
  // FictionBook files libe-book refuses (a root element it does not expect,
  // a damaged body) may still open in MuPDF's more lenient reader.
  static ExtractResult FictionBookFallback(const std::string& path, TextSink& sink, const std::string& why) {
    const Sniffed content = SniffContent(path);
    if (content.kind != ContentKind::kXml || content.filter != "ebook") return ExtractResult::UnknownFormat(why);
    ExtractResult r = ExtractWithBuiltin("fb2", path, sink);
    return r.status == ExtractResult::Status::kUnknownFormat ? ExtractResult::Failed(why) : r;
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateEbookFilter() { return std::make_unique<EbookFilter>(); }

}  // namespace quarn

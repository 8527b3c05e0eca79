#include "convert/filters/ebook/ebook_filter.h"

#include <libe-book/libe-book.h>

#include <fstream>

#include "convert/filters/ebook/mobi_reader.h"
#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

using libebook::EBOOKDocument;

class EbookFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    // MOBI has a reader of its own: libe-book's does not read it.
    std::string head(78, '\0');
    std::ifstream(path, std::ios::binary).read(head.data(), static_cast<std::streamsize>(head.size()));
    if (IsMobiHead(head)) return ExtractMobi(path, sink);
    revenge::FileStream input(path);
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
        return revenge::Refused(path, "ebook", sink, "the content is not an e-book libe-book reads");
    }
    revenge::TextDocument doc(sink);
    EBOOKDocument::Result result = EBOOKDocument::RESULT_UNKNOWN_ERROR;
    const revenge::Parsed parsed = revenge::RunParse(doc.collector(), [&] {
      result = EBOOKDocument::parse(&input, &doc, type, nullptr);
      return result == EBOOKDocument::RESULT_OK;
    });
    const bool locked =
        result == EBOOKDocument::RESULT_PASSWORD_MISMATCH || result == EBOOKDocument::RESULT_UNSUPPORTED_ENCRYPTION;
    if (locked && sink.empty()) return ExtractResult::Password();
    return revenge::Outcome(parsed, doc.collector(), sink, "the e-book");
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateEbookFilter() { return std::make_unique<EbookFilter>(); }

}  // namespace quarn

#include "convert/filters/ebook/ebook_filter.h"

#include <libe-book/libe-book.h>

#include <fstream>
#include <memory>
#include <optional>

#include "convert/filters/ebook/fb2_reader.h"
#include "convert/filters/ebook/mobi_reader.h"
#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

using libebook::EBOOKDocument;

// A FictionBook zipped on its own (.fb2.zip): its .fb2 member, read as XML.
// Nothing when the zip holds no such member or it is too large to hold.
std::optional<ExtractResult> ZippedFictionBook(revenge::FileStream& input, TextSink& sink) {
  constexpr unsigned long kMaxBook = 256ul << 20;
  if (!input.isStructured()) return std::nullopt;
  for (unsigned id = 0; id < input.subStreamCount(); ++id) {
    const char* name = input.subStreamName(id);
    std::string_view n = name ? name : "";
    if (n.size() < 4 || (n.substr(n.size() - 4) != ".fb2" && n.substr(n.size() - 4) != ".FB2")) continue;
    std::unique_ptr<librevenge::RVNGInputStream> member(input.getSubStreamById(id));
    if (!member) return std::nullopt;
    std::string bytes;
    while (!member->isEnd() && bytes.size() <= kMaxBook) {
      unsigned long got = 0;
      const unsigned char* data = member->read(1 << 20, got);
      if (!data || got == 0) break;
      bytes.append(reinterpret_cast<const char*>(data), got);
    }
    input.seek(0, librevenge::RVNG_SEEK_SET);
    if (bytes.size() > kMaxBook || !IsFictionBookHead(std::string_view(bytes).substr(0, 2048))) return std::nullopt;
    return ExtractFictionBookBytes(bytes, sink);
  }
  return std::nullopt;
}

class EbookFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    // MOBI has a reader of its own: libe-book's does not read it.  So has
    // FictionBook: libe-book's loses note references, note titles, dates
    // and citations' authors; a book too damaged for it still goes there.
    std::string head(2048, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    in.close();
    if (IsMobiHead(head)) return ExtractMobi(path, sink);
    if (IsFictionBookHead(head))
      if (std::optional<ExtractResult> read = ExtractFictionBook(path, sink)) return *read;
    revenge::FileStream input(path);
    if (head.rfind("PK\x03\x04", 0) == 0)
      if (std::optional<ExtractResult> read = ZippedFictionBook(input, sink)) return *read;
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

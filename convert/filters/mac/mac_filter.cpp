#include "convert/filters/mac/mac_filter.h"

#include <libmwaw/libmwaw.hxx>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

template <class Doc>
ExtractResult Parse(librevenge::RVNGInputStream& input, TextSink& sink) {
  Doc doc(sink);
  MWAWDocument::Result result = MWAWDocument::MWAW_R_UNKNOWN_ERROR;
  const revenge::Parsed parsed = revenge::RunParse(doc.collector(), [&] {
    result = MWAWDocument::parse(&input, &doc, nullptr);
    return result == MWAWDocument::MWAW_R_OK;
  });
  if (result == MWAWDocument::MWAW_R_PASSWORD_MISSMATCH_ERROR && sink.empty()) return ExtractResult::Password();
  return revenge::Outcome(parsed, doc.collector(), sink, "the document");
}

class MacFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    revenge::FileStream input(path);
    MWAWDocument::Type type = MWAWDocument::MWAW_T_UNKNOWN;
    MWAWDocument::Kind kind = MWAWDocument::MWAW_K_UNKNOWN;
    const MWAWDocument::Confidence confidence = revenge::Guarded(
        input, [&] { return MWAWDocument::isFileFormatSupported(&input, type, kind); }, MWAWDocument::MWAW_C_NONE);
    switch (confidence) {
      case MWAWDocument::MWAW_C_NONE:
        return revenge::Refused(path, "mac", sink, "the content is in none of the formats libmwaw reads");
      case MWAWDocument::MWAW_C_UNSUPPORTED_ENCRYPTION:
        return ExtractResult::Password();
      default:
        break;
    }
    switch (kind) {
      case MWAWDocument::MWAW_K_TEXT:
        return Parse<revenge::TextDocument>(input, sink);
      case MWAWDocument::MWAW_K_SPREADSHEET:
      case MWAWDocument::MWAW_K_DATABASE:
        return Parse<revenge::Spreadsheet>(input, sink);
      case MWAWDocument::MWAW_K_PRESENTATION:
        return Parse<revenge::Presentation>(input, sink);
      case MWAWDocument::MWAW_K_DRAW:
        return Parse<revenge::Drawing>(input, sink);
      case MWAWDocument::MWAW_K_PAINT:
        return ExtractResult::Failed("the document is a painting, without text");
      default:
        return ExtractResult::UnknownFormat("libmwaw does not say what kind of document this is");
    }
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateMacFilter() { return std::make_unique<MacFilter>(); }

}  // namespace quarn

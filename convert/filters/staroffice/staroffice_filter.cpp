#include "convert/filters/staroffice/staroffice_filter.h"

#include <libstaroffice/libstaroffice.hxx>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

template <class Doc>
ExtractResult Parse(librevenge::RVNGInputStream& input, TextSink& sink) {
  Doc doc(sink);
  STOFFDocument::Result result = STOFFDocument::STOFF_R_UNKNOWN_ERROR;
  const revenge::Parsed parsed = revenge::RunParse(doc.collector(), [&] {
    result = STOFFDocument::parse(&input, &doc, nullptr);
    return result == STOFFDocument::STOFF_R_OK;
  });
  if (result == STOFFDocument::STOFF_R_PASSWORD_MISSMATCH_ERROR && sink.empty()) return ExtractResult::Password();
  return revenge::Outcome(parsed, doc.collector(), sink, "the StarOffice document");
}

class StarOfficeFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    revenge::FileStream input(path);
    STOFFDocument::Kind kind = STOFFDocument::STOFF_K_UNKNOWN;
    const STOFFDocument::Confidence confidence = revenge::Guarded(
        input, [&] { return STOFFDocument::isFileFormatSupported(&input, kind); }, STOFFDocument::STOFF_C_NONE);
    switch (confidence) {
      case STOFFDocument::STOFF_C_NONE:
        return revenge::Refused(path, "staroffice", sink, "the content is not a StarOffice document");
      case STOFFDocument::STOFF_C_UNSUPPORTED_ENCRYPTION:
        return ExtractResult::Password();
      default:
        break;
    }
    switch (kind) {
      case STOFFDocument::STOFF_K_TEXT:
        return Parse<revenge::TextDocument>(input, sink);
      case STOFFDocument::STOFF_K_SPREADSHEET:
        return Parse<revenge::Spreadsheet>(input, sink);
      case STOFFDocument::STOFF_K_PRESENTATION:
        return Parse<revenge::Presentation>(input, sink);
      case STOFFDocument::STOFF_K_DRAW:
      case STOFFDocument::STOFF_K_GRAPHIC:
        return Parse<revenge::Drawing>(input, sink);
      default:
        return ExtractResult::Failed("the StarOffice file is a chart, formula, picture or database, without text");
    }
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateStarOfficeFilter() { return std::make_unique<StarOfficeFilter>(); }

}  // namespace quarn

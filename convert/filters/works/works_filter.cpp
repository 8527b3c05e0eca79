#include "convert/filters/works/works_filter.h"

#include <libwps/libwps.h>

#include "convert/filters/builtin.h"
#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

template <class Doc>
ExtractResult Parse(librevenge::RVNGInputStream& input, TextSink& sink) {
  Doc doc(sink);
  libwps::WPSResult result = libwps::WPS_UNKNOWN_ERROR;
  const revenge::Parsed parsed = revenge::RunParse(doc.collector(), [&] {
    // No password is known; the empty one opens files that are only
    // protected against changes.  Files that do not name their character
    // set are read in libwps's default for their kind.
    result = libwps::WPSDocument::parse(&input, &doc, "", "");
    return result == libwps::WPS_OK;
  });
  if (result == libwps::WPS_ENCRYPTION_ERROR && sink.empty()) return ExtractResult::Password();
  return revenge::Outcome(parsed, doc.collector(), sink, "the document");
}

class WorksFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    revenge::FileStream input(path);
    libwps::WPSKind kind = libwps::WPS_TEXT;
    libwps::WPSCreator creator = libwps::WPS_MSWORKS;
    bool needs_encoding = false;
    const libwps::WPSConfidence confidence = revenge::Guarded(
        input, [&] { return libwps::WPSDocument::isFileFormatSupported(&input, kind, creator, needs_encoding); },
        libwps::WPS_CONFIDENCE_NONE);
    if (confidence == libwps::WPS_CONFIDENCE_NONE) {
      // Content of another format goes to its filter.  Content that begins
      // as these formats do but that libwps refuses is damaged (and must not
      // go round to another filter and back).
      const Sniffed content = SniffContent(path);
      if (content.filter == "works")
        return ExtractResult::Failed("the document is damaged or of a version that cannot be read");
      if (auto redirected = ExtractRedirected(path, "works", sink)) return *redirected;
      // Works for the Macintosh shares the .wps extension; libmwaw reads it.
      ExtractResult mac = ExtractWithBuiltin("mac", path, sink);
      if (mac.status != ExtractResult::Status::kUnknownFormat) return mac;
      return ExtractResult::UnknownFormat("the content is not a Works, Lotus, Quattro or Write document");
    }
    if (kind == libwps::WPS_TEXT) return Parse<revenge::TextDocument>(input, sink);
    return Parse<revenge::Spreadsheet>(input, sink);
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateWorksFilter() { return std::make_unique<WorksFilter>(); }

}  // namespace quarn

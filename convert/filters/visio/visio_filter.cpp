#include "convert/filters/visio/visio_filter.h"

#include <libvisio/libvisio.h>
#include <libxml/xmlreader.h>

#include <memory>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

struct ReaderFree {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};

// Whether an XML drawing is well-formed.  libvisio stops quietly where the
// XML breaks, which would make a damaged drawing look empty.
bool WellFormedXml(const std::string& path) {
  std::unique_ptr<xmlTextReader, ReaderFree> r(
      xmlReaderForFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!r) return false;
  xmlTextReaderSetStructuredErrorHandler(
      r.get(), [](void*, xmlErrorPtr) {}, nullptr);
  int ret;
  while ((ret = xmlTextReaderRead(r.get())) == 1) {
  }
  return ret == 0;
}

class VisioFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::string why;
    if (!revenge::ZipWithinLimits(path, &why)) return ExtractResult::Failed(why);
    revenge::FileStream input(path);
    if (!revenge::Guarded(
            input, [&] { return libvisio::VisioDocument::isSupported(&input); }, false))
      return revenge::Refused(path, "visio", sink, "the content is not a Visio drawing");
    revenge::Drawing drawing(sink);
    const revenge::Parsed parsed = revenge::RunParse(drawing.collector(), [&] {
      if (libvisio::VisioDocument::parse(&input, &drawing)) return true;
      // Stencils have masters but no pages.
      input.seek(0, librevenge::RVNG_SEEK_SET);
      return libvisio::VisioDocument::parseStencils(&input, &drawing);
    });
    if (parsed.ok && sink.empty() && SniffContent(path).kind == ContentKind::kXml && !WellFormedXml(path))
      return ExtractResult::Failed("the Visio drawing's XML is damaged");
    return revenge::Outcome(parsed, drawing.collector(), sink, "the Visio drawing");
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateVisioFilter() { return std::make_unique<VisioFilter>(); }

}  // namespace quarn

#include "convert/filters/visio/visio_filter.h"

#include <libvisio/libvisio.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/gsf_stream.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class VisioFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto redirected = ExtractRedirected(path, "visio", sink)) return *redirected;
    std::string why;
    if (!revenge::ZipWithinLimits(path, &why)) return ExtractResult::Failed(why);
    revenge::GsfStream input(path);
    if (!revenge::Guarded(
            input, [&] { return libvisio::VisioDocument::isSupported(&input); }, false))
      return ExtractResult::UnknownFormat("the content is not a Visio drawing");
    revenge::Drawing drawing(sink);
    const revenge::Parsed parsed = revenge::RunParse(drawing.collector(), [&] {
      if (libvisio::VisioDocument::parse(&input, &drawing)) return true;
      // Stencils have masters but no pages.
      input.seek(0, librevenge::RVNG_SEEK_SET);
      return libvisio::VisioDocument::parseStencils(&input, &drawing);
    });
    return revenge::Outcome(parsed, drawing.collector(), sink, "the Visio drawing");
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateVisioFilter() { return std::make_unique<VisioFilter>(); }

}  // namespace quarn

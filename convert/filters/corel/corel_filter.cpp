#include "convert/filters/corel/corel_filter.h"

#include <libcdr/libcdr.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class CorelFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    revenge::FileStream input(path);
    // A drawing, or the exchange format of Corel's presentations.
    const bool cmx = !revenge::Guarded(
        input, [&] { return libcdr::CDRDocument::isSupported(&input); }, false);
    if (cmx && !revenge::Guarded(
                   input, [&] { return libcdr::CMXDocument::isSupported(&input); }, false))
      return revenge::Refused(path, "corel", sink, "the content is not a CorelDRAW drawing");
    revenge::Drawing drawing(sink);
    const revenge::Parsed parsed = revenge::RunParse(drawing.collector(), [&] {
      return cmx ? libcdr::CMXDocument::parse(&input, &drawing) : libcdr::CDRDocument::parse(&input, &drawing);
    });
    return revenge::Outcome(parsed, drawing.collector(), sink, "the CorelDRAW drawing");
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateCorelFilter() { return std::make_unique<CorelFilter>(); }

}  // namespace quarn

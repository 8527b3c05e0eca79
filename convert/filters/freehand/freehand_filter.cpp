#include "convert/filters/freehand/freehand_filter.h"

#include <libfreehand/libfreehand.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class FreeHandFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    return revenge::ReadDocument<revenge::Drawing>(
        path, sink, "freehand", "FreeHand drawing",
        [](librevenge::RVNGInputStream* in) { return libfreehand::FreeHandDocument::isSupported(in); },
        [](librevenge::RVNGInputStream* in, revenge::Drawing* d) {
          return libfreehand::FreeHandDocument::parse(in, d);
        });
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateFreeHandFilter() { return std::make_unique<FreeHandFilter>(); }

}  // namespace quarn

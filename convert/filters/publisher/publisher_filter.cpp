#include "convert/filters/publisher/publisher_filter.h"

#include <libmspub/libmspub.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class PublisherFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    return revenge::ReadDocument<revenge::Drawing>(
        path, sink, "publisher", "Publisher document",
        [](librevenge::RVNGInputStream* in) { return libmspub::MSPUBDocument::isSupported(in); },
        [](librevenge::RVNGInputStream* in, revenge::Drawing* d) { return libmspub::MSPUBDocument::parse(in, d); });
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePublisherFilter() { return std::make_unique<PublisherFilter>(); }

}  // namespace quarn

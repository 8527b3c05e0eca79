#include "convert/filters/corel/corel_filter.h"

#include <libcdr/libcdr.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class CorelFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    ExtractResult r = revenge::ReadDocument<revenge::Drawing>(
        path, sink, "corel", "CorelDRAW drawing", libcdr::CDRDocument::isSupported,
        [](librevenge::RVNGInputStream* in, revenge::Drawing* d) { return libcdr::CDRDocument::parse(in, d); });
    if (r.status != ExtractResult::Status::kUnknownFormat) return r;
    return revenge::ReadDocument<revenge::Drawing>(
        path, sink, "corel", "CorelDRAW drawing", libcdr::CMXDocument::isSupported,
        [](librevenge::RVNGInputStream* in, revenge::Drawing* d) { return libcdr::CMXDocument::parse(in, d); });
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateCorelFilter() { return std::make_unique<CorelFilter>(); }

}  // namespace quarn

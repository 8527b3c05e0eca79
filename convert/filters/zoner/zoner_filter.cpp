#include "convert/filters/zoner/zoner_filter.h"

#include <libzmf/libzmf.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class ZonerFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    return revenge::ReadDocument<revenge::Drawing>(
        path, sink, "zoner", "Zoner drawing",
        [](librevenge::RVNGInputStream* in) { return libzmf::ZMFDocument::isSupported(in); },
        [](librevenge::RVNGInputStream* in, revenge::Drawing* d) { return libzmf::ZMFDocument::parse(in, d); });
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateZonerFilter() { return std::make_unique<ZonerFilter>(); }

}  // namespace quarn

#include "convert/filters/pagemaker/pagemaker_filter.h"

#include <libpagemaker/libpagemaker.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class PageMakerFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    return revenge::ReadDocument<revenge::Drawing>(
        path, sink, "pagemaker", "PageMaker publication",
        [](librevenge::RVNGInputStream* in) { return libpagemaker::PMDocument::isSupported(in); },
        [](librevenge::RVNGInputStream* in, revenge::Drawing* d) { return libpagemaker::PMDocument::parse(in, d); });
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePageMakerFilter() { return std::make_unique<PageMakerFilter>(); }

}  // namespace quarn

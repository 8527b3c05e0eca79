#include "convert/filters/quark/quark_filter.h"

#include <libqxp/libqxp.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class QuarkFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    return revenge::ReadDocument<revenge::Drawing>(
        path, sink, "quark", "QuarkXPress document",
        [](librevenge::RVNGInputStream* in) { return libqxp::QXPDocument::isSupported(in); },
        [](librevenge::RVNGInputStream* in, revenge::Drawing* d) {
          return libqxp::QXPDocument::parse(in, d) == libqxp::QXPDocument::RESULT_OK;
        });
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateQuarkFilter() { return std::make_unique<QuarkFilter>(); }

}  // namespace quarn

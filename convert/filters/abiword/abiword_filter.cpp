#include "convert/filters/abiword/abiword_filter.h"

#include <libabw/libabw.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

class AbiWordFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    return revenge::ReadDocument<revenge::TextDocument>(
        path, sink, "abiword", "AbiWord document",
        [](librevenge::RVNGInputStream* in) { return libabw::AbiDocument::isFileFormatSupported(in); },
        [](librevenge::RVNGInputStream* in, revenge::TextDocument* d) { return libabw::AbiDocument::parse(in, d); });
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateAbiWordFilter() { return std::make_unique<AbiWordFilter>(); }

}  // namespace quarn

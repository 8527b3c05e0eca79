#include "convert/filters/text_filter.h"

#include <fstream>
#include <iterator>

namespace quarn {

namespace {

class TextFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::ifstream in(path, std::ios::binary);
    if (!in) return ExtractResult::Failed("cannot open the document");
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    sink.Append(bytes);
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateTextFilter() { return std::make_unique<TextFilter>(); }

}  // namespace quarn

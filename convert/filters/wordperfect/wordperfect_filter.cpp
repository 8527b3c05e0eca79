#include "convert/filters/wordperfect/wordperfect_filter.h"

#include <libwpd/libwpd.h>
#include <libwpg/libwpg.h>

#include "convert/filters/revenge/detect.h"
#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

class WordPerfectFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    revenge::FileStream input(path);
    const libwpd::WPDConfidence confidence = revenge::Guarded(
        input, [&] { return libwpd::WPDocument::isFileFormatSupported(&input); }, libwpd::WPD_CONFIDENCE_NONE);
    switch (confidence) {
      case libwpd::WPD_CONFIDENCE_NONE:
        return revenge::Refused(path, "wordperfect", sink, "the content is not a WordPerfect document");
      case libwpd::WPD_CONFIDENCE_UNSUPPORTED_ENCRYPTION:
      case libwpd::WPD_CONFIDENCE_SUPPORTED_ENCRYPTION:
        return ExtractResult::Password();
      case libwpd::WPD_CONFIDENCE_EXCELLENT:
        break;
    }
    revenge::TextDocument doc(sink);
    libwpd::WPDResult result = libwpd::WPD_UNKNOWN_ERROR;
    const revenge::Parsed parsed = revenge::RunParse(doc.collector(), [&] {
      result = libwpd::WPDocument::parse(&input, &doc, nullptr);
      return result == libwpd::WPD_OK;
    });
    if (result == libwpd::WPD_PASSWORD_MISSMATCH_ERROR || result == libwpd::WPD_UNSUPPORTED_ENCRYPTION_ERROR)
      return ExtractResult::Password();
    return revenge::Outcome(parsed, doc.collector(), sink, "the WordPerfect document");
  }
};

class WpgFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    revenge::FileStream input(path);
    if (!revenge::Guarded(
            input, [&] { return libwpg::WPGraphics::isSupported(&input); }, false))
      return revenge::Refused(path, "wpg", sink, "the content is not a WordPerfect graphic");
    revenge::Drawing drawing(sink);
    const revenge::Parsed parsed =
        revenge::RunParse(drawing.collector(), [&] { return libwpg::WPGraphics::parse(&input, &drawing); });
    return revenge::Outcome(parsed, drawing.collector(), sink, "the WordPerfect graphic");
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateWordPerfectFilter() { return std::make_unique<WordPerfectFilter>(); }
std::unique_ptr<BuiltinFilter> CreateWpgFilter() { return std::make_unique<WpgFilter>(); }

}  // namespace quarn

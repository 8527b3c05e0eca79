#include "convert/filters/iwork/iwork_filter.h"

#include <libetonyek/libetonyek.h>

#include "convert/filters/revenge/documents.h"
#include "convert/filters/revenge/parse.h"

namespace quarn {

namespace {

// A password-protected package keeps its index encrypted and carries a
// password hint (".iwph") or a password verifier (".iwpv2") beside it.
bool HasPasswordFile(const std::string& path) {
  const auto entries = revenge::ReadZipDirectory(path);
  if (!entries) return false;
  for (const revenge::ZipEntry& e : *entries)
    if (e.name == ".iwph" || e.name == ".iwpv2") return true;
  return false;
}

template <class Doc>
ExtractResult Parse(librevenge::RVNGInputStream& input, TextSink& sink) {
  Doc doc(sink);
  const revenge::Parsed parsed =
      revenge::RunParse(doc.collector(), [&] { return libetonyek::EtonyekDocument::parse(&input, &doc); });
  return revenge::Outcome(parsed, doc.collector(), sink, "the iWork document");
}

class IworkFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::string why;
    if (!revenge::ZipWithinLimits(path, &why)) return ExtractResult::Failed(why);
    if (HasPasswordFile(path)) return ExtractResult::Password();
    revenge::FileStream input(path);
    libetonyek::EtonyekDocument::Type type = libetonyek::EtonyekDocument::TYPE_UNKNOWN;
    const auto confidence = revenge::Guarded(
        input, [&] { return libetonyek::EtonyekDocument::isSupported(&input, &type); },
        libetonyek::EtonyekDocument::CONFIDENCE_NONE);
    if (confidence != libetonyek::EtonyekDocument::CONFIDENCE_EXCELLENT)
      return revenge::Refused(path, "iwork", sink, "the content is not a Pages, Numbers or Keynote document");
    switch (type) {
      case libetonyek::EtonyekDocument::TYPE_PAGES:
        return Parse<revenge::TextDocument>(input, sink);
      case libetonyek::EtonyekDocument::TYPE_NUMBERS:
        return Parse<revenge::Spreadsheet>(input, sink);
      case libetonyek::EtonyekDocument::TYPE_KEYNOTE:
        return Parse<revenge::Presentation>(input, sink);
      default:
        return ExtractResult::UnknownFormat("the content is not a Pages, Numbers or Keynote document");
    }
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateIworkFilter() { return std::make_unique<IworkFilter>(); }

}  // namespace quarn

// The filter of Apple iWork documents, on libetonyek.
#include "convert/filters/module.h"

#include <liblangtag/langtag.h>

#include "convert/filters/iwork/iwork_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "iwork" ? CreateIworkFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnIworkModule() {
  // libetonyek looks up language tags in liblangtag's databases, which load
  // from XML files in a fraction of a second each time nobody holds them;
  // holding them for the life of the program makes that once per process,
  // and loading them here, before any document, keeps two threads from
  // racing to create them.
  static const bool databases = (lt_db_initialize(), true);
  (void)databases;
  return &quarn::kModule;
}

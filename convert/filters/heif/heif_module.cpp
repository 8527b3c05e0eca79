// The filter of HEIF and AVIF pictures, on libheif.
#include <libheif/heif.h>

#include "convert/filters/module.h"

#include "convert/filters/heif/heif_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) { return name == "heif" ? CreateHeifFilter() : nullptr; }

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnHeifModule() {
  // Once for the process: libheif registers its decoders here.
  heif_init(nullptr);
  return &quarn::kModule;
}

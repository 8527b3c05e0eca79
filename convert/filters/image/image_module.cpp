// The picture filter and text recognition, built on Leptonica and Tesseract.
#include <leptonica/allheaders.h>

#include "convert/filters/image/image_filter.h"
#include "convert/filters/image/ocr.h"
#include "convert/filters/module.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "image") return CreateImageFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, RecognizePdfPages, CheckOcrLanguages};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnImageModule() {
  // Leptonica reports damaged pictures on standard error; the filter
  // reports them in its results instead.
  setMsgSeverity(L_SEVERITY_NONE);
  return &quarn::kModule;
}

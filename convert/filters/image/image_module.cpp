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

std::vector<RecognizedPage> RecognizePdfPagesForCore(const std::string& path, const std::vector<int>& pages) {
  std::vector<RecognizedPage> out;
  for (OcrPageText& page : RecognizePdfPages(path, pages)) out.push_back({std::move(page.text), std::move(page.problem)});
  return out;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, RecognizePdfPagesForCore, CheckOcrLanguages,
                                   RecognizeGreyPage};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnImageModule() {
  // Leptonica reports damaged pictures on standard error; the filter
  // reports them in its results instead.
  setMsgSeverity(L_SEVERITY_NONE);
  return &quarn::kModule;
}

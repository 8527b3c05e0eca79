#include "app/main.h"

namespace quarn {

ConvertResult ConvertPdf(const std::string&, const std::string&) {
  return ConvertResult::NoText("the PDF text library is not built yet");
}

}  // namespace quarn

// Text recognition (OCR) of one page picture with Tesseract, for every filter
// that meets pages without text: pictures, PDF pages that hold no text, and
// the pages of other formats.  Exported by the image module
// (libquarn_image.so).  Any thread may call it: each call borrows an engine
// that no other thread uses meanwhile, and engines are kept for the next
// page, so a worker loads the language data once, not once per page.
#pragma once

#include <string>
#include <vector>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/module.h"  // GreyImage, OcrPageText

namespace quarn {


// Reads the page with the installed settings (languages, time limit): the
// picture is turned upright when it lies on its side or upside down, and
// straightened when it is slightly skewed, then recognised.
OcrPageText RecognizeGreyPage(const GreyImage& image);

// Appends a recognised page to sink (a chunk of its own) and counts it as
// read by OCR when it gave text.  True when it gave text.
inline bool AppendRecognizedPage(const OcrPageText& page, TextSink& sink) {
  return sink.AppendRecognizedPage(page.text);
}

// Empty when every language of the "+"-joined list has installed language
// data; otherwise why not, naming the Debian package that provides it.
std::string CheckOcrLanguages(const std::string& languages);

// The Debian package that holds a language's data: "deu" -> "tesseract-ocr-deu".
std::string OcrLanguagePackage(const std::string& language);

// The OCR of the listed PDF pages (from 0) that show a picture; the others
// give an empty result.  Shares the pages with a second thread while
// SpareWorkers() says a worker is idle.  One result per listed page.
std::vector<OcrPageText> RecognizePdfPages(const std::string& path, const std::vector<int>& pages);

}  // namespace quarn

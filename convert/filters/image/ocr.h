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
#include "convert/filters/module.h"

namespace quarn {


// An 8-bit grey picture (0 black, 255 white) that the caller keeps alive
// during the call; rows of stride bytes from the top.  dpi is 0 when unknown.
struct GreyImage {
  const unsigned char* pixels;
  int width;
  int height;
  int stride;
  int dpi;
};

struct OcrPageText {
  // UTF-8, one paragraph per line in reading order; empty when the page
  // shows no text.
  std::string text;
  // Why the page has no text or only part of it; empty when all went well.
  std::string problem;
  // The page ran past the time limit and was given up.
  bool timed_out = false;
};

// Reads the page with the installed settings (languages, time limit): the
// picture is turned upright when it lies on its side or upside down, and
// straightened when it is slightly skewed, then recognised.
OcrPageText RecognizeGreyPage(const GreyImage& image);

// RecognizeGreyPage through the image module, loaded when the first page
// needs it: the modules that meet pages without text in documents of their
// own (XPS, DjVu) do not load the OCR libraries for the many documents that
// never need them.
inline OcrPageText RecognizeGreyPageOnDemand(const GreyImage& image) {
  std::string why;
  const FilterModule* ocr = LoadFilterModule("image", &why);
  if (!ocr || !ocr->recognize_grey_page) return {{}, "text recognition is not available: " + why, false};
  return ocr->recognize_grey_page(image);
}

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

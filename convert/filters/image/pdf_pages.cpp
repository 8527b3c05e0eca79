// The OCR of PDF pages that hold no text: each page is rendered in grey by
// the PDF text library and recognised.  While another worker is idle, a
// helper thread with a renderer and an engine of its own takes every other
// page, so one long scan keeps both cores busy; it stops taking pages as
// soon as the queue gives that worker something to do.
#include <atomic>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

#include "convert/conversion_options.h"
#include "convert/filters/image/ocr.h"
#include "pdfinfo/render.h"

namespace quarn {

namespace {

// Pages are rendered at this resolution, or lower for pages so large that
// their picture would pass kMaxPagePixels.
constexpr int kRenderDpi = 300;
constexpr std::size_t kMaxPagePixels = 40'000'000;

struct RendererCloser {
  void operator()(PdfRenderer* r) const { PdfCloseRenderer(r); }
};
using Renderer = std::unique_ptr<PdfRenderer, RendererCloser>;

struct Job {
  const std::string& path;
  const std::vector<int>& pages;
  std::vector<OcrPageText>& results;
  std::atomic<std::size_t> next{0};
};

OcrPageText ReadPage(PdfRenderer* renderer, int page) {
  OcrPageText result;
  PdfGreyPage grey{};
  char error[256] = "";
  const int status = PdfRenderGreyPage(renderer, page, kRenderDpi, kMaxPagePixels, &grey, error, sizeof error);
  if (status == PDFRENDER_NO_PICTURE) return result;
  if (status != PDFRENDER_OK) {
    result.problem = std::string("the page cannot be rendered: ") + error;
    return result;
  }
  struct Release {
    PdfRenderer* r;
    PdfGreyPage* p;
    ~Release() { PdfReleaseGreyPage(r, p); }
  } release{renderer, &grey};
  return RecognizeGreyPage(GreyImage{grey.pixels, grey.width, grey.height, grey.stride, grey.dpi});
}

// Takes pages from the job until none is left; a helper also stops when no
// worker is idle any more.
void Work(Job& job, bool helper) {
  char error[256] = "";
  Renderer renderer;
  for (;;) {
    if (helper && SpareWorkers() <= 0) return;
    const std::size_t i = job.next.fetch_add(1);
    if (i >= job.pages.size()) return;
    if (!renderer) {
      renderer.reset(PdfOpenRenderer(job.path.c_str(), error, sizeof error));
      if (!renderer) {
        job.results[i].problem = std::string("the PDF cannot be opened for rendering: ") + error;
        continue;
      }
    }
    try {
      job.results[i] = ReadPage(renderer.get(), job.pages[i]);
    } catch (const std::bad_alloc&) {
      job.results[i].problem = "out of memory";
    } catch (const std::exception& e) {
      job.results[i].problem = e.what();
    }
  }
}

}  // namespace

std::vector<OcrPageText> RecognizePdfPages(const std::string& path, const std::vector<int>& pages) {
  std::vector<OcrPageText> results(pages.size());
  Job job{path, pages, results};
  std::thread helper;
  if (pages.size() >= 2 && SpareWorkers() > 0) {
    try {
      helper = std::thread([&job] { Work(job, true); });
    } catch (const std::system_error&) {
      // No thread to be had: this one reads every page.
    }
  }
  Work(job, false);
  if (helper.joinable()) helper.join();
  return results;
}

}  // namespace quarn

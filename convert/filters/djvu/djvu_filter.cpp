#include "convert/filters/djvu/djvu_filter.h"

#include <libdjvu/ddjvuapi.h>
#include <libdjvu/miniexp.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/module.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Reading one document may take this long; djvulibre decodes in threads of
// its own, which a damaged file could keep busy without end.
constexpr auto kTimeLimit = std::chrono::seconds(60);
// Pages without text are rendered at most this finely, and at most this large.
constexpr int kMaxDpi = 300;
constexpr int kMaxSide = 4000;

// One djvulibre context per document, with its messages drained as they
// come: the decoding threads post them, and they are the only way to learn
// that a job is done or why it failed.
class Djvu {
 public:
  Djvu() : deadline_(std::chrono::steady_clock::now() + kTimeLimit) {
    ctx_ = ddjvu_context_create("quarn");
    if (ctx_) ddjvu_message_set_callback(ctx_, &Djvu::Posted, this);
  }
  ~Djvu() {
    if (doc_) ddjvu_document_release(doc_);
    if (ctx_) {
      ddjvu_message_set_callback(ctx_, nullptr, nullptr);
      ddjvu_context_release(ctx_);
    }
  }
  Djvu(const Djvu&) = delete;
  Djvu& operator=(const Djvu&) = delete;

  bool Open(const std::string& path) {
    if (!ctx_) return false;
    doc_ = ddjvu_document_create_by_filename_utf8(ctx_, path.c_str(), FALSE);
    if (!doc_) return false;
    Until([&] { return ddjvu_document_decoding_done(doc_); });
    return ddjvu_document_decoding_status(doc_) == DDJVU_JOB_OK;
  }
  ddjvu_document_t* document() const { return doc_; }
  // The first error djvulibre reported, or empty.
  const std::string& error() const { return error_; }
  bool timed_out() const { return timed_out_; }

  // Waits for done() while handling messages; false when time ran out.
  template <class Done>
  bool Until(Done done) {
    for (;;) {
      Drain();
      if (done()) return true;
      std::unique_lock lock(mutex_);
      if (!posted_ && cv_.wait_until(lock, deadline_) == std::cv_status::timeout && !posted_) {
        timed_out_ = true;
        return false;
      }
      posted_ = false;
    }
  }

 private:
  static void Posted(ddjvu_context_t*, void* self) {
    auto* d = static_cast<Djvu*>(self);
    {
      std::lock_guard lock(d->mutex_);
      d->posted_ = true;
    }
    d->cv_.notify_one();
  }

  void Drain() {
    while (const ddjvu_message_t* m = ddjvu_message_peek(ctx_)) {
      if (m->m_any.tag == DDJVU_ERROR && error_.empty() && m->m_error.message) error_ = m->m_error.message;
      ddjvu_message_pop(ctx_);
    }
  }

  ddjvu_context_t* ctx_ = nullptr;
  ddjvu_document_t* doc_ = nullptr;
  std::string error_;
  bool timed_out_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool posted_ = false;
};

// Appends the text of a page's hidden text, read to the level of lines:
// (page x0 y0 x1 y1 (column ... (para ... (line x0 y0 x1 y1 "text") ...))).
void AppendZones(miniexp_t zone, std::string& out, int depth) {
  if (depth > 16 || !miniexp_consp(zone)) return;
  const miniexp_t kind = miniexp_car(zone);
  const char* name = miniexp_symbolp(kind) ? miniexp_to_name(kind) : "";
  // Past the kind and the four coordinates come the zone's children or its text.
  miniexp_t rest = miniexp_cdr(zone);
  for (int i = 0; i < 4 && miniexp_consp(rest); ++i) rest = miniexp_cdr(rest);
  for (; miniexp_consp(rest); rest = miniexp_cdr(rest)) {
    const miniexp_t item = miniexp_car(rest);
    if (miniexp_stringp(item)) {
      const char* text = nullptr;
      const std::size_t n = miniexp_to_lstr(item, &text);
      if (text && n) {
        if (!out.empty() && out.back() != '\n' && out.back() != ' ') out.push_back(' ');
        out.append(text, n);
      }
    } else {
      AppendZones(item, out, depth + 1);
    }
  }
  const std::string_view kind_name(name);
  const bool block = kind_name == "line" || kind_name == "para" || kind_name == "region" || kind_name == "column";
  if (block && !out.empty() && out.back() != '\n') {
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out.push_back('\n');
  }
}

// Renders a page without text in grey, for OCR.  False when the page cannot
// be decoded.
bool RenderPage(Djvu& djvu, int number, std::vector<unsigned char>& pixels, int& width, int& height, int& dpi) {
  ddjvu_page_t* page = ddjvu_page_create_by_pageno(djvu.document(), number);
  if (!page) return false;
  bool ok =
      djvu.Until([&] { return ddjvu_page_decoding_done(page); }) && ddjvu_page_decoding_status(page) == DDJVU_JOB_OK;
  if (ok) {
    const int w = ddjvu_page_get_width(page), h = ddjvu_page_get_height(page);
    const int resolution = ddjvu_page_get_resolution(page) > 0 ? ddjvu_page_get_resolution(page) : kMaxDpi;
    dpi = std::min(resolution, kMaxDpi);
    double scale = static_cast<double>(dpi) / resolution;
    if (std::max(w, h) * scale > kMaxSide) scale = static_cast<double>(kMaxSide) / std::max(w, h);
    dpi = std::max(1, static_cast<int>(resolution * scale));
    width = std::max(1, static_cast<int>(w * scale));
    height = std::max(1, static_cast<int>(h * scale));
    ddjvu_rect_t rect = {0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height)};
    ddjvu_format_t* format = ddjvu_format_create(DDJVU_FORMAT_GREY8, 0, nullptr);
    ok = format != nullptr;
    if (ok) {
      ddjvu_format_set_row_order(format, 1);
      ddjvu_format_set_y_direction(format, 1);
      pixels.assign(static_cast<std::size_t>(width) * height, 0xFF);
      ok = ddjvu_page_render(page, DDJVU_RENDER_COLOR, &rect, &rect, format, static_cast<unsigned long>(width),
                             reinterpret_cast<char*>(pixels.data())) != 0;
      ddjvu_format_release(format);
    }
  }
  ddjvu_page_release(page);
  return ok;
}

class DjvuFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto redirected = ExtractRedirected(path, "djvu", sink)) return *redirected;
    Djvu djvu;
    if (!djvu.Open(path)) {
      if (djvu.timed_out()) return ExtractResult::Failed("reading the DjVu document took too long");
      return ExtractResult::Failed(djvu.error().empty() ? "the DjVu document cannot be read"
                                                        : "the DjVu document cannot be read: " + djvu.error());
    }
    const int pages = ddjvu_document_get_pagenum(djvu.document());
    if (pages > 0) sink.set_pages(pages);
    int failed = 0, unread = 0;
    std::string problem, ocr_problem;
    for (int i = 0; i < pages && !sink.full(); ++i) {
      miniexp_t text = miniexp_dummy;
      if (!djvu.Until([&] {
            text = ddjvu_document_get_pagetext(djvu.document(), i, "line");
            return text != miniexp_dummy;
          })) {
        problem = "reading the DjVu document took too long; stopped at page " + std::to_string(i + 1);
        break;
      }
      std::string page;
      if (miniexp_consp(text)) {
        AppendZones(text, page, 0);
      } else if (miniexp_symbolp(text)) {  // "failed" or "stopped"
        ++failed;
        if (problem.empty()) problem = "page " + std::to_string(i + 1) + " cannot be read";
      }
      ddjvu_miniexp_release(djvu.document(), text);
      if (page.find_first_not_of(" \t\r\n") == std::string::npos) {
        // A scanned page without a text layer: its words come from OCR of
        // the page rendered in grey.
        std::vector<unsigned char> pixels;
        int width = 0, height = 0, dpi = 0;
        if (!RenderPage(djvu, i, pixels, width, height, dpi)) continue;
        const OcrPageText read = RecognizeGreyPageOnDemand(GreyImage{pixels.data(), width, height, width, dpi});
        if (!sink.AppendRecognizedPage(read.text) && !read.problem.empty()) {
          ++unread;
          if (ocr_problem.empty()) ocr_problem = read.problem;
        }
        continue;
      }
      sink.Append(page);
      sink.EndLine();
      sink.EndChunk();
    }
    if (sink.full()) return ExtractResult::Ok();
    if (!problem.empty()) return sink.empty() ? ExtractResult::Failed(problem) : ExtractResult::Incomplete(problem);
    if (unread > 0) {
      const std::string why = std::to_string(unread) + " of " + std::to_string(pages) +
                              " pages are scans without a text layer that OCR did not read (" + ocr_problem + ")";
      return sink.empty() ? ExtractResult::Failed(why) : ExtractResult::Incomplete(why);
    }
    (void)failed;
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateDjvuFilter() { return std::make_unique<DjvuFilter>(); }

}  // namespace quarn

// Page pictures for OCR: see render.h.  MuPDF reports errors with
// setjmp/longjmp, so inside fz_try blocks only C calls and plain variables
// are used, as in the rest of the library.
#include "pdfinfo/render.h"

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

#include <cmath>
#include <cstdio>
#include <new>

#include "pdfinfo/bounded_context.h"

namespace {

void CopyMessage(char* out, std::size_t size, const char* message) {
  if (out && size) std::snprintf(out, size, "%s", message ? message : "");
}

// A device that only notes whether the page draws an image, glyphs or words
// drawn as outlines: a page sent to OCR draws its words in one of them
// (glyphs when its fonts map them to no character; filled outlines when a
// design program turned its text into curves).  Outlines are told from a
// drawing by their number: many small curved shapes.  Other vector drawings
// are not read.
struct ImageProbe {
  fz_device base;
  int images;
  long shapes, curves;  // of the filled paths
};

constexpr long kOutlineShapes = 40, kOutlineCurves = 100;

void CountMove(fz_context*, void* arg, float, float) { static_cast<ImageProbe*>(arg)->shapes++; }
void CountLine(fz_context*, void*, float, float) {}
void CountCurve(fz_context*, void* arg, float, float, float, float, float, float) {
  static_cast<ImageProbe*>(arg)->curves++;
}
void CountClose(fz_context*, void*) {}

void ProbeFillPath(fz_context* ctx, fz_device* dev, const fz_path* path, int, fz_matrix, fz_colorspace*, const float*,
                   float, fz_color_params) {
  auto* probe = reinterpret_cast<ImageProbe*>(dev);
  if (probe->shapes >= kOutlineShapes && probe->curves >= kOutlineCurves) return;
  static const fz_path_walker kCounter = {CountMove, CountLine, CountCurve, CountClose,
                                          nullptr,   nullptr,   nullptr,    nullptr};
  fz_walk_path(ctx, path, &kCounter, probe);
}

void ProbeImage(fz_context*, fz_device* dev, fz_image*, fz_matrix, float, fz_color_params) {
  reinterpret_cast<ImageProbe*>(dev)->images++;
}

void ProbeImageMask(fz_context*, fz_device* dev, fz_image*, fz_matrix, fz_colorspace*, const float*, float,
                    fz_color_params) {
  reinterpret_cast<ImageProbe*>(dev)->images++;
}

void ProbeClipImageMask(fz_context*, fz_device* dev, fz_image*, fz_matrix, fz_rect) {
  reinterpret_cast<ImageProbe*>(dev)->images++;
}

void ProbeFillText(fz_context*, fz_device* dev, const fz_text*, fz_matrix, fz_colorspace*, const float*, float,
                   fz_color_params) {
  reinterpret_cast<ImageProbe*>(dev)->images++;
}

void ProbeStrokeText(fz_context*, fz_device* dev, const fz_text*, const fz_stroke_state*, fz_matrix, fz_colorspace*,
                     const float*, float, fz_color_params) {
  reinterpret_cast<ImageProbe*>(dev)->images++;
}

}  // namespace

struct PdfRenderer {
  // Memory is counted for the whole document; time limits apply to one page
  // at a time, so the clock runs only while a page is opened or rendered.
  quarn::pdf::BoundedContext context{PDFRENDER_MEMORY_LIMIT, 0, std::size_t{32} << 20,
                                     {"rendering the page took too long", "rendering the page needs too much memory"}};
  fz_document* doc = nullptr;
  int pages = 0;

  void StartPage() { context.StartClock(PDFRENDER_PAGE_TIME_LIMIT_MS); }
  const char* LimitReason() const { return context.LimitReason(); }
};

extern "C" {

PdfRenderer* PdfOpenRenderer(const char* path, char* error, size_t error_size) {
  CopyMessage(error, error_size, "");
  if (!path) {
    CopyMessage(error, error_size, "no document");
    return nullptr;
  }
  auto* r = new (std::nothrow) PdfRenderer;
  if (!r) {
    CopyMessage(error, error_size, "out of memory");
    return nullptr;
  }
  fz_context* ctx = r->context.get();
  if (!ctx) {
    delete r;
    CopyMessage(error, error_size, "out of memory");
    return nullptr;
  }
  fz_document* doc = nullptr;
  int pages = 0;
  int failed = 0;
  fz_var(doc);
  fz_var(pages);
  fz_var(failed);
  r->StartPage();
  fz_try(ctx) {
    doc = reinterpret_cast<fz_document*>(pdf_open_document(ctx, path));
    if (fz_needs_password(ctx, doc) && !fz_authenticate_password(ctx, doc, "")) {
      failed = 2;
    } else {
      pages = fz_count_pages(ctx, doc);
    }
  }
  fz_catch(ctx) {
    failed = 1;
    const char* why = r->LimitReason();
    CopyMessage(error, error_size, why ? why : fz_caught_message(ctx));
  }
  if (failed == 2) CopyMessage(error, error_size, "the PDF is password-protected");
  if (!failed && pages <= 0) {
    failed = 1;
    CopyMessage(error, error_size, "the PDF has no pages");
  }
  if (failed) {
    fz_drop_document(ctx, doc);
    delete r;
    return nullptr;
  }
  r->doc = doc;
  r->pages = pages;
  return r;
}

void PdfCloseRenderer(PdfRenderer* r) {
  if (!r) return;
  fz_drop_document(r->context.get(), r->doc);
  delete r;
}

int PdfRendererPageCount(const PdfRenderer* r) { return r ? r->pages : 0; }

int PdfRenderGreyPage(PdfRenderer* r, int number, int dpi, size_t max_pixels, PdfGreyPage* out, char* error,
                      size_t error_size) {
  CopyMessage(error, error_size, "");
  if (!out) return PDFRENDER_FAILED;
  *out = PdfGreyPage{};
  if (!r || number < 0 || number >= r->pages || dpi <= 0) {
    CopyMessage(error, error_size, "no such page");
    return PDFRENDER_FAILED;
  }
  fz_context* ctx = r->context.get();
  r->StartPage();
  fz_page* page = nullptr;
  ImageProbe* probe = nullptr;
  fz_device* draw = nullptr;
  fz_pixmap* pix = nullptr;
  fz_cookie cookie{};
  int status = PDFRENDER_OK;
  int used_dpi = dpi;
  fz_var(page);
  fz_var(probe);
  fz_var(draw);
  fz_var(pix);
  fz_var(status);
  fz_var(used_dpi);
  r->context.budget().cookie = &cookie;
  fz_try(ctx) {
    page = fz_load_page(ctx, r->doc, number);
    probe = fz_new_derived_device(ctx, ImageProbe);
    probe->base.fill_image = ProbeImage;
    probe->base.fill_image_mask = ProbeImageMask;
    probe->base.clip_image_mask = ProbeClipImageMask;
    probe->base.fill_text = ProbeFillText;
    probe->base.stroke_text = ProbeStrokeText;
    probe->base.fill_path = ProbeFillPath;
    fz_run_page(ctx, page, &probe->base, fz_identity, &cookie);
    fz_close_device(ctx, &probe->base);
    if (probe->shapes >= kOutlineShapes && probe->curves >= kOutlineCurves) probe->images++;
    if (probe->images == 0) {
      status = PDFRENDER_NO_PICTURE;
    } else {
      const fz_rect bounds = fz_bound_page(ctx, page);
      const double w_in = (bounds.x1 - bounds.x0) / 72.0, h_in = (bounds.y1 - bounds.y0) / 72.0;
      if (!(w_in > 0) || !(h_in > 0)) fz_throw(ctx, FZ_ERROR_GENERIC, "the page has no size");
      // The highest resolution up to dpi whose picture stays within the caps.
      double scale = dpi;
      if (w_in * h_in * scale * scale > static_cast<double>(max_pixels))
        scale = std::sqrt(static_cast<double>(max_pixels) / (w_in * h_in));
      if (w_in * scale > 30000) scale = 30000 / w_in;
      if (h_in * scale > 30000) scale = 30000 / h_in;
      if (scale < 1) fz_throw(ctx, FZ_ERROR_GENERIC, "the page is too large to render");
      used_dpi = static_cast<int>(scale);
      const fz_matrix ctm = fz_scale(static_cast<float>(used_dpi / 72.0), static_cast<float>(used_dpi / 72.0));
      const fz_irect box = fz_round_rect(fz_transform_rect(bounds, ctm));
      pix = fz_new_pixmap_with_bbox(ctx, fz_device_gray(ctx), box, nullptr, 0);
      fz_clear_pixmap_with_value(ctx, pix, 255);
      cookie = fz_cookie{};
      draw = fz_new_draw_device(ctx, ctm, pix);
      fz_run_page(ctx, page, draw, fz_identity, &cookie);
      fz_close_device(ctx, draw);
    }
  }
  fz_always(ctx) {
    fz_drop_device(ctx, draw);
    draw = nullptr;
    if (probe) fz_drop_device(ctx, &probe->base);
    probe = nullptr;
  }
  fz_catch(ctx) {
    status = PDFRENDER_FAILED;
    const char* why = r->LimitReason();
    CopyMessage(error, error_size, why ? why : fz_caught_message(ctx));
  }
  r->context.budget().cookie = nullptr;
  if (status == PDFRENDER_OK && cookie.abort) {
    status = PDFRENDER_FAILED;
    const char* why = r->LimitReason();
    CopyMessage(error, error_size, why ? why : "rendering the page was stopped");
  }
  r->context.StopClock();
  fz_drop_page(ctx, page);
  if (status != PDFRENDER_OK) {
    fz_drop_pixmap(ctx, pix);
    return status;
  }
  out->pixels = fz_pixmap_samples(ctx, pix);
  out->width = fz_pixmap_width(ctx, pix);
  out->height = fz_pixmap_height(ctx, pix);
  out->stride = static_cast<int>(fz_pixmap_stride(ctx, pix));
  out->dpi = used_dpi;
  out->handle = pix;
  return PDFRENDER_OK;
}

void PdfReleaseGreyPage(PdfRenderer* r, PdfGreyPage* page) {
  if (!r || !page || !page->handle) return;
  fz_drop_pixmap(r->context.get(), static_cast<fz_pixmap*>(page->handle));
  *page = PdfGreyPage{};
}

}  // extern "C"

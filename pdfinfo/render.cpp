// Page pictures for OCR: see render.h.  MuPDF reports errors with
// setjmp/longjmp, so inside fz_try blocks only C calls and plain variables
// are used, as in the rest of the library.
#include "pdfinfo/render.h"

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

long long NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Allocation with a size prefix, so that the renderer's memory can be
// counted and capped, and a deadline that makes every allocation fail once
// the page in progress has run out of time.
struct Budget {
  std::size_t used = 0;
  long long deadline_ns = 0;  // 0: none
  unsigned calls = 0;
  bool expired = false;
  bool exhausted = false;
  fz_cookie* cookie = nullptr;
};

constexpr std::size_t kBlockHeader = 16;

bool Admit(Budget* b, std::size_t size) {
  if (b->deadline_ns && !b->expired && (++b->calls & 63) == 0 && NowNs() > b->deadline_ns) {
    b->expired = true;
    if (b->cookie) b->cookie->abort = 1;
  }
  if (b->expired) return false;
  if (size > PDFRENDER_MEMORY_LIMIT - b->used) {
    b->exhausted = true;
    return false;
  }
  return true;
}

void* BudgetMalloc(void* user, std::size_t size) {
  Budget* b = static_cast<Budget*>(user);
  if (size > PDFRENDER_MEMORY_LIMIT || !Admit(b, size)) return nullptr;
  auto* p = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
  if (!p) return nullptr;
  std::memcpy(p, &size, sizeof size);
  b->used += size;
  return p + kBlockHeader;
}

void BudgetFree(void* user, void* ptr) {
  if (!ptr) return;
  Budget* b = static_cast<Budget*>(user);
  unsigned char* p = static_cast<unsigned char*>(ptr) - kBlockHeader;
  std::size_t size;
  std::memcpy(&size, p, sizeof size);
  b->used -= size;
  std::free(p);
}

void* BudgetRealloc(void* user, void* old, std::size_t size) {
  if (!old) return BudgetMalloc(user, size);
  if (size == 0) {
    BudgetFree(user, old);
    return nullptr;
  }
  Budget* b = static_cast<Budget*>(user);
  unsigned char* p = static_cast<unsigned char*>(old) - kBlockHeader;
  std::size_t old_size;
  std::memcpy(&old_size, p, sizeof old_size);
  if (size > old_size && (size > PDFRENDER_MEMORY_LIMIT || !Admit(b, size - old_size))) return nullptr;
  auto* q = static_cast<unsigned char*>(std::realloc(p, size + kBlockHeader));
  if (!q) return nullptr;
  std::memcpy(q, &size, sizeof size);
  b->used = b->used - old_size + size;
  return q + kBlockHeader;
}

void Quiet(void*, const char*) {}

void CopyMessage(char* out, std::size_t size, const char* message) {
  if (out && size) std::snprintf(out, size, "%s", message ? message : "");
}

// A device that only notes whether the page draws an image.
struct ImageProbe {
  fz_device base;
  int images;
};

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

}  // namespace

struct PdfRenderer {
  Budget budget;
  fz_alloc_context alloc{};
  fz_context* ctx = nullptr;
  fz_document* doc = nullptr;
  int pages = 0;

  // Time limits apply to one page at a time, not to the document.
  void StartPage() {
    budget.deadline_ns = NowNs() + static_cast<long long>(PDFRENDER_PAGE_TIME_LIMIT_MS) * 1000000LL;
    budget.expired = false;
    budget.exhausted = false;
  }
  const char* LimitReason() const {
    if (budget.expired) return "rendering the page took too long";
    if (budget.exhausted) return "rendering the page needs too much memory";
    return nullptr;
  }
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
  r->alloc = {&r->budget, BudgetMalloc, BudgetRealloc, BudgetFree};
  r->ctx = fz_new_context(&r->alloc, nullptr, std::size_t{32} << 20);
  if (!r->ctx) {
    delete r;
    CopyMessage(error, error_size, "out of memory");
    return nullptr;
  }
  fz_set_warning_callback(r->ctx, Quiet, nullptr);
  fz_set_error_callback(r->ctx, Quiet, nullptr);
  fz_context* ctx = r->ctx;
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
    fz_drop_context(ctx);
    delete r;
    return nullptr;
  }
  r->doc = doc;
  r->pages = pages;
  return r;
}

void PdfCloseRenderer(PdfRenderer* r) {
  if (!r) return;
  fz_drop_document(r->ctx, r->doc);
  fz_drop_context(r->ctx);
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
  fz_context* ctx = r->ctx;
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
  r->budget.cookie = &cookie;
  fz_try(ctx) {
    page = fz_load_page(ctx, r->doc, number);
    probe = fz_new_derived_device(ctx, ImageProbe);
    probe->base.fill_image = ProbeImage;
    probe->base.fill_image_mask = ProbeImageMask;
    probe->base.clip_image_mask = ProbeClipImageMask;
    fz_run_page(ctx, page, &probe->base, fz_identity, &cookie);
    fz_close_device(ctx, &probe->base);
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
  r->budget.cookie = nullptr;
  if (status == PDFRENDER_OK && cookie.abort) {
    status = PDFRENDER_FAILED;
    const char* why = r->LimitReason();
    CopyMessage(error, error_size, why ? why : "rendering the page was stopped");
  }
  r->budget.deadline_ns = 0;
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
  fz_drop_pixmap(r->ctx, static_cast<fz_pixmap*>(page->handle));
  *page = PdfGreyPage{};
}

}  // extern "C"

#include "pdfinfo/fitz_text.h"

extern "C" {
#include <mupdf/fitz.h>
}

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "pdfinfo/bounded_context.h"
#include "pdfinfo/page_text.h"

// MuPDF's readers of the other formats.  Only the ones named here are linked
// in, so the library grows by what these formats need and no more: the
// readers of reflowable books (FictionBook, MOBI, EPUB) would bring MuPDF's
// HTML layout engine and with it HarfBuzz and GLib as shared libraries,
// which every start of the program would then load.
extern "C" {
extern fz_document_handler xps_document_handler;
extern fz_document_handler cbz_document_handler;
extern fz_document_handler svg_document_handler;
}

// MuPDF reports errors with setjmp/longjmp.  Inside an fz_try block only C
// calls and plain variables are used (a longjmp skips C++ destructors), and no
// C++ exception is thrown there.

namespace {

// ---- one context per call, with bounded memory and time -------------------

class Context : public quarn::pdf::BoundedContext {
 public:
  Context()
      : BoundedContext(PDFINFO_MEMORY_LIMIT, PDFINFO_TIME_LIMIT_MS, std::size_t{64} << 20,
                       {"reading the document took too long", "the document needs too much memory"}) {}
};

void CopyMessage(char* out, std::size_t size, const char* message) {
  if (!out || size == 0) return;
  std::snprintf(out, size, "%s", message ? message : "");
}

const fz_document_handler* HandlerFor(std::string_view kind) {
  if (kind == "xps") return &xps_document_handler;
  if (kind == "cbz") return &cbz_document_handler;
  if (kind == "svg") return &svg_document_handler;
  return nullptr;
}

// MuPDF draws an SVG by walking its elements recursively, a few hundred bytes
// of stack a level: a drawing nested tens of thousands of levels deep (which
// no editor makes, and a hostile file can) would overflow the stack.  Real
// drawings nest a few dozen levels at most.
constexpr int kMaxDrawingDepth = 1000;

// How deep the elements under node go, walked without recursion.
int XmlDepth(fz_xml* node) {
  int depth = 0;
  int deepest = 0;
  while (node) {
    if (fz_xml* child = fz_xml_down(node)) {
      node = child;
      deepest = std::max(deepest, ++depth);
      continue;
    }
    while (node && !fz_xml_next(node)) {
      node = fz_xml_up(node);
      --depth;
    }
    if (node) node = fz_xml_next(node);
  }
  return deepest;
}

// Throws (an MuPDF error) when the drawing at path nests its elements deeper
// than it can be drawn.  Parsed apart by MuPDF's own parser, so the depth is
// the one the drawing code would walk.
void RefuseDeepDrawing(fz_context* ctx, const char* path) {
  fz_buffer* bytes = nullptr;
  fz_xml* xml = nullptr;
  int depth = 0;
  fz_var(bytes);
  fz_var(xml);
  fz_var(depth);
  fz_try(ctx) {
    bytes = fz_read_file(ctx, path);
    xml = fz_parse_xml(ctx, bytes, 0);
    depth = XmlDepth(xml);
  }
  fz_always(ctx) {
    fz_drop_xml(ctx, xml);
    fz_drop_buffer(ctx, bytes);
  }
  fz_catch(ctx) { fz_rethrow(ctx); }
  if (depth > kMaxDrawingDepth)
    fz_throw(ctx, FZ_ERROR_GENERIC, "its elements are nested %d levels deep, more than %d can be drawn", depth,
             kMaxDrawingDepth);
}

// A picture page is rendered at most this finely, and at most this large.
constexpr int kMaxDpi = 300;
constexpr float kMaxSide = 4000;

// ---- page text -------------------------------------------------------------

void AppendRune(std::string& out, int c) {
  // Control characters (whatever a font maps to them) become spaces, but
  // tabs stay; a NUL would end the program's text early.
  if (c < 0x20 && c != '\t') c = ' ';
  char utf8[FZ_UTFMAX];
  const int n = fz_runetochar(utf8, c);
  out.append(utf8, static_cast<std::size_t>(n));
}

// Appends a page's text as the PDF functions do: one line feed after each
// line, an empty line after each block.
void AppendStext(std::string& out, const fz_stext_page* stext) {
  for (const fz_stext_block* block = stext->first_block; block; block = block->next) {
    if (block->type != FZ_STEXT_BLOCK_TEXT) continue;
    for (const fz_stext_line* line = block->u.t.first_line; line; line = line->next) {
      for (const fz_stext_char* ch = line->first_char; ch; ch = ch->next) AppendRune(out, ch->c);
      out.push_back('\n');
    }
    out.push_back('\n');
  }
}

enum class PageStatus { kOk, kFailed, kPartial };

struct Page {
  PageStatus status = PageStatus::kOk;
  std::string text;
  bool image_stopped = false;  // on_image asked to stop
  char error[200] = "";
};

struct Reader {
  Context& c;
  fz_document* doc;
  FitzPageImageFunc on_image;
  void* user;
};

// The page rendered in 8-bit grey at zoom (1 = 72 dpi), or nullptr with the
// reason in r.error.
fz_pixmap* NewGreyPixmap(Context& c, fz_page* page, float zoom, Page& r) {
  fz_context* ctx = c.get();
  fz_pixmap* pix = nullptr;
  fz_var(pix);
  fz_try(ctx) { pix = fz_new_pixmap_from_page(ctx, page, fz_scale(zoom, zoom), fz_device_gray(ctx), 0); }
  fz_catch(ctx) {
    r.status = PageStatus::kFailed;
    const char* why = c.LimitReason();
    CopyMessage(r.error, sizeof r.error, why ? why : fz_caught_message(ctx));
    pix = nullptr;
  }
  return pix;
}

// Hands the page, rendered in grey, to the image callback.  Rendering is the
// expensive part of a picture page, so it is done only for pages without text.
void RenderPage(Reader& rd, fz_page* page, int number, Page& r) {
  fz_context* ctx = rd.c.get();
  fz_rect bounds = fz_empty_rect;
  fz_try(ctx) { bounds = fz_bound_page(ctx, page); }
  fz_catch(ctx) { bounds = fz_empty_rect; }
  const float side = std::max(bounds.x1 - bounds.x0, bounds.y1 - bounds.y0);
  int dpi = kMaxDpi;
  if (side > 0 && side * kMaxDpi / 72 > kMaxSide) dpi = std::max(1, static_cast<int>(kMaxSide * 72 / side));
  fz_pixmap* pix = NewGreyPixmap(rd.c, page, static_cast<float>(dpi) / 72, r);
  if (!pix) return;
  if (rd.on_image(rd.user, number, fz_pixmap_samples(ctx, pix), fz_pixmap_width(ctx, pix), fz_pixmap_height(ctx, pix),
                  static_cast<int>(fz_pixmap_stride(ctx, pix)), dpi) != 0)
    r.image_stopped = true;
  fz_drop_pixmap(ctx, pix);
}

void ReadPage(Reader& rd, int number, Page& r) {
  fz_context* ctx = rd.c.get();
  fz_page* page = nullptr;
  fz_stext_page* stext = nullptr;
  fz_device* dev = nullptr;
  fz_cookie cookie{};
  PageStatus status = PageStatus::kOk;
  fz_var(page);
  fz_var(stext);
  fz_var(dev);
  fz_var(status);
  rd.c.budget().cookie = &cookie;
  fz_try(ctx) {
    page = fz_load_page(ctx, rd.doc, number);
    stext = fz_new_stext_page(ctx, fz_bound_page(ctx, page));
    fz_stext_options options{};
    dev = fz_new_stext_device(ctx, stext, &options);
    fz_run_page(ctx, page, dev, fz_identity, &cookie);
    fz_close_device(ctx, dev);
  }
  fz_always(ctx) {
    fz_drop_device(ctx, dev);
    dev = nullptr;
  }
  fz_catch(ctx) {
    status = PageStatus::kFailed;
    const char* why = rd.c.LimitReason();
    CopyMessage(r.error, sizeof r.error, why ? why : fz_caught_message(ctx));
  }
  rd.c.budget().cookie = nullptr;
  if (status == PageStatus::kOk && (cookie.errors > 0 || cookie.abort)) {
    status = PageStatus::kPartial;
    const char* why = rd.c.LimitReason();
    CopyMessage(r.error, sizeof r.error, why ? why : "errors in the page's content");
  }
  if (stext) {
    // Read in the same reading order as PDF pages (columns, right-to-left
    // lines, ligatures, words placed apart, hyphenation).
    try {
      r.text += quarn::pdf::PageText(stext);
    } catch (const std::bad_alloc&) {
      AppendStext(r.text, stext);
    }
  }
  fz_drop_stext_page(ctx, stext);
  r.status = status;
  const bool blank = r.text.find_first_not_of(" \t\r\n") == std::string::npos;
  if (page && blank && rd.on_image && status != PageStatus::kFailed) RenderPage(rd, page, number, r);
  fz_drop_page(ctx, page);
}

int Extract(const char* path, const char* kind, PdfPageTextFunc on_page, FitzPageImageFunc on_image, void* user,
            char* error, std::size_t error_size) {
  const fz_document_handler* handler = HandlerFor(kind);
  if (!handler) {
    CopyMessage(error, error_size, "MuPDF does not read this kind of document");
    return PDFINFO_DAMAGED;
  }
  Context c;
  fz_context* ctx = c.get();
  if (!ctx) {
    CopyMessage(error, error_size, "out of memory");
    return PDFINFO_DAMAGED;
  }
  fz_document* doc = nullptr;
  fz_stream* stream = nullptr;
  int pages = 0;
  int status = PDFINFO_OK;
  fz_var(doc);
  fz_var(stream);
  fz_var(pages);
  fz_var(status);
  fz_try(ctx) {
    fz_register_document_handler(ctx, handler);
    if (std::string_view(kind) == "svg") RefuseDeepDrawing(ctx, path);
    stream = fz_open_file(ctx, path);
    doc = fz_open_document_with_stream(ctx, kind, stream);
    if (fz_needs_password(ctx, doc) && !fz_authenticate_password(ctx, doc, "")) {
      status = PDFINFO_PASSWORD;
    } else {
      pages = fz_count_pages(ctx, doc);
    }
  }
  fz_always(ctx) {
    fz_drop_stream(ctx, stream);
    stream = nullptr;
  }
  fz_catch(ctx) {
    status = PDFINFO_DAMAGED;
    const char* why = c.LimitReason();
    CopyMessage(error, error_size, why ? why : fz_caught_message(ctx));
  }
  if (status == PDFINFO_PASSWORD) CopyMessage(error, error_size, "the document is password-protected");
  if (status == PDFINFO_OK && pages <= 0) {
    status = PDFINFO_DAMAGED;
    CopyMessage(error, error_size, "the document has no pages");
  }
  if (status != PDFINFO_OK) {
    fz_drop_document(ctx, doc);
    return status;
  }

  Reader rd{c, doc, on_image, user};
  std::size_t total = 0;
  bool any_text = false;
  int failed = 0;
  std::string first_problem;
  status = -1;
  for (int i = 0; i < pages && status < 0; ++i) {
    Page page;
    ReadPage(rd, i, page);
    if (page.status != PageStatus::kOk) {
      ++failed;
      if (first_problem.empty()) first_problem = "page " + std::to_string(i + 1) + ": " + page.error;
    }
    std::size_t size = page.text.size();
    bool cut = false;
    if (size > PDFINFO_TEXT_LIMIT - total) {
      size = PDFINFO_TEXT_LIMIT - total;
      while (size > 0 && (static_cast<unsigned char>(page.text[size]) & 0xC0) == 0x80) --size;
      cut = true;
    }
    total += size;
    if (page.text.find_first_not_of(" \t\r\n") < size) any_text = true;
    if (page.image_stopped || on_page(user, i, page.text.data(), size, 0) != 0) {
      status = PDFINFO_STOPPED;
    } else if (cut) {
      CopyMessage(
          error, error_size,
          ("the text was cut at " + std::to_string(PDFINFO_TEXT_LIMIT >> 20) + " MiB, on page " + std::to_string(i + 1))
              .c_str());
      status = PDFINFO_INCOMPLETE;
    } else if (c.budget().expired || c.budget().exhausted) {
      const std::string why =
          std::string(c.LimitReason()) + "; stopped at page " + std::to_string(i + 1) + " of " + std::to_string(pages);
      CopyMessage(error, error_size, why.c_str());
      status = any_text ? PDFINFO_INCOMPLETE : PDFINFO_DAMAGED;
    }
  }
  fz_drop_document(ctx, doc);
  if (status >= 0) return status;
  if (failed > 0) {
    std::string why = first_problem;
    if (failed > 1) why += " (and " + std::to_string(failed - 1) + " more pages)";
    CopyMessage(error, error_size, why.c_str());
    return any_text ? PDFINFO_INCOMPLETE : PDFINFO_DAMAGED;
  }
  return any_text ? PDFINFO_OK : PDFINFO_NO_TEXT;
}

}  // namespace

extern "C" {

int FitzExtractPages(const char* path, const char* kind, PdfPageTextFunc on_page, FitzPageImageFunc on_image,
                     void* user, char* error, size_t error_size) {
  if (error && error_size) error[0] = '\0';
  if (!path || !kind || !on_page) {
    CopyMessage(error, error_size, "no document");
    return PDFINFO_DAMAGED;
  }
  try {
    return Extract(path, kind, on_page, on_image, user, error, error_size);
  } catch (const std::exception& e) {
    CopyMessage(error, error_size, e.what());
    return PDFINFO_DAMAGED;
  }
}

}  // extern "C"

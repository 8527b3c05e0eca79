#include "pdfinfo/pdfinfo.h"

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "convert/charset.h"
#include "pdfinfo/bounded_context.h"
#include "pdfinfo/page_text.h"

// MuPDF reports errors with setjmp/longjmp.  Inside an fz_try block only C
// calls and plain variables are used (a longjmp skips C++ destructors), and no
// C++ exception is thrown there (it would leave MuPDF's error stack unbalanced).

namespace {

// ---- one context per call, with bounded memory and time -------------------

using quarn::pdf::Budget;
using quarn::pdf::NowNs;

// A MuPDF context that lives for one call.  The resource store holds decoded
// fonts and the like; text needs little.
class Context : public quarn::pdf::BoundedContext {
 public:
  Context()
      : BoundedContext(PDFINFO_MEMORY_LIMIT, PDFINFO_TIME_LIMIT_MS, std::size_t{64} << 20,
                       {"reading the PDF took too long", "the PDF needs too much memory"}) {}
};

void CopyMessage(char* out, std::size_t size, const char* message) {
  if (!out || size == 0) return;
  std::snprintf(out, size, "%s", message ? message : "");
}

// What MuPDF says is wrong with a file, in the user's words where its own
// are about the reader's inner working.
std::string Plain(const char* message) {
  const std::string_view m = message ? message : "";
  if (m.starts_with("cannot tell in file") || m.starts_with("cannot seek")) return "a position in it lies outside the file";
  if (m.starts_with("no objects found")) return "no PDF objects were found in it";
  if (m.empty()) return "it cannot be read";
  return std::string(m);
}

constexpr const char* kDamaged = "the PDF file is damaged: ";

// ---- opening ---------------------------------------------------------------

enum class Opened { kOk, kDamaged, kPassword };

struct OpenResult {
  Opened status = Opened::kDamaged;
  fz_document* doc = nullptr;
  int pages = 0;
  char error[256] = "";
};

// Opens path as a PDF (never as another format: the name promised a PDF and
// only the PDF reader is built for hostile input here).  A document without
// pages counts as damaged.
void OpenDocument(Context& c, const char* path, OpenResult& r) {
  fz_context* ctx = c.get();
  if (!ctx) {
    CopyMessage(r.error, sizeof r.error, "out of memory");
    return;
  }
  fz_document* doc = nullptr;
  int pages = 0;
  Opened status = Opened::kDamaged;
  fz_var(doc);
  fz_var(pages);
  fz_var(status);
  fz_try(ctx) {
    doc = reinterpret_cast<fz_document*>(pdf_open_document(ctx, path));
    if (fz_needs_password(ctx, doc) && !fz_authenticate_password(ctx, doc, "")) {
      status = Opened::kPassword;
    } else {
      pages = fz_count_pages(ctx, doc);
      // An update chain that loops back on itself (or otherwise leaves out
      // the page tree) gives no pages although the objects are all there:
      // the cross-reference table is rebuilt from the objects themselves.
      pdf_document* pdf = pdf_specifics(ctx, doc);
      if (pages <= 0 && pdf && !pdf_was_repaired(ctx, pdf)) {
        pdf_repair_xref(ctx, pdf);
        pdf_repair_obj_stms(ctx, pdf);
        pdf_repair_trailer(ctx, pdf);
        pages = fz_count_pages(ctx, doc);
      }
      status = pages > 0 ? Opened::kOk : Opened::kDamaged;
    }
  }
  fz_catch(ctx) {
    status = Opened::kDamaged;
    const char* why = c.LimitReason();
    const char* caught = fz_caught_message(ctx);
    if (why) {
      CopyMessage(r.error, sizeof r.error, why);
    } else if (std::string_view(caught).starts_with("cannot open file")) {
      CopyMessage(r.error, sizeof r.error, ("the PDF cannot be opened: " + std::string(caught)).c_str());
    } else {
      CopyMessage(r.error, sizeof r.error, (kDamaged + Plain(caught)).c_str());
    }
  }
  if (status == Opened::kPassword) CopyMessage(r.error, sizeof r.error, "the PDF is password-protected");
  if (status == Opened::kDamaged && !r.error[0]) CopyMessage(r.error, sizeof r.error, "the PDF file is damaged: no pages were found in it");
  if (status != Opened::kOk) {
    fz_drop_document(ctx, doc);
    doc = nullptr;
  }
  r.status = status;
  r.doc = doc;
  r.pages = pages;
}

class Document {
 public:
  Document(Context& c, const char* path) : c_(c) { OpenDocument(c, path, r_); }
  ~Document() {
    if (r_.doc) fz_drop_document(c_.get(), r_.doc);
  }
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  const OpenResult& result() const { return r_; }
  fz_document* get() const { return r_.doc; }

 private:
  Context& c_;
  OpenResult r_;
};

// PDFINFO_OK for an opened document; else what its opening gives the
// caller, PDFINFO_PASSWORD or PDFINFO_DAMAGED, with the reason in error.
int OpenStatus(const OpenResult& r, char* error, std::size_t error_size) {
  if (r.status == Opened::kOk) return PDFINFO_OK;
  CopyMessage(error, error_size, r.error);
  return r.status == Opened::kPassword ? PDFINFO_PASSWORD : PDFINFO_DAMAGED;
}

// ---- text buffers ----------------------------------------------------------

// A growable text in one anonymous mapping laid out as PdfInfoTextHeader
// tells, so that a finished text can be handed to the caller as it is.
// Appending never throws; it fails when memory cannot be mapped.
class MappedText {
 public:
  MappedText() = default;
  ~MappedText() {
    if (base_) munmap(base_, map_length_);
  }
  MappedText(const MappedText&) = delete;
  MappedText& operator=(const MappedText&) = delete;

  bool Append(const char* data, std::size_t size) {
    if (size == 0) return true;
    if (!Reserve(length_ + size)) return false;
    std::memcpy(Text() + length_, data, size);
    length_ += size;
    return true;
  }
  void Clear() { length_ = 0; }
  std::size_t size() const { return length_; }
  const char* data() const { return base_ ? Text() : ""; }

  // Gives up the mapping: the text, NUL-terminated, behind its header.
  char* Release() {
    if (!Reserve(length_)) return nullptr;
    Text()[length_] = '\0';
    auto* h = reinterpret_cast<PdfInfoTextHeader*>(base_);
    h->magic = PDFINFO_TEXT_MAGIC;
    h->map_length = map_length_;
    h->text_length = length_;
    h->reserved = 0;
    char* text = Text();
    base_ = nullptr;
    map_length_ = length_ = 0;
    return text;
  }

 private:
  char* Text() const { return static_cast<char*>(base_) + sizeof(PdfInfoTextHeader); }

  // Room for length bytes of text and the NUL.
  bool Reserve(std::size_t length) {
    const std::size_t need = sizeof(PdfInfoTextHeader) + length + 1;
    if (base_ && need <= map_length_) return true;
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t grow = map_length_ < (std::size_t{1} << 16) ? (std::size_t{1} << 16) : map_length_ * 2;
    if (grow < need) grow = need;
    grow = (grow + page - 1) / page * page;
    void* p = base_ ? mremap(base_, map_length_, grow, MREMAP_MAYMOVE)
                    : mmap(nullptr, grow, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    base_ = p;
    map_length_ = grow;
    return true;
  }

  void* base_ = nullptr;
  std::size_t map_length_ = 0;
  std::size_t length_ = 0;
};

// ---- page text -------------------------------------------------------------

enum class PageStatus { kOk, kFailed, kPartial, kNoMemory };

struct PageResult {
  PageStatus status = PageStatus::kOk;
  bool loaded = false;  // the page object itself could be loaded
  char error[200] = "";
  bool extract_pages = false;  // asked for PdfExtractPages: comments, and hints for OCR
  bool for_ocr = false;        // the page's words are in its pictures (PDFINFO_PAGE_FOR_OCR)
};

// The text of the page's comments, a line each: sticky notes, and the notes
// reviewers attach to marked-up text and drawn marks.  Text boxes are left
// out (their words are drawn on the page and read with it), as are links,
// form fields, pop-ups (the window of another comment, with its text) and
// hidden comments.
std::string CommentText(fz_context* ctx, fz_page* page) {
  std::string out;
  fz_try(ctx) {
    pdf_page* pp = pdf_page_from_fz_page(ctx, page);
    for (pdf_annot* a = pp ? pdf_first_annot(ctx, pp) : nullptr; a; a = pdf_next_annot(ctx, a)) {
      switch (pdf_annot_type(ctx, a)) {
        case PDF_ANNOT_TEXT: case PDF_ANNOT_HIGHLIGHT: case PDF_ANNOT_UNDERLINE: case PDF_ANNOT_SQUIGGLY:
        case PDF_ANNOT_STRIKE_OUT: case PDF_ANNOT_LINE: case PDF_ANNOT_SQUARE: case PDF_ANNOT_CIRCLE:
        case PDF_ANNOT_POLYGON: case PDF_ANNOT_POLY_LINE: case PDF_ANNOT_INK: case PDF_ANNOT_STAMP:
        case PDF_ANNOT_CARET: case PDF_ANNOT_FILE_ATTACHMENT:
          break;
        default:
          continue;
      }
      if (pdf_annot_flags(ctx, a) & PDF_ANNOT_IS_HIDDEN) continue;
      const char* contents = pdf_annot_contents(ctx, a);
      std::string_view text = contents ? contents : "";
      while (!text.empty() && std::strchr(" \t\r\n", text.back())) text.remove_suffix(1);
      while (!text.empty() && std::strchr(" \t\r\n", text.front())) text.remove_prefix(1);
      if (text.empty() || out.size() + text.size() > PDFINFO_TEXT_LIMIT) continue;
      out.append(text).push_back('\n');
    }
  }
  fz_catch(ctx) {}  // a damaged comment costs the comments, never the page
  return out;
}

// A page that pictures cover for the most part and whose own text is a line
// or three: a scan with a few words stamped on it (a page or Bates number, a
// scanning app's mark, a fax header).  Its words are in the picture; the
// text layer alone would pass a page of a letter off as "Page 3 of 7".
// A page without any text is measured too: a scan, told from a page left
// blank, is then known for a picture even when it will not be recognised.
// FewWords looks at the text; only then are the pictures measured, by a
// second run of the page through PictureArea (most pages never need it).
bool FewWords(const fz_stext_page* stext) {
  constexpr int kMaxLines = 3;
  constexpr int kMaxLetters = 120;
  int lines = 0, letters = 0;
  for (const fz_stext_block* b = stext->first_block; b; b = b->next) {
    if (b->type != FZ_STEXT_BLOCK_TEXT) continue;
    for (const fz_stext_line* l = b->u.t.first_line; l; l = l->next) {
      if (++lines > kMaxLines) return false;
      for (const fz_stext_char* ch = l->first_char; ch; ch = ch->next)
        if (ch->c > ' ' && ++letters > kMaxLetters) return false;
    }
  }
  return true;
}

// A page most of whose glyphs map to no character: its fonts were embedded
// without their character maps (U+FFFD for each glyph), so the text layer
// cannot be read and the words are only in the page's picture.  A few
// unknown symbols in running text (a formula's) are no reason.
bool Unreadable(const fz_stext_page* stext) {
  constexpr long kMinUnknown = 20;
  long glyphs = 0, unknown = 0;
  for (const fz_stext_block* b = stext->first_block; b; b = b->next) {
    if (b->type != FZ_STEXT_BLOCK_TEXT) continue;
    for (const fz_stext_line* l = b->u.t.first_line; l; l = l->next)
      for (const fz_stext_char* ch = l->first_char; ch; ch = ch->next) {
        if (ch->c <= ' ') continue;
        ++glyphs;
        if (ch->c == 0xFFFD) ++unknown;
      }
  }
  return unknown >= kMinUnknown && 3 * unknown >= glyphs;
}

// A device that only sums the area of the page its pictures cover.  Layers
// of one scan (a colour background under a black-and-white mask) overlap:
// the caller caps the sum at the page.
struct PictureArea {
  fz_device super;
  fz_rect page;
  double area;
};

void AddPicture(fz_device* dev, fz_matrix ctm) {
  auto* d = reinterpret_cast<PictureArea*>(dev);
  fz_rect r = fz_intersect_rect(fz_transform_rect(fz_unit_rect, ctm), d->page);
  if (!fz_is_empty_rect(r)) d->area += static_cast<double>(r.x1 - r.x0) * (r.y1 - r.y0);
}

void FillImage(fz_context*, fz_device* dev, fz_image*, fz_matrix ctm, float, fz_color_params) { AddPicture(dev, ctm); }

void FillImageMask(fz_context*, fz_device* dev, fz_image*, fz_matrix ctm, fz_colorspace*, const float*, float,
                   fz_color_params) {
  AddPicture(dev, ctm);
}

bool MostlyPicture(fz_context* ctx, fz_page* page, fz_rect bounds, fz_cookie* cookie) {
  constexpr double kCover = 0.5;
  const double area = static_cast<double>(bounds.x1 - bounds.x0) * (bounds.y1 - bounds.y0);
  if (!(area > 0)) return false;
  PictureArea* dev = nullptr;
  bool mostly = false;
  fz_var(dev);
  fz_var(mostly);
  fz_try(ctx) {
    dev = fz_new_derived_device(ctx, PictureArea);
    dev->page = bounds;
    dev->area = 0;
    dev->super.fill_image = FillImage;
    dev->super.fill_image_mask = FillImageMask;
    fz_run_page(ctx, page, &dev->super, fz_identity, cookie);
    fz_close_device(ctx, &dev->super);
    mostly = dev->area >= kCover * area;
  }
  fz_always(ctx) { fz_drop_device(ctx, dev ? &dev->super : nullptr); }
  fz_catch(ctx) { mostly = false; }
  return mostly;
}

// A page tree may claim far more pages than the file holds (a cycle, a
// count of 2^31): after this many pages in a row that cannot even be loaded
// the rest are taken to be missing too.
constexpr int kMaxPagesNotLoaded = 100;

// The time limit, checked once per page: a page that fails before it
// allocates anything never reaches the allocator's own check.
bool TimeIsUp(Context& c) {
  Budget& b = c.budget();
  if (!b.expired && NowNs() > b.deadline_ns) b.expired = true;
  return b.expired;
}

// The page's text in reading order (columns, right-to-left scripts,
// ligatures and hyphenation sorted out by PageText); false when memory ran out.
bool AppendStext(MappedText& out, const fz_stext_page* stext, const fz_stext_line* own_end) {
  try {
    std::string text = quarn::pdf::PageText(stext, own_end);
    return out.Append(text.data(), text.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Marked content may give the text its glyphs stand for (/ActualText): how
// some writers draw emoji, ligatures and glyphs that have no character of
// their own.  The text device does not see marked content, so a PDF page's
// contents are run here through a run processor whose marked-content
// operators are watched: the characters a span drew, when they lie on one
// line, become its text.
class ActualText {
 public:
  explicit ActualText(fz_stext_page* page) : page_(page) {}

  // Runs the page's contents into dev, the text device of page_.
  void Run(fz_context* ctx, pdf_page* pp, fz_device* dev, fz_cookie* cookie) {
    fz_matrix ctm;
    fz_rect mediabox;
    pdf_page_transform(ctx, pp, &mediabox, &ctm);
    pdf_processor* proc = pdf_new_run_processor(ctx, dev, ctm, "View", nullptr, nullptr, cookie);
    void* const outer = fz_user_context(ctx);
    fz_try(ctx) {
      bdc_ = proc->op_BDC;
      bmc_ = proc->op_BMC;
      emc_ = proc->op_EMC;
      proc->op_BDC = [](fz_context* c, pdf_processor* p, const char* tag, pdf_obj* raw, pdf_obj* cooked) {
        static_cast<ActualText*>(fz_user_context(c))->Begin(c, p, tag, raw, cooked);
      };
      proc->op_BMC = [](fz_context* c, pdf_processor* p, const char* tag) {
        static_cast<ActualText*>(fz_user_context(c))->BeginPlain(c, p, tag);
      };
      proc->op_EMC = [](fz_context* c, pdf_processor* p) { static_cast<ActualText*>(fz_user_context(c))->End(c, p); };
      fz_set_user_context(ctx, this);
      pdf_process_contents(ctx, proc, pp->doc, pdf_page_resources(ctx, pp), pdf_page_contents(ctx, pp), cookie);
      pdf_close_processor(ctx, proc);
    }
    fz_always(ctx) {
      fz_set_user_context(ctx, outer);
      pdf_drop_processor(ctx, proc);
    }
    fz_catch(ctx) { fz_rethrow(ctx); }
  }

 private:
  // Where the page's text ended when a span began.
  struct Mark {
    fz_stext_block* block;
    fz_stext_line* line;
    fz_stext_char* ch;
  };
  struct Span {
    bool actual;
    std::string text;
    Mark mark;
  };

  Mark Now() const {
    Mark m{page_->last_block, nullptr, nullptr};
    if (m.block && m.block->type == FZ_STEXT_BLOCK_TEXT) {
      m.line = m.block->u.t.last_line;
      if (m.line) m.ch = m.line->last_char;
    }
    return m;
  }

  void Begin(fz_context* ctx, pdf_processor* proc, const char* tag, pdf_obj* raw, pdf_obj* cooked) {
    if (bdc_) bdc_(ctx, proc, tag, raw, cooked);
    pdf_obj* text = pdf_dict_get(ctx, cooked, PDF_NAME(ActualText));
    // Within a span that gives the text, inner ones change nothing.
    const bool actual = pdf_is_string(ctx, text) && actual_open_ == 0;
    // Text shown so far goes to the device first (as the end of a text
    // object sends it), so that the span's own characters can be told.
    if (actual && proc->op_ET) proc->op_ET(ctx, proc);
    Span span{actual, actual ? std::string(pdf_to_text_string(ctx, text)) : std::string(), actual ? Now() : Mark{}};
    if (spans_.size() < 1024) spans_.push_back(std::move(span));
    else ++overflow_;
    if (actual && spans_.size() <= 1024) ++actual_open_;
  }

  void BeginPlain(fz_context* ctx, pdf_processor* proc, const char* tag) {
    if (bmc_) bmc_(ctx, proc, tag);
    if (spans_.size() < 1024) spans_.push_back(Span{false, {}, {}});
    else ++overflow_;
  }

  void End(fz_context* ctx, pdf_processor* proc) {
    if (emc_) emc_(ctx, proc);
    if (overflow_ > 0) {
      --overflow_;
      return;
    }
    if (spans_.empty()) return;
    Span span = std::move(spans_.back());
    spans_.pop_back();
    if (!span.actual) return;
    --actual_open_;
    if (proc->op_ET) proc->op_ET(ctx, proc);
    Replace(ctx, span);
  }

  // The first character drawn after mark, when every character drawn since
  // lies on the page's last line (else nullptr), that line, and the
  // character before it there (nullptr when it begins the line).
  fz_stext_char* FirstSince(const Mark& mark, fz_stext_line** line, fz_stext_char** before) const {
    fz_stext_block* last = page_->last_block;
    if (!last || last->type != FZ_STEXT_BLOCK_TEXT || !last->u.t.last_line) return nullptr;
    fz_stext_line* end = last->u.t.last_line;
    *line = end;
    *before = nullptr;
    if (mark.block == last) {
      if (mark.line == end) {
        *before = mark.ch;
        return mark.ch ? mark.ch->next : end->first_char;
      }
      // One line begun since, right after the mark's.
      const bool next = mark.line ? mark.line->next == end : last->u.t.first_line == end;
      return next ? end->first_char : nullptr;
    }
    // One block begun since, holding one line.
    const bool next = mark.block ? mark.block->next == last : page_->first_block == last;
    return next && last->u.t.first_line == end ? end->first_char : nullptr;
  }

  void Replace(fz_context* ctx, const Span& span) {
    fz_stext_line* line = nullptr;
    fz_stext_char* before = nullptr;
    fz_stext_char* first = FirstSince(span.mark, &line, &before);
    if (!first) return;
    std::vector<int> runes;
    for (const char* p = span.text.c_str(); *p && runes.size() < 4096;) {
      int rune = 0;
      p += fz_chartorune(&rune, p);
      runes.push_back(rune);
    }
    // Characters that stand for nothing are left as drawn where removing
    // them would leave the line empty.
    if (runes.empty() && !before) return;
    fz_stext_char* last = before;
    fz_stext_char* ch = first;
    std::size_t i = 0;
    for (; ch && i < runes.size(); ch = ch->next, ++i) {
      ch->c = runes[i];
      last = ch;
    }
    if (i < runes.size()) {
      // More characters than glyphs: the rest stand where the last glyph does.
      for (; i < runes.size(); ++i) {
        auto* extra = static_cast<fz_stext_char*>(fz_pool_alloc(ctx, page_->pool, sizeof(fz_stext_char)));
        *extra = *last;
        fz_keep_font(ctx, extra->font);  // each character holds its font
        extra->c = runes[i];
        extra->next = last->next;
        last->next = extra;
        if (line->last_char == last) line->last_char = extra;
        last = extra;
      }
    } else if (ch) {
      // More glyphs than characters: the glyphs left over are dropped, their
      // room given to the character before them so that no gap is read as
      // a space.
      fz_stext_char* end = ch;
      while (end->next) end = end->next;
      last->quad.ur = end->quad.ur;
      last->quad.lr = end->quad.lr;
      last->next = nullptr;
      line->last_char = last;
      for (; ch; ch = ch->next) fz_drop_font(ctx, ch->font);  // each character held its font
    }
  }

  fz_stext_page* page_;
  void (*bdc_)(fz_context*, pdf_processor*, const char*, pdf_obj*, pdf_obj*) = nullptr;
  void (*bmc_)(fz_context*, pdf_processor*, const char*) = nullptr;
  void (*emc_)(fz_context*, pdf_processor*) = nullptr;
  std::vector<Span> spans_;
  std::size_t overflow_ = 0;  // spans begun beyond the bound, not kept
  int actual_open_ = 0;
};

// Runs a page's own contents into the text device: a PDF page through
// ActualText, other documents' pages as they are.
void RunContents(fz_context* ctx, fz_page* page, fz_stext_page* stext, fz_device* dev, fz_cookie* cookie) {
  pdf_page* pp = pdf_page_from_fz_page(ctx, page);
  if (!pp) {
    fz_run_page_contents(ctx, page, dev, fz_identity, cookie);
    return;
  }
  ActualText actual(stext);
  actual.Run(ctx, pp, dev, cookie);
}

// Draws a form field's value in its box, as a viewer draws a field whose
// appearance is out of date: one line per line of the value, top down.
// Throws as MuPDF does; text is the caller's, empty.
void DrawFieldValue(fz_context* ctx, fz_device* dev, fz_font* font, fz_text* text, fz_rect box,
                    std::string_view value) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at <= value.size() && lines.size() < 1000;) {
    std::size_t end = value.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = value.size();
    if (end > at) lines.emplace_back(value.substr(at, end - at));
    at = end + 1;
  }
  if (lines.empty()) return;
  const float height = std::max(box.y1 - box.y0, 1.0f);
  const float size = std::clamp(height / static_cast<float>(lines.size()) * 0.8f, 1.0f, 12.0f);
  float baseline = box.y0 + size;
  for (const std::string& line : lines) {
    fz_show_string(ctx, text, font, fz_make_matrix(size, 0, 0, -size, box.x0 + 2, baseline), line.c_str(), 0, 0,
                   FZ_BIDI_LTR, FZ_LANG_UNSET);
    baseline += size * 1.15f;
  }
  const float black = 0;
  fz_fill_text(ctx, dev, text, fz_identity, fz_device_gray(ctx), &black, 1, fz_default_color_params);
}

// Runs what the page's form fields draw.  A form whose fields a program
// filled in often says that their appearances are out of date
// (NeedAppearances) and leaves them empty or stale for the viewer to draw
// anew from the values: there a text or choice field's value is drawn here
// in its box, as a viewer would.
void RunWidgets(fz_context* ctx, fz_page* page, fz_device* dev, fz_cookie* cookie) {
  pdf_page* pp = pdf_page_from_fz_page(ctx, page);
  if (!pp || !pdf_to_bool(ctx, pdf_dict_getp(ctx, pdf_trailer(ctx, pp->doc), "Root/AcroForm/NeedAppearances"))) {
    fz_run_page_widgets(ctx, page, dev, fz_identity, cookie);
    return;
  }
  fz_font* font = nullptr;
  fz_text* text = nullptr;
  fz_var(font);
  fz_var(text);
  fz_try(ctx) {
    font = fz_new_base14_font(ctx, "Helvetica");
    int count = 0;
    for (pdf_annot* w = pdf_first_widget(ctx, pp); w && !cookie->abort && count < 100000;
         w = pdf_next_widget(ctx, w), ++count) {
      const auto type = ::pdf_widget_type(ctx, w);
      if (type != PDF_WIDGET_TYPE_TEXT && type != PDF_WIDGET_TYPE_COMBOBOX && type != PDF_WIDGET_TYPE_LISTBOX) {
        pdf_run_annot(ctx, w, dev, fz_identity, cookie);
        continue;
      }
      if (pdf_annot_flags(ctx, w) & (PDF_ANNOT_IS_HIDDEN | PDF_ANNOT_IS_NO_VIEW)) continue;
      const char* value = pdf_annot_field_value(ctx, w);
      if (!value || !*value) continue;
      text = fz_new_text(ctx);
      // A box shows a few lines; a value beyond 64 KiB is not drawn whole.
      DrawFieldValue(ctx, dev, font, text, pdf_bound_widget(ctx, w),
                     std::string_view(value).substr(0, std::size_t{64} << 10));
      fz_drop_text(ctx, text);
      text = nullptr;
    }
  }
  fz_always(ctx) {
    fz_drop_text(ctx, text);
    fz_drop_font(ctx, font);
  }
  fz_catch(ctx) { fz_rethrow(ctx); }
}

// Appends the UTF-8 text of page `number` to out.  A page that fails keeps
// whatever text it gave before the failure.
void ReadPage(Context& c, fz_document* doc, int number, MappedText& out, PageResult& r) {
  fz_context* ctx = c.get();
  fz_page* page = nullptr;
  fz_stext_page* stext = nullptr;
  fz_device* dev = nullptr;
  fz_cookie cookie{};
  PageStatus status = PageStatus::kOk;
  bool loaded = false;
  const fz_stext_line* own_end = nullptr;  // the last line of the page's own text
  fz_var(own_end);
  fz_var(loaded);
  fz_var(page);
  fz_var(stext);
  fz_var(dev);
  fz_var(status);
  c.budget().cookie = &cookie;
  fz_try(ctx) {
    page = fz_load_page(ctx, doc, number);
    loaded = true;
    stext = fz_new_stext_page(ctx, fz_bound_page(ctx, page));
    fz_stext_options options{};
    dev = fz_new_stext_device(ctx, stext, &options);
    // The page's own text first, then what its annotations and form fields
    // draw over it, told apart so that a field's value can join its label.
    RunContents(ctx, page, stext, dev, &cookie);
    for (const fz_stext_block* b = stext->last_block; b && !own_end; b = b->prev)
      if (b->type == FZ_STEXT_BLOCK_TEXT) own_end = b->u.t.last_line;
    fz_run_page_annots(ctx, page, dev, fz_identity, &cookie);
    RunWidgets(ctx, page, dev, &cookie);
    fz_close_device(ctx, dev);
  }
  fz_always(ctx) {
    fz_drop_device(ctx, dev);
    dev = nullptr;
  }
  fz_catch(ctx) {
    status = PageStatus::kFailed;
    const char* why = c.LimitReason();
    CopyMessage(r.error, sizeof r.error, why ? why : Plain(fz_caught_message(ctx)).c_str());
  }
  c.budget().cookie = nullptr;
  if (status == PageStatus::kOk && (cookie.errors > 0 || cookie.abort)) {
    status = PageStatus::kPartial;
    const char* why = c.LimitReason();
    CopyMessage(r.error, sizeof r.error, why ? why : "errors in the page's content");
  }
  std::string comments;
  if (r.extract_pages && page) {
    comments = CommentText(ctx, page);
    if (status == PageStatus::kOk && FewWords(stext)) {
      fz_cookie measuring{};
      c.budget().cookie = &measuring;
      r.for_ocr = MostlyPicture(ctx, page, stext->mediabox, &measuring);
      c.budget().cookie = nullptr;
    }
    if (status == PageStatus::kOk && !r.for_ocr && Unreadable(stext)) r.for_ocr = true;
  }
  if (stext && !AppendStext(out, stext, own_end)) status = PageStatus::kNoMemory;
  if (r.extract_pages && status == PageStatus::kOk) {
    // Comments alone are no text of the page's own: a scan with a sticky
    // note still goes to OCR.
    if (!comments.empty() && std::string_view(out.data(), out.size()).find_first_not_of(" \t\r\n\f") ==
                                 std::string_view::npos)
      r.for_ocr = true;
    if (!comments.empty() && !out.Append(comments.data(), comments.size())) status = PageStatus::kNoMemory;
  }
  fz_drop_stext_page(ctx, stext);
  fz_drop_page(ctx, page);
  r.status = status;
  r.loaded = loaded;
  if (status == PageStatus::kNoMemory) CopyMessage(r.error, sizeof r.error, "out of memory");
}

// Appends text to out, cut so that out stays within limit bytes (at a UTF-8
// character boundary; other character sets may lose the half of one
// character there).  False when it had to cut or could not map memory.
bool AppendBounded(MappedText& out, std::string_view text, std::size_t limit) {
  if (out.size() + text.size() <= limit) return out.Append(text.data(), text.size());
  std::size_t keep = limit - out.size();
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  out.Append(text.data(), keep);
  return false;
}

// ---- document information ---------------------------------------------------

// A metadata value as one line of valid UTF-8: whitespace runs and control
// characters become single spaces, the ends are trimmed.
std::string CleanValue(const char* raw) {
  std::string out;
  const auto* s = reinterpret_cast<const unsigned char*>(raw);
  const std::size_t n = std::strlen(raw);
  bool space = false;
  for (std::size_t i = 0; i < n;) {
    unsigned char c = s[i];
    std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    bool valid = len > 0 && i + len <= n;
    for (std::size_t k = 1; valid && k < len; ++k) valid = (s[i + k] & 0xC0) == 0x80;
    if (!valid) {  // a stray byte, or a sequence MuPDF's buffer cut in two
      i += 1;
      continue;
    }
    if (c < 0x20 || c == 0x7F || c == ' ') {
      space = true;
    } else {
      if (space && !out.empty()) out.push_back(' ');
      space = false;
      out.append(raw + i, len);
    }
    i += len;
  }
  return out;
}

// The longest prefix of utf8, cut after whole characters, whose conversion
// to the system character set fits in room bytes.
std::string FitInCodePage(std::string_view utf8, std::size_t room) {
  std::string all = quarn::Utf8ToCodePage(utf8);
  if (all.size() <= room) return all;
  auto boundary = [&](std::size_t at) {
    while (at > 0 && (static_cast<unsigned char>(utf8[at]) & 0xC0) == 0x80) --at;
    return at;
  };
  if (quarn::IsUtf8CodeSet(quarn::SystemCodeSet())) return all.substr(0, boundary(room));
  std::size_t lo = 0, hi = utf8.size();  // lo fits, hi does not
  while (hi - lo > 1) {
    std::size_t mid = boundary(lo + (hi - lo) / 2);
    if (mid <= lo) mid = lo + 1;
    while (mid < hi && (static_cast<unsigned char>(utf8[mid]) & 0xC0) == 0x80) ++mid;
    if (mid >= hi) break;
    if (quarn::Utf8ToCodePage(utf8.substr(0, mid)).size() <= room) lo = mid; else hi = mid;
  }
  return quarn::Utf8ToCodePage(utf8.substr(0, lo));
}

// One metadata value (UTF-8, possibly cut by MuPDF mid-character) into buf.
bool LookupMetadata(fz_context* ctx, fz_document* doc, const char* key, char* buf, int size) {
  int found = -1;
  fz_var(found);
  buf[0] = '\0';
  fz_try(ctx) { found = fz_lookup_metadata(ctx, doc, key, buf, size); }
  fz_catch(ctx) { found = -1; }
  buf[size - 1] = '\0';
  return found >= 0;
}

int FillDocInfo(const char* path, char* info) {
  Context c;
  Document doc(c, path);
  if (doc.result().status != Opened::kOk) return 0;
  fz_context* ctx = c.get();
  static const struct {
    const char* key;
    const char* label;
  } kFields[] = {
      {FZ_META_INFO_TITLE, "Title"},     {FZ_META_INFO_AUTHOR, "Author"},
      {FZ_META_INFO_SUBJECT, "Subject"}, {FZ_META_INFO_KEYWORDS, "Keywords"},
      {FZ_META_INFO_CREATOR, "Creator"}, {FZ_META_INFO_PRODUCER, "Producer"},
  };
  std::string text;
  const std::string pages = "Pages: " + std::to_string(doc.result().pages) + "\n";
  for (const auto& field : kFields) {
    char value[PDFINFO_INFO_SIZE];
    if (!LookupMetadata(ctx, doc.get(), field.key, value, sizeof value)) continue;
    std::string clean = CleanValue(value);
    if (!clean.empty()) text += std::string(field.label) + ": " + clean + "\n";
  }
  // The page count always fits: long values give way to it.
  std::string fitted = FitInCodePage(text, PDFINFO_INFO_SIZE - 1 - pages.size());
  fitted += pages;
  std::memcpy(info, fitted.data(), fitted.size());
  info[fitted.size()] = '\0';
  return 1;
}

char* ReadAllText(const char* path) {
  Context c;
  Document doc(c, path);
  if (doc.result().status != Opened::kOk) return nullptr;
  const bool utf8 = quarn::IsUtf8CodeSet(quarn::SystemCodeSet());
  MappedText out;
  MappedText page;
  int not_loaded = 0;
  for (int i = 0; i < doc.result().pages && !TimeIsUp(c); ++i) {
    page.Clear();
    PageResult r;
    ReadPage(c, doc.get(), i, page, r);
    not_loaded = r.loaded ? 0 : not_loaded + 1;
    std::string_view text(page.data(), page.size());
    bool room = utf8 ? AppendBounded(out, text, PDFINFO_TEXT_LIMIT)
                     : AppendBounded(out, quarn::Utf8ToCodePage(text), PDFINFO_TEXT_LIMIT);
    if (!room || r.status == PageStatus::kNoMemory || c.budget().expired || not_loaded >= kMaxPagesNotLoaded) break;
  }
  return out.Release();
}

int ExtractPages(const char* path, PdfPageTextFunc on_page, void* user, char* error, std::size_t error_size) {
  Context c;
  Document doc(c, path);
  if (const int status = OpenStatus(doc.result(), error, error_size); status != PDFINFO_OK) return status;
  const int pages = doc.result().pages;
  MappedText page;
  std::size_t total = 0;
  bool any_text = false;
  int failed = 0;
  int not_loaded = 0;
  std::string first_problem;
  auto note = [&](int number, const char* why) {
    ++failed;
    if (first_problem.empty()) first_problem = "page " + std::to_string(number + 1) + ": " + why;
  };
  // Pages that fail for the file's sake say it is damaged; the limits are ours.
  auto page_problems = [&] {
    std::string why = c.LimitReason() ? first_problem : kDamaged + first_problem;
    if (failed > 1) why += " (and " + std::to_string(failed - 1) + " more pages)";
    return why;
  };
  for (int i = 0; i < pages; ++i) {
    if (TimeIsUp(c)) {
      std::string why = std::string(c.LimitReason()) + "; stopped at page " + std::to_string(i + 1) + " of " +
                        std::to_string(pages);
      CopyMessage(error, error_size, why.c_str());
      return any_text ? PDFINFO_INCOMPLETE : PDFINFO_DAMAGED;
    }
    page.Clear();
    PageResult r;
    r.extract_pages = true;
    ReadPage(c, doc.get(), i, page, r);
    if (r.status != PageStatus::kOk) note(i, r.error);
    not_loaded = r.loaded ? 0 : not_loaded + 1;
    if (not_loaded >= kMaxPagesNotLoaded) {
      // The pages past the ones the file really holds: what was read stays.
      std::string why = std::string(kDamaged) + "its page tree claims " + std::to_string(pages) +
                        " pages, but pages " + std::to_string(i + 2 - not_loaded) + " to " +
                        std::to_string(i + 1) + " cannot be found (" + first_problem +
                        "); the pages before them were read";
      CopyMessage(error, error_size, why.c_str());
      return any_text ? PDFINFO_INCOMPLETE : PDFINFO_DAMAGED;
    }
    std::size_t size = page.size();
    bool cut = false;
    if (size > PDFINFO_TEXT_LIMIT - total) {
      size = PDFINFO_TEXT_LIMIT - total;
      while (size > 0 && (static_cast<unsigned char>(page.data()[size]) & 0xC0) == 0x80) --size;
      cut = true;
    }
    total += size;
    if (size > 0) any_text = true;
    if (on_page(user, i, page.data(), size, r.for_ocr ? PDFINFO_PAGE_FOR_OCR : 0) != 0)
      return PDFINFO_STOPPED;
    if (cut) {
      CopyMessage(error, error_size, ("the text was cut at " + std::to_string(PDFINFO_TEXT_LIMIT >> 20) +
                                      " MiB, on page " + std::to_string(i + 1))
                                         .c_str());
      return PDFINFO_INCOMPLETE;
    }
    if (c.budget().expired || r.status == PageStatus::kNoMemory) {
      std::string why = std::string(c.LimitReason() ? c.LimitReason() : r.error) + "; stopped at page " +
                        std::to_string(i + 1) + " of " + std::to_string(pages);
      CopyMessage(error, error_size, why.c_str());
      return any_text ? PDFINFO_INCOMPLETE : PDFINFO_DAMAGED;
    }
  }
  if (failed > 0) {
    CopyMessage(error, error_size, page_problems().c_str());
    return any_text ? PDFINFO_INCOMPLETE : PDFINFO_DAMAGED;
  }
  return any_text ? PDFINFO_OK : PDFINFO_NO_TEXT;
}

// ---- embedded files --------------------------------------------------------

constexpr int kMaxAttachments = 10000;

// MuPDF reports errors with longjmp: the lookups below run in fz_try blocks
// of their own with plain variables only, and the collecting is done outside.

// The file entry at index i of the EmbeddedFiles name tree, when it
// holds an embedded file.
pdf_obj* TreeFile(fz_context* ctx, pdf_obj* tree, int i) {
  pdf_obj* fs = nullptr;
  fz_var(fs);
  fz_try(ctx) {
    fs = pdf_dict_get_val(ctx, tree, i);
    if (!pdf_is_embedded_file(ctx, fs)) fs = nullptr;
  }
  fz_catch(ctx) { fs = nullptr; }
  return fs;
}

// The file entry of comment i of a page, when the comment is a
// file attachment with an embedded file.
pdf_obj* CommentFile(fz_context* ctx, pdf_obj* annots, int i) {
  pdf_obj* fs = nullptr;
  fz_var(fs);
  fz_try(ctx) {
    pdf_obj* a = pdf_array_get(ctx, annots, i);
    if (pdf_name_eq(ctx, pdf_dict_get(ctx, a, PDF_NAME(Subtype)), PDF_NAME(FileAttachment))) {
      fs = pdf_dict_get(ctx, a, PDF_NAME(FS));
      if (!pdf_is_embedded_file(ctx, fs)) fs = nullptr;
    }
  }
  fz_catch(ctx) { fs = nullptr; }
  return fs;
}

// A page's /Annots, read without loading the page; nullptr when it has none.
// *found tells whether the page is in the page tree at all.
pdf_obj* PageAnnots(fz_context* ctx, pdf_document* doc, int page, bool* found) {
  pdf_obj* annots = nullptr;
  pdf_obj* object = nullptr;
  fz_var(annots);
  fz_var(object);
  fz_try(ctx) {
    object = pdf_lookup_page_obj(ctx, doc, page);
    annots = pdf_dict_get(ctx, object, PDF_NAME(Annots));
  }
  fz_catch(ctx) { annots = nullptr; }
  *found = object != nullptr;
  return annots;
}

pdf_obj* LoadEmbeddedFilesTree(fz_context* ctx, pdf_document* doc) {
  pdf_obj* tree = nullptr;
  fz_var(tree);
  fz_try(ctx) { tree = pdf_load_name_tree(ctx, doc, PDF_NAME(EmbeddedFiles)); }
  fz_catch(ctx) { tree = nullptr; }  // a damaged name tree costs its files
  return tree;
}

// The file entries of the document's embedded files, in document
// order and each once: the EmbeddedFiles name tree, then each page's file
// attachment comments.  The tree is dropped by the caller (*tree).
std::vector<pdf_obj*> EmbeddedFiles(Context& c, pdf_document* doc, int pages, pdf_obj** tree) {
  fz_context* ctx = c.get();
  std::vector<pdf_obj*> files;
  std::unordered_set<int> seen;
  auto take = [&](pdf_obj* fs) {
    if (!fs || files.size() >= static_cast<std::size_t>(kMaxAttachments)) return;
    const int number = pdf_to_num(ctx, fs);
    if (number > 0 && !seen.insert(number).second) return;
    files.push_back(fs);
  };
  *tree = LoadEmbeddedFilesTree(ctx, doc);
  const int n = pdf_dict_len(ctx, *tree);
  for (int i = 0; i < n; ++i) take(TreeFile(ctx, *tree, i));
  // A page tree may claim far more pages than the file holds: as when
  // reading the pages, a run of pages that cannot be found ends the search.
  int missing = 0;
  for (int p = 0; p < pages && files.size() < static_cast<std::size_t>(kMaxAttachments); ++p) {
    if (TimeIsUp(c)) break;
    bool found = false;
    pdf_obj* annots = PageAnnots(ctx, doc, p, &found);
    missing = found ? 0 : missing + 1;
    if (missing >= kMaxPagesNotLoaded) break;
    const int count = pdf_array_len(ctx, annots);
    for (int i = 0; i < count; ++i) take(CommentFile(ctx, annots, i));
  }
  return files;
}

// The name a file entry gives its file: the Unicode name, else the
// plain one, else a stand-in.
std::string EmbeddedName(fz_context* ctx, pdf_obj* fs) {
  const char* text = nullptr;
  fz_var(text);
  fz_try(ctx) {
    text = pdf_dict_get_text_string(ctx, fs, PDF_NAME(UF));
    if (!text || !*text) text = pdf_dict_get_text_string(ctx, fs, PDF_NAME(F));
  }
  fz_catch(ctx) { text = nullptr; }
  return text && *text ? std::string(text) : std::string("attachment");
}

// The file's stated size (-1 when it states none) and, when that is within
// max_bytes, its contents (nullptr when they cannot be read).
fz_buffer* LoadEmbedded(fz_context* ctx, pdf_obj* fs, std::size_t max_bytes, int64_t* stated) {
  fz_buffer* contents = nullptr;
  pdf_embedded_file_params params{};
  params.size = -1;
  fz_var(contents);
  fz_stream* stream = nullptr;
  fz_var(stream);
  fz_try(ctx) {
    pdf_get_embedded_file_params(ctx, fs, &params);
    if (params.size < 0 || static_cast<std::uint64_t>(params.size) <= max_bytes) {
      pdf_obj* ef = pdf_dict_get(ctx, fs, PDF_NAME(EF));
      pdf_obj* file = pdf_dict_get(ctx, ef, PDF_NAME(F));
      if (!file) file = pdf_dict_get(ctx, ef, PDF_NAME(UF));
      if (file) {
        // Read no more than max_bytes and a byte: a stream that unpacks to
        // far more than it states (a compression bomb) stops there.
        stream = pdf_open_stream(ctx, file);
        contents = fz_new_buffer(ctx, 64 << 10);
        for (;;) {
          if (contents->len == contents->cap) fz_grow_buffer(ctx, contents);
          const std::size_t room = std::min(contents->cap - contents->len, max_bytes + 1 - contents->len);
          const std::size_t got = fz_read(ctx, stream, contents->data + contents->len, room);
          contents->len += got;
          if (got == 0) break;
          if (contents->len > max_bytes) fz_throw(ctx, FZ_ERROR_GENERIC, "the file is larger than it states");
        }
      }
    }
  }
  fz_always(ctx) { fz_drop_stream(ctx, stream); }
  fz_catch(ctx) {
    fz_drop_buffer(ctx, contents);
    contents = nullptr;
  }
  *stated = params.size;
  return contents;
}

int ExtractAttachments(const char* path, std::size_t max_bytes, PdfAttachmentFunc on_file, void* user, char* error,
                       std::size_t error_size) {
  Context c;
  Document doc(c, path);
  if (const int status = OpenStatus(doc.result(), error, error_size); status != PDFINFO_OK) return status;
  fz_context* ctx = c.get();
  pdf_document* pdoc = pdf_specifics(ctx, doc.get());
  if (!pdoc) return PDFINFO_OK;
  pdf_obj* tree = nullptr;
  const std::vector<pdf_obj*> files = EmbeddedFiles(c, pdoc, doc.result().pages, &tree);
  struct DropTree {
    fz_context* ctx;
    pdf_obj* tree;
    ~DropTree() { pdf_drop_obj(ctx, tree); }
  } drop_tree{ctx, tree};
  for (pdf_obj* fs : files) {
    if (TimeIsUp(c)) break;
    const std::string name = EmbeddedName(ctx, fs);
    int64_t stated = -1;
    fz_buffer* contents = LoadEmbedded(ctx, fs, max_bytes, &stated);
    unsigned char* data = nullptr;
    const std::size_t size = contents ? fz_buffer_storage(ctx, contents, &data) : 0;
    // A stream may hold more than it states: the size read is checked too.
    const int stop = contents && size <= max_bytes
                         ? on_file(user, name.c_str(), reinterpret_cast<const char*>(data), size)
                         : on_file(user, name.c_str(), nullptr,
                                   contents ? size : stated > 0 ? static_cast<std::size_t>(stated) : 0);
    fz_drop_buffer(ctx, contents);
    if (stop != 0) return PDFINFO_STOPPED;
  }
  return PDFINFO_OK;
}

}  // namespace

extern "C" {

int GetDocInfo(const char* path, char* info) {
  if (!info) return 0;
  info[0] = '\0';
  if (!path) return 0;
  try {
    return FillDocInfo(path, info);
  } catch (const std::exception&) {
    info[0] = '\0';
    return 0;
  }
}

char* GetTextContentFormated(const char* path, int, int) {
  if (!path) return nullptr;
  try {
    return ReadAllText(path);
  } catch (const std::exception&) {
    return nullptr;
  }
}

int PdfExtractPages(const char* path, PdfPageTextFunc on_page, void* user, char* error, size_t error_size) {
  if (error && error_size) error[0] = '\0';
  if (!path || !on_page) {
    CopyMessage(error, error_size, "no document");
    return PDFINFO_DAMAGED;
  }
  try {
    return ExtractPages(path, on_page, user, error, error_size);
  } catch (const std::exception& e) {
    CopyMessage(error, error_size, e.what());
    return PDFINFO_DAMAGED;
  }
}

int PdfExtractAttachments(const char* path, size_t max_bytes, PdfAttachmentFunc on_file, void* user, char* error,
                          size_t error_size) {
  if (error && error_size) error[0] = '\0';
  if (!path || !on_file) {
    CopyMessage(error, error_size, "no document");
    return PDFINFO_DAMAGED;
  }
  try {
    return ExtractAttachments(path, max_bytes, on_file, user, error, error_size);
  } catch (const std::exception& e) {
    CopyMessage(error, error_size, e.what());
    return PDFINFO_DAMAGED;
  }
}

}  // extern "C"

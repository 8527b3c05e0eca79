#include "convert/filters/pdf_filter.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "convert/conversion_options.h"
#include "convert/filters/members.h"
#include "convert/filters/module.h"
#include "convert/filters/sniff.h"
#include "convert/pdf_library.h"

namespace quarn {

namespace {

bool Blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

// A problem met on several pages, in the form of OCR's own: the first page
// with it, and how many more had it.
std::string PagesProblem(int first_page, int pages, const std::string& problem) {
  std::string said = "page " + std::to_string(first_page + 1) + ": " + problem;
  if (pages > 1) said += " (and " + std::to_string(pages - 1) + " more pages)";
  return said;
}

// Takes the pages in order.  Pages go straight to the sink until the first
// page for OCR; from there on they wait in held_ until the pages for OCR
// have been read, so the text keeps the page order.  A page goes to OCR when
// it has no text, or when the library says its words are in its pictures (a
// scan with a few words stamped on it, or with comments only): the text it
// has is kept, before what OCR reads.
class PageCollector {
 public:
  PageCollector(TextSink& sink, bool ocr) : sink_(sink), ocr_(ocr) {}

  int Take(int number, std::string_view text, unsigned hints) {
    seen_ = std::max(seen_, number + 1);
    const bool blank = Blank(text);
    // With text recognition turned off, a page whose words are in its
    // pictures is read for what text it has, and counted as not read whole.
    if (!ocr_ && (hints & PDFINFO_PAGE_FOR_OCR) && unread_pictures_++ == 0) first_unread_picture_ = number;
    if (ocr_ && (blank || (hints & PDFINFO_PAGE_FOR_OCR))) {
      for_ocr_.push_back(number);
      held_.push_back({number, blank ? std::string() : std::string(text)});
      held_size_ += held_.back().text.size();
      return 0;
    }
    if (held_.empty()) {
      Emit(text);
    } else {
      held_.push_back({number, std::string(text)});
      held_size_ += text.size();
      if (held_size_ > sink_.limit()) return 1;  // the sink would be full anyway
    }
    return sink_.full() ? 1 : 0;
  }

  const std::vector<int>& ocr_pages() const { return for_ocr_; }
  // Pages whose words are in their pictures, when text recognition is off:
  // said as OCR's own problem would be, or empty.
  std::string UnreadPictures() const {
    if (unread_pictures_ == 0) return {};
    return PagesProblem(first_unread_picture_, unread_pictures_, "text recognition (OCR) is turned off");
  }
  // The pages handed over.
  int seen() const { return seen_; }

  // Writes the held pages, each page for OCR followed by what OCR read
  // (results in the order of ocr_pages()).  Returns the first problem
  // OCR met, with the number of pages that had one.
  std::string Flush(const std::vector<RecognizedPage>& results) {
    std::size_t next = 0;
    std::string problem;
    int first_troubled = 0;
    int troubled = 0;
    for (const Held& page : held_) {
      if (sink_.full()) break;
      if (next < for_ocr_.size() && for_ocr_[next] == page.number) {
        const RecognizedPage* r = next < results.size() ? &results[next] : nullptr;
        ++next;
        if (!page.text.empty()) Emit(page.text);
        if (!r) continue;
        sink_.AppendRecognizedPage(r->text);
        if (!r->problem.empty() && troubled++ == 0) {
          first_troubled = page.number;
          problem = r->problem;
        }
      } else {
        Emit(page.text);
      }
    }
    return troubled > 0 ? PagesProblem(first_troubled, troubled, problem) : std::string();
  }

 private:
  struct Held {
    int number;
    std::string text;
  };

  void Emit(std::string_view text) {
    sink_.Append(text);
    sink_.EndLine();
    sink_.EndChunk();
  }

  TextSink& sink_;
  const bool ocr_;
  std::vector<int> for_ocr_;
  std::vector<Held> held_;
  std::size_t held_size_ = 0;
  int seen_ = 0;
  int unread_pictures_ = 0;
  int first_unread_picture_ = 0;
};

int TakePage(void* user, int number, const char* text, size_t size, unsigned hints) {
  return static_cast<PageCollector*>(user)->Take(number, std::string_view(text, size), hints);
}

// Files embedded in the document (its attached files, a portfolio's
// documents, files attached to comments) follow its pages, as a mail's
// attachments follow its body: each by name, then its text when a filter
// reads it (pictures are named only, as in mail).
constexpr std::size_t kMaxAttachmentBytes = std::size_t{64} << 20;

struct AttachmentReader {
  TextSink& sink;
  PrivateFolder folder;
};

int TakeAttachment(void* user, const char* name, const char* data, size_t size) {
  auto* r = static_cast<AttachmentReader*>(user);
  const std::string shown = MemberBaseName(name);
  r->sink.Line("Attachment: " + shown);
  const std::string_view bytes = data ? std::string_view(data, size) : std::string_view();
  if (!bytes.empty() && !IsPictureAttachment(bytes)) {
    TextSink member = MemberSink(r->sink);
    ExtractResult result = ExtractMemberBytes(r->folder, shown, bytes, member);
    AppendMemberText(member, r->sink);
    r->sink.EndLine();
    if (result.status == ExtractResult::Status::kPassword) r->sink.Line("(password-protected)");
  }
  return r->sink.full() ? 1 : 0;
}

class PdfFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto redirected = ExtractRedirected(path, "pdf", sink)) return *redirected;
    std::string missing;
    const PdfLibrary* pdf = LoadPdfLibrary(&missing);
    if (!pdf) return ExtractResult::Failed(missing);
    const bool ocr = CurrentConversionOptions().ocr;
    PageCollector pages(sink, ocr);
    char error[512] = "";
    const int status = pdf->PdfExtractPages(path.c_str(), TakePage, &pages, error, sizeof error);
    if (status == PDFINFO_PASSWORD) return ExtractResult::Password();
    // Every page was read: their number is the document's.
    if (status == PDFINFO_OK || status == PDFINFO_NO_TEXT) sink.set_pages(pages.seen());
    std::string ocr_problem;
    if (!pages.ocr_pages().empty()) {
      std::string why;
      const FilterModule* module = LoadFilterModule("image", &why);
      std::vector<RecognizedPage> results;
      if (module && module->recognize_pdf_pages) results = module->recognize_pdf_pages(path, pages.ocr_pages());
      else ocr_problem = "pages without text could not be read: " + why;
      std::string problem = pages.Flush(results);
      if (ocr_problem.empty()) ocr_problem = problem;
      if (!ocr_problem.empty()) ocr_problem = std::string(kPdfOcrProblem) + ocr_problem;
    }
    if (const std::string unread = pages.UnreadPictures(); !unread.empty())
      ocr_problem = std::string(kPdfOcrProblem) + unread;
    if (status == PDFINFO_STOPPED) return ExtractResult::Ok();  // the sink is full; the adapter reports the cut
    if (status != PDFINFO_DAMAGED) {
      AttachmentReader attachments{sink, {}};
      char attachment_error[256] = "";
      pdf->PdfExtractAttachments(path.c_str(), kMaxAttachmentBytes, TakeAttachment, &attachments, attachment_error,
                                 sizeof attachment_error);
    }
    const bool read = status == PDFINFO_OK || status == PDFINFO_NO_TEXT;
    if (sink.empty()) {
      // Nothing to read, by text or by OCR: the PDF route reports the
      // document information instead.
      if (read) return ExtractResult::Failed(ocr_problem.empty() ? "the PDF has no text layer" : ocr_problem);
      // The library's reasons are already in the user's words.
      return ExtractResult::Failed(error[0] ? std::string(error) : std::string("the PDF file is damaged"));
    }
    if (read) return ocr_problem.empty() ? ExtractResult::Ok() : ExtractResult::Incomplete(ocr_problem);
    std::string why = error[0] ? error : "pages of the PDF cannot be read";
    if (!ocr_problem.empty()) why += "; " + ocr_problem;
    return ExtractResult::Incomplete(why);
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePdfFilter() { return std::make_unique<PdfFilter>(); }

}  // namespace quarn

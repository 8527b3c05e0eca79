// The base every built-in format filter derives from.  A built-in filter reads
// the whole document in Extract and writes UTF-8 text into a TextSink; the
// adapter here serves that text through the plug-in interface of
// filter_api.h, chunk by chunk, so the conversion pipeline cannot tell a
// built-in from a loaded plug-in.  One object per document, used from the
// worker thread that created it; Extract must not touch shared mutable state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filter_api.h"

namespace quarn {

class Registry;

// What every level of one document shares when it holds other documents (an
// archive's members, a message's attachments, archives inside archives): the
// bytes unpacked and the members visited so far, so that a nested bomb is
// bounded as a whole and not level by level.
struct ContainerBudget {
  std::uint64_t unpacked_bytes = 0;
  std::uint64_t members = 0;  // visited
  std::uint64_t read = 0;     // handed to a filter
};

// Where a document sits: the registry that finds the filters of the
// documents inside it (null: the built-in filters by extension), how deep it
// lies inside other documents (0: the document that was asked for), and the
// budget of its outermost document (null: its own).
struct Nesting {
  const Registry* registry = nullptr;
  int depth = 0;
  ContainerBudget* budget = nullptr;
};

// Where a filter's text goes.  Text inside one chunk is joined as written; the
// pipeline puts one space between chunks.  A paragraph ends with "\n"; a table
// row is one line of tab-separated cells.
class TextSink {
 public:
  // Largest number of UTF-8 bytes one document may produce; text beyond it is
  // dropped and the document reported incomplete.
  static constexpr std::size_t kDefaultLimit = std::size_t{256} << 20;

  explicit TextSink(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  // Appends UTF-8 text to the current chunk.  Invalid UTF-8 is shown as
  // U+FFFD when the text is served; NUL characters are dropped.  Line ends
  // become "\n": CR LF and a lone CR alike (also when the CR ends one piece
  // and the LF starts the next), so every text file has one convention
  // whatever the document's own was.
  void Append(std::string_view utf8);
  // Appends text and a line break.
  void Line(std::string_view utf8) {
    Append(utf8);
    Append("\n");
  }
  // Ends the current line unless the text so far already ends one (or is empty).
  void EndLine();
  // Ends the current chunk; the next Append starts a new one.  Empty chunks
  // are never served.
  void EndChunk();

  // True once the limit was reached: Extract should stop reading.
  bool full() const { return truncated_; }
  bool truncated() const { return truncated_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t limit() const { return limit_; }

  // The chunks, in order (the last may still be open).
  const std::vector<std::string>& chunks() const { return chunks_; }
  // Frees the text of chunk i once it has been served (it then reads as empty).
  void ReleaseChunk(std::size_t i) {
    if (i < chunks_.size()) std::string().swap(chunks_[i]);
  }
  // All text joined, chunks separated by one space: handy for tests and for
  // filters that wrap another filter's text.
  std::string Joined() const;

  // Where the document being read sits (see Nesting); set by whoever creates
  // the sink, read by filters that hand documents inside it to other filters.
  void set_nesting(const Nesting& nesting) { nesting_ = nesting; }
  const Nesting& nesting() const { return nesting_; }
  // The budget shared by every level of the outermost document.
  ContainerBudget& budget() { return nesting_.budget ? *nesting_.budget : own_budget_; }
  // Appends the text that OCR read from one page or picture as a chunk of its
  // own and counts the page as read by OCR, so the run can say so.  Text of
  // nothing but white space adds nothing and counts nothing; false then.
  bool AppendRecognizedPage(std::string_view utf8);
  std::size_t recognized_pages() const { return recognized_pages_; }
  // Counts pages that OCR read in a document inside this one (a scanned
  // picture in an archive or a mail), whose text was appended as such.
  void CountRecognizedPages(std::size_t pages) { recognized_pages_ += pages; }
  // The document's pages (a presentation's slides), for a filter that knows
  // them cheaply; -1 (the default) when not known.
  void set_pages(std::int64_t pages) { pages_ = pages; }
  std::int64_t pages() const { return pages_; }

 private:
  std::vector<std::string> chunks_;
  bool chunk_open_ = false;
  bool after_cr_ = false;  // the current chunk's last character was a CR
  std::size_t size_ = 0;
  std::size_t limit_;
  bool truncated_ = false;
  Nesting nesting_;
  ContainerBudget own_budget_;
  std::size_t recognized_pages_ = 0;
  std::int64_t pages_ = -1;
};

// What Extract reports.  Starts out failed, so a filter must say it succeeded.
struct ExtractResult {
  enum class Status {
    kOk,             // the whole text was read
    kIncomplete,     // some text was read; reason says what is missing
    kFailed,         // no usable text; reason says why
    kPassword,       // the document is password-protected
    kUnknownFormat,  // the content is not what this filter reads
  };
  Status status = Status::kFailed;
  std::string reason = "no text was extracted";

  static ExtractResult Ok() { return {Status::kOk, {}}; }
  static ExtractResult Incomplete(std::string why) { return {Status::kIncomplete, std::move(why)}; }
  static ExtractResult Failed(std::string why) { return {Status::kFailed, std::move(why)}; }
  static ExtractResult Password() { return {Status::kPassword, "the document is password-protected"}; }
  // Encrypted for rights management: its key is held by a server, not a password.
  static ExtractResult RightsManaged() { return {Status::kPassword, "the document is protected by rights management"}; }
  static ExtractResult UnknownFormat(std::string why) {
    return {Status::kUnknownFormat, std::move(why)};
  }
  bool ok() const { return status == Status::kOk; }
  // A document read in part for these reasons, joined by "; "; whole when there are none.
  static ExtractResult PartlyRead(const std::vector<std::string>& reasons) {
    if (reasons.empty()) return Ok();
    std::string all;
    for (const std::string& r : reasons) all += (all.empty() ? "" : "; ") + r;
    return Incomplete(std::move(all));
  }
};

class BuiltinFilter {
 public:
  virtual ~BuiltinFilter() = default;
  // Reads the document at path (a native byte path) into sink.  May throw;
  // the adapter turns an exception into a failure with its message.
  virtual ExtractResult Extract(const std::string& path, TextSink& sink) = 0;
};

// What a library says about the document a filter is reading on this thread
// (a warning about damage, say), kept for the filter's diagnostic instead of
// reaching standard error.  Dropped when no filter is reading on the thread.
void NoteLibraryMessage(std::string_view message);

// Wraps a built-in filter object in the plug-in interface.  The caller owns
// the result and frees it through its vtbl->release.  registry, when given,
// finds the filters of the documents inside the one read.
QuarnFilter* WrapBuiltinFilter(std::unique_ptr<BuiltinFilter> filter,
                               std::size_t text_limit = TextSink::kDefaultLimit,
                               const Registry* registry = nullptr);

}  // namespace quarn

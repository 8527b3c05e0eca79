#include "convert/filters/builtin_filter.h"

#include "convert/big_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "convert/filter_path.h"

namespace quarn {

void TextSink::Append(std::string_view utf8) {
  if (utf8.empty() || truncated_) return;
  if (!chunk_open_) {
    chunks_.emplace_back();
    chunk_open_ = true;
    after_cr_ = false;
  }
  if (after_cr_ && utf8.front() == '\n') utf8.remove_prefix(1);
  after_cr_ = false;
  if (utf8.empty()) return;
  if (utf8.size() > limit_ - size_) {
    // Cut at a character boundary so the kept text stays valid UTF-8.
    std::size_t keep = limit_ - size_;
    while (keep > 0 && (static_cast<unsigned char>(utf8[keep]) & 0xC0) == 0x80) --keep;
    utf8 = utf8.substr(0, keep);
    truncated_ = true;
  }
  std::string& chunk = chunks_.back();
  GrowBuffer(chunk, utf8.size(), limit_);
  const std::size_t start = chunk.size();
  chunk.append(utf8);
  if (std::memchr(utf8.data(), '\r', utf8.size())) {
    std::size_t w = start;
    bool cr = false;
    for (std::size_t r = start; r < chunk.size(); ++r) {
      const char c = chunk[r];
      if (c == '\n' && cr) {
        cr = false;
        continue;
      }
      cr = c == '\r';
      chunk[w++] = cr ? '\n' : c;
    }
    after_cr_ = cr;
    chunk.resize(w);
  }
  size_ += chunk.size() - start;
}

void TextSink::EndLine() {
  if (chunk_open_ && !chunks_.back().empty() && chunks_.back().back() != '\n') Append("\n");
}

void TextSink::EndChunk() { chunk_open_ = false; }

bool TextSink::AppendRecognizedPage(std::string_view utf8) {
  if (utf8.find_first_not_of(" \t\r\n") == std::string_view::npos) return false;
  EndChunk();
  Append(utf8);
  EndLine();
  EndChunk();
  ++recognized_pages_;
  return true;
}

std::string TextSink::Joined() const {
  std::string all;
  all.reserve(size_ + chunks_.size());
  for (std::size_t i = 0; i < chunks_.size(); ++i) {
    if (i) all.push_back(' ');
    all += chunks_[i];
  }
  return all;
}

namespace {

// The messages of the document being read on this thread, while its
// filter's Extract runs.
thread_local std::vector<std::string>* library_messages = nullptr;

// Collects the library messages of one Extract call on this thread.
class LibraryMessages {
 public:
  LibraryMessages() : outer_(library_messages) { library_messages = &messages_; }
  ~LibraryMessages() { library_messages = outer_; }
  LibraryMessages(const LibraryMessages&) = delete;
  LibraryMessages& operator=(const LibraryMessages&) = delete;

  // The messages as a reason: the first, and how many more there were.
  std::string Reason() const {
    if (messages_.empty()) return {};
    std::string why = "the file is damaged: " + messages_.front();
    if (messages_.size() > 1) why += " (and " + std::to_string(messages_.size() - 1) + " more warnings)";
    return why;
  }

 private:
  std::vector<std::string>* outer_;
  std::vector<std::string> messages_;
};

// The plug-in object behind a built-in filter; the interface pointer is its
// QuarnFilter base.
struct BuiltinObject : QuarnFilter {
  std::unique_ptr<BuiltinFilter> impl;
  TextSink sink;
  std::string path;
  std::string diagnostic;
  bool loaded = false;
  bool initialised = false;
  std::size_t next_chunk = 0;  // index of the chunk GetChunk hands out next
  std::size_t current = 0;     // index + 1 of the chunk being read, 0 before the first
  std::size_t offset = 0;      // read position in the current chunk, in bytes
  std::size_t released = 0;    // bytes at the start of the current chunk given back to the system

  BuiltinObject(std::unique_ptr<BuiltinFilter> f, std::size_t limit)
      : QuarnFilter{}, impl(std::move(f)), sink(limit) {}
};

// How much of a chunk is served before its pages are given back.
constexpr std::size_t kReleaseStep = std::size_t{8} << 20;

BuiltinObject* Self(QuarnFilter* f) { return static_cast<BuiltinObject*>(f); }

QUARN_HRESULT Load(QuarnFilter* f, const QUARN_WCHAR* path, uint32_t) {
  BuiltinObject* self = Self(f);
  if (!path) return QUARN_E_INVALIDARG;
  // A unit of the path never makes more than three bytes: room for the
  // path, up to the longest one taken.
  std::size_t units = 0;
  while (path[units] != 0 && units < 4 * 4096) ++units;
  std::string native(std::min<std::size_t>(3 * units, 4 * 4096) + 1, '\0');
  std::size_t n = quarn_path_from_utf16(path, native.data(), native.size());
  if (n == static_cast<std::size_t>(-1) || n == 0) {
    self->diagnostic = n == 0 ? "empty path" : "path too long";
    return QUARN_E_INVALIDARG;
  }
  native.resize(n);
  // Without waiting: a pipe put where the document was must not block.
  int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    self->diagnostic = std::string("cannot open the document: ") + std::strerror(errno);
    return QUARN_FILTER_E_ACCESS;
  }
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!regular) {
    self->diagnostic = "not a document: only regular files are read";
    return QUARN_FILTER_E_ACCESS;
  }
  self->path = std::move(native);
  self->loaded = true;
  return QUARN_S_OK;
}

QUARN_HRESULT Init(QuarnFilter* f, uint32_t, uint32_t, const void*, uint32_t* flags_out) {
  BuiltinObject* self = Self(f);
  if (flags_out) *flags_out = 0;
  if (!self->loaded) return QUARN_E_FAIL;
  if (self->initialised) return QUARN_S_OK;
  ExtractResult result;
  LibraryMessages messages;
  try {
    result = self->impl->Extract(self->path, self->sink);
  } catch (const std::bad_alloc&) {
    result = ExtractResult::Failed("out of memory");
  } catch (const std::exception& e) {
    result = ExtractResult::Failed(e.what());
  } catch (...) {
    result = ExtractResult::Failed("unexpected error in the filter");
  }
  self->impl.reset();  // the text is in the sink; free the parser's state now
  self->initialised = true;
  // A library's warnings say what its reader met; they only make a reason
  // where the filter had none of its own.
  if (result.status == ExtractResult::Status::kOk && !self->sink.truncated() && !messages.Reason().empty())
    result = ExtractResult::Incomplete(messages.Reason());
  using S = ExtractResult::Status;
  switch (result.status) {
    case S::kOk:
      if (self->sink.truncated())
        self->diagnostic = "the text was cut at " + std::to_string(self->sink.limit() >> 20) + " MiB";
      return QUARN_S_OK;
    case S::kIncomplete:
      self->diagnostic = result.reason;
      if (self->sink.truncated() && self->diagnostic.empty())
        self->diagnostic = "the text was cut at " + std::to_string(self->sink.limit() >> 20) + " MiB";
      return QUARN_S_OK;
    case S::kFailed:
      self->diagnostic = result.reason;
      return QUARN_E_FAIL;
    case S::kPassword:
      self->diagnostic = result.reason;
      return QUARN_FILTER_E_PASSWORD;
    case S::kUnknownFormat:
      self->diagnostic = result.reason;
      return QUARN_FILTER_E_UNKNOWNFORMAT;
  }
  return QUARN_E_FAIL;
}

QUARN_HRESULT GetChunk(QuarnFilter* f, QuarnStatChunk* chunk) {
  BuiltinObject* self = Self(f);
  if (!self->initialised || !chunk) return QUARN_E_FAIL;
  const auto& chunks = self->sink.chunks();
  // A chunk is read once: free it as soon as the pipeline moves on.
  if (self->current > 0) self->sink.ReleaseChunk(self->current - 1);
  while (self->next_chunk < chunks.size() && chunks[self->next_chunk].empty()) ++self->next_chunk;
  if (self->next_chunk >= chunks.size()) {
    self->current = chunks.size() + 1;
    return QUARN_FILTER_E_END_OF_CHUNKS;
  }
  self->current = ++self->next_chunk;
  self->offset = 0;
  self->released = 0;
  *chunk = QuarnStatChunk{};
  chunk->id_chunk = static_cast<uint32_t>(self->current);
  chunk->break_type = QUARN_CHUNK_EOP;
  chunk->flags = QUARN_CHUNK_TEXT;
  chunk->id_chunk_source = chunk->id_chunk;
  return QUARN_S_OK;
}

QUARN_HRESULT GetText(QuarnFilter* f, uint32_t* count, QUARN_WCHAR* buffer) {
  BuiltinObject* self = Self(f);
  if (!count || !buffer) return QUARN_E_INVALIDARG;
  const auto& chunks = self->sink.chunks();
  if (self->current == 0 || self->current > chunks.size()) {
    *count = 0;
    return QUARN_FILTER_E_NO_MORE_TEXT;
  }
  const std::string& text = chunks[self->current - 1];
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const uint32_t room = *count;
  uint32_t n = 0;
  std::size_t i = self->offset;
  while (i < size && n < room) {
    uint32_t cp;
    std::size_t step = quarn_utf8_sequence(s + i, size - i, &cp);
    if (step == 0) {
      cp = 0xFFFD;
      step = 1;
    }
    if (cp == 0) {
      i += step;
      continue;
    }
    if (cp >= 0x10000) {
      if (n + 2 > room) break;
      buffer[n++] = static_cast<QUARN_WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
      buffer[n++] = static_cast<QUARN_WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      buffer[n++] = static_cast<QUARN_WCHAR>(cp);
    }
    i += step;
  }
  // A large chunk gives back the memory of what has been served as it goes,
  // so that the document's text is not held twice (here and in the
  // pipeline's copy) at its largest.
  if (i - self->released >= kReleaseStep) {
    ReleasePages(const_cast<char*>(text.data()) + self->released, i - self->released);
    self->released = i;
  }
  self->offset = i;
  *count = n;
  if (n == 0) return QUARN_FILTER_E_NO_MORE_TEXT;
  return i >= size ? QUARN_FILTER_S_LAST_TEXT : QUARN_S_OK;
}

void Release(QuarnFilter* f) { delete Self(f); }

const char* Diagnostic(QuarnFilter* f) {
  BuiltinObject* self = Self(f);
  return self->diagnostic.empty() ? nullptr : self->diagnostic.c_str();
}

uint32_t RecognizedPages(QuarnFilter* f) { return static_cast<uint32_t>(Self(f)->sink.recognized_pages()); }

int64_t PageCount(QuarnFilter* f) { return Self(f)->sink.pages(); }

constexpr QuarnFilterVtbl kVtbl = {sizeof(QuarnFilterVtbl), Load, Init, GetChunk, GetText, Release,
                                   Diagnostic, RecognizedPages, PageCount};

}  // namespace

void NoteLibraryMessage(std::string_view message) {
  if (!library_messages || library_messages->size() >= 100) return;
  std::string m(message);
  while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
  library_messages->push_back(std::move(m));
}

QuarnFilter* WrapBuiltinFilter(std::unique_ptr<BuiltinFilter> filter, std::size_t text_limit,
                               const Registry* registry) {
  auto* object = new BuiltinObject(std::move(filter), text_limit);
  object->sink.set_nesting(Nesting{registry, 0, nullptr});
  object->vtbl = &kVtbl;
  return object;
}

}  // namespace quarn

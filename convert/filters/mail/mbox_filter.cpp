#include "convert/filters/mail/mbox_filter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "convert/conversion_options.h"
#include "convert/filters/mail/eml_filter.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// The length a Content-Length header in the message's header block gives,
// or -1.
long long ContentLength(std::string_view headers) {
  std::size_t pos = 0;
  while (pos < headers.size()) {
    std::size_t end = headers.find('\n', pos);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(pos, end - pos);
    if (line.size() > 15) {
      std::string name(line.substr(0, 15));
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (name == "content-length:") {
        long long n = 0;
        std::size_t i = 15;
        while (i < line.size() && line[i] == ' ') ++i;
        if (i == line.size() || line[i] < '0' || line[i] > '9') return -1;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && n < (1LL << 50); ++i) n = n * 10 + (line[i] - '0');
        return n;
      }
    }
    pos = end + 1;
  }
  return -1;
}

bool StartsFrom(std::string_view s, std::size_t at) { return s.substr(at, 5) == "From "; }

// The line that starts at at, without its line end; *next is where the one
// after it starts.
std::string_view LineAt(std::string_view s, std::size_t at, std::size_t* next) {
  std::size_t end = s.find('\n', at);
  *next = end == std::string_view::npos ? s.size() : end + 1;
  std::string_view line = s.substr(at, (end == std::string_view::npos ? s.size() : end) - at);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The name of a header field line ("Subject: ..."), or empty.
std::string_view FieldName(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon > 76) return {};
  for (char c : line.substr(0, colon))
    if (c <= ' ' || c >= 127) return {};
  return line.substr(0, colon);
}

// True when the lines from at on are a message's header block: field lines
// (and their continuations) up to a blank line or the end, one of them a
// field every message carries.  What follows a real "From " line is such a
// block; what follows "From" at the start of a sentence is not ("From Russia
// with love", then a blank line or more prose).
bool HeaderBlockAt(std::string_view box, std::size_t at) {
  static constexpr std::string_view kMessageFields[] = {
      "from",      "to",         "cc",           "subject",      "date",       "received",
      "return-path", "message-id", "delivered-to", "mime-version", "reply-to",   "sender",
      "x-mozilla-status", "x-gm-thrid", "x-uid",  "status",       "content-type"};
  constexpr int kMaxLines = 500;
  bool known = false;
  for (int n = 0; n < kMaxLines && at < box.size(); ++n) {
    std::size_t next;
    std::string_view line = LineAt(box, at, &next);
    if (line.empty()) return n > 0 && known;
    if (line.front() == ' ' || line.front() == '\t') {
      if (n == 0) return false;
    } else {
      std::string_view name = FieldName(line);
      if (name.empty()) return false;
      for (std::string_view field : kMessageFields)
        known = known || (name.size() == field.size() &&
                          std::equal(name.begin(), name.end(), field.begin(), [](char a, char b) {
                            return std::tolower(static_cast<unsigned char>(a)) == b;
                          }));
    }
    at = next;
  }
  return known;
}

// True when the "From " line at at separates two messages: a message's
// header block follows it.  Writers that do not escape "From " in bodies
// leave such lines in the text, and some writers put no blank line before a
// separator, so neither a blank line nor its absence decides.
bool SeparatorAt(std::string_view box, std::size_t at) {
  if (!StartsFrom(box, at)) return false;
  std::size_t next;
  LineAt(box, at, &next);
  return next < box.size() && HeaderBlockAt(box, next);
}

// Where the message that starts at begin (after its "From " line) ends: at
// the next separator line, or where a Content-Length header says, when a
// separator (or the end) stands there.
std::size_t MessageEnd(std::string_view box, std::size_t begin) {
  // The body starts after the header block's blank line, looked for line by
  // line: a search for the blank line's bytes would run through the rest of
  // the mailbox for every message written with the other line ends.
  std::size_t body = std::string_view::npos;
  for (std::size_t at = begin, next = begin; at < box.size(); at = next) {
    if (LineAt(box, at, &next).empty()) {
      body = next;
      break;
    }
  }
  if (body != std::string_view::npos) {
    long long length = ContentLength(box.substr(begin, body - begin));
    if (length >= 0 && static_cast<unsigned long long>(length) <= box.size() - body) {
      std::size_t at = body + static_cast<std::size_t>(length);
      std::size_t next = at;
      while (next < box.size() && (box[next] == '\n' || box[next] == '\r')) ++next;
      if (next >= box.size() || StartsFrom(box, next)) return next;
    }
  }
  for (std::size_t at = begin; (at = box.find("\nFrom ", at)) != std::string_view::npos; ++at)
    if (SeparatorAt(box, at + 1)) return at + 1;
  return box.size();
}

// A message's bytes with the escaping of its body lines undone: a writer
// puts ">" before every line that starts with "From " (and, in the "mboxrd"
// variant, before every ">From " too), so that no body line looks like a
// separator; the reader sees those lines without it.
std::string Unescaped(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  for (std::size_t at = 0; at < message.size();) {
    std::size_t end = message.find('\n', at);
    end = end == std::string_view::npos ? message.size() : end + 1;
    std::string_view line = message.substr(at, end - at);
    std::size_t quotes = line.find_first_not_of('>');
    if (quotes != std::string_view::npos && quotes > 0 && line.substr(quotes, 5) == "From ") line.remove_prefix(1);
    out += line;
    at = end;
  }
  return out;
}

// The mailbox is mapped a window at a time, so that a mailbox of any size
// is read (the export of a whole account runs to tens of gigabytes, past
// what a converter may map) and only the window being read counts against
// the converter's memory.  A message's end close to a window's end is
// judged again in a window that starts at the message: the lines after a
// "From " line tell whether it separates two messages.
class MailboxWindow {
 public:
  MailboxWindow(int fd, std::uint64_t file_size) : fd_(fd), file_size_(file_size) {}
  ~MailboxWindow() { Unmap(); }
  MailboxWindow(const MailboxWindow&) = delete;
  MailboxWindow& operator=(const MailboxWindow&) = delete;

  // Maps want bytes from offset on (fewer at the file's end); the window
  // starts at the page that holds offset.
  bool Map(std::uint64_t offset, std::size_t want, std::string* error) {
    Unmap();
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset / page * page;
    const std::uint64_t length = std::min<std::uint64_t>(file_size_ - start, offset - start + want);
    void* map = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_PRIVATE, fd_, static_cast<off_t>(start));
    if (map == MAP_FAILED) {
      *error = std::strerror(errno);
      return false;
    }
    ::madvise(map, static_cast<std::size_t>(length), MADV_SEQUENTIAL);
    map_ = map;
    base_ = start;
    size_ = static_cast<std::size_t>(length);
    return true;
  }
  std::string_view view() const { return {static_cast<const char*>(map_), size_}; }
  std::uint64_t base() const { return base_; }
  bool Holds(std::uint64_t offset) const { return map_ && offset >= base_ && offset - base_ < size_; }
  bool reaches_end() const { return base_ + size_ >= file_size_; }

 private:
  void Unmap() {
    if (map_) ::munmap(map_, size_);
    map_ = nullptr;
  }
  int fd_;
  std::uint64_t file_size_;
  void* map_ = nullptr;
  std::uint64_t base_ = 0;
  std::size_t size_ = 0;
};

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// Where the first separator at or after from starts (the file's size when
// there is none), looked for window by window.
template <class Map>
std::uint64_t NextSeparator(MailboxWindow& window, std::uint64_t from, std::uint64_t size,
                            const MailboxWindowing& sizes, Map& map) {
  while (from < size) {
    if (!map(from > 0 ? from - 1 : 0, sizes.window)) return size;
    const std::string_view box = window.view();
    const std::size_t start = static_cast<std::size_t>((from > 0 ? from - 1 : 0) - window.base());
    const std::size_t limit = window.reaches_end() ? box.size() : box.size() - std::min(sizes.guard, box.size() / 2);
    for (std::size_t at = start; (at = box.find("\nFrom ", at)) != std::string_view::npos && at < limit; ++at)
      if (SeparatorAt(box, at + 1)) return window.base() + at + 1;
    if (window.reaches_end()) return size;
    from = window.base() + limit;
  }
  return size;
}

class MboxFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "mbox", sink)) return *r;
    return ExtractMailbox(path, sink);
  }
};

}  // namespace

ExtractResult ExtractMailbox(const std::string& path, TextSink& sink, const MailboxWindowing& sizes) {
  Sniffed what = SniffContent(path);
  if (what.kind == ContentKind::kEmpty) return ExtractResult::UnknownFormat("the mailbox is empty");
  if (what.kind != ContentKind::kMbox)
    return ExtractResult::UnknownFormat("not a mailbox: it does not start with a \"From \" line");
  const FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return ExtractResult::Failed(std::string("cannot open the mailbox: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(file.fd, &st) != 0 || st.st_size <= 0) return ExtractResult::Failed("cannot read the mailbox");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  MailboxWindow window(file.fd, size);
  std::string error;
  auto map = [&](std::uint64_t offset, std::size_t want) {
    if (window.Map(offset, want, &error)) return true;
    error = "cannot read the mailbox: " + error;
    return false;
  };
  InitMailLibrary();
  std::size_t messages = 0, unreadable = 0, encrypted = 0;
  std::uint64_t pos = 0;  // where the current message's "From " line starts
  std::size_t want = sizes.window;
  // Blank lines and a byte-order mark before the first "From " line are
  // no message.
  if (map(0, want)) {
    const std::string_view head = window.view();
    if (head.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;
    while (pos < head.size() && std::string_view(" \t\r\n").find(head[pos]) != std::string_view::npos) ++pos;
  }
  while (pos < size && !sink.full() && error.empty()) {
    if (!window.Holds(pos) && !map(pos, want)) break;
    const std::string_view box = window.view();
    const std::size_t at = static_cast<std::size_t>(pos - window.base());
    const std::size_t line_end = box.find('\n', at);
    const std::size_t end = line_end == std::string_view::npos ? box.size() : MessageEnd(box, line_end + 1);
    const bool last = window.reaches_end();
    if (!last && (line_end == std::string_view::npos || end + std::min(sizes.guard, box.size() / 2) > box.size())) {
      // The message runs past the window: again from its start, in a
      // larger window if it already starts this one.
      if (at >= static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) {
        map(pos, want);
      } else if (want < sizes.max_message) {
        want *= 2;
        map(pos, want);
      } else {
        ++unreadable;
        pos = NextSeparator(window, pos + want, size, sizes, map);
        want = sizes.window;
      }
      continue;
    }
    if (line_end == std::string_view::npos) break;  // a last line and no message
    const std::size_t begin = line_end + 1;
    std::string bytes = Unescaped(box.substr(begin, end - begin));
    pos = window.base() + end;
    want = sizes.window;
    if (!WriteFolderMessage(std::move(bytes), sink, &messages, &encrypted)) ++unreadable;
    // A mailbox of many messages is long work, not a hang.
    NoteProgress();
  }
  if (messages == 0) return ExtractResult::Failed(error.empty() ? "no message could be read from the mailbox" : error);
  if (!error.empty()) return ExtractResult::Incomplete(error);
  if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
  if (unreadable > 0) return ExtractResult::Incomplete(std::to_string(unreadable) + " message(s) could not be read");
  if (encrypted > 0) return ExtractResult::Incomplete(EncryptedReason(encrypted));
  return ExtractResult::Ok();
}

std::unique_ptr<BuiltinFilter> CreateMboxFilter() { return std::make_unique<MboxFilter>(); }

}  // namespace quarn

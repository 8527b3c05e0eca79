#include "app/batch.h"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "app/main.h"
#include "app/signals.h"
#include "convert/filter.h"
#include "convert/printable.h"
#include "process/exit_code.h"
#include "process/path_digest.h"

namespace quarn {
namespace {

// The mask every caller hands the queue: names with a dot.
constexpr const char* kDocumentMask = "*.*";

bool Utf8Locale() {
  const char* set = ::nl_langinfo(CODESET);
  // The C locale's ASCII counts as UTF-8: its paths are bytes anyway.
  return !set || std::strcmp(set, "UTF-8") == 0 || std::strcmp(set, "ANSI_X3.4-1968") == 0;
}

using Glyph = ShownChar;

std::vector<Glyph> Glyphs(std::string_view path, bool utf8) { return ShownChars(path, utf8); }

std::string Join(const std::vector<Glyph>& glyphs, std::size_t from, std::size_t to) {
  std::string s;
  for (std::size_t i = from; i < to; ++i) s += glyphs[i].text;
  return s;
}

// The path shortened in the middle to at most width columns.
std::string ShortenMiddle(std::string_view path, int width, bool utf8) {
  const std::vector<Glyph> glyphs = Glyphs(path, utf8);
  int total = 0;
  for (const Glyph& g : glyphs) total += g.width;
  if (total <= width) return Join(glyphs, 0, glyphs.size());
  const std::string ellipsis = utf8 ? "\xE2\x80\xA6" : "...";
  const int ellipsis_width = utf8 ? 1 : 3;
  if (width < ellipsis_width) return {};
  const int room = width - ellipsis_width;
  const int head_room = room - room / 2;
  std::size_t head = 0;
  for (int used = 0; head < glyphs.size() && used + glyphs[head].width <= head_room; ++head)
    used += glyphs[head].width;
  std::size_t tail = glyphs.size();
  for (int used = 0; tail > head && used + glyphs[tail - 1].width <= room / 2; --tail) used += glyphs[tail - 1].width;
  return Join(glyphs, 0, head) + ellipsis + Join(glyphs, tail, glyphs.size());
}

int TerminalWidth() {
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// The terminal's notify target: a worker's message wakes the main thread
// through a pipe.  Messages that arrive before the main thread looks are
// folded into one.
class TerminalNotify : public ProgressNotify {
 public:
  TerminalNotify() {
    if (::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~TerminalNotify() override {
    DetachNotify(this);
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  TerminalNotify(const TerminalNotify&) = delete;
  TerminalNotify& operator=(const TerminalNotify&) = delete;

  void PostProgress() override {
    if (fds_[1] >= 0 && !pending_.exchange(true)) {
      const char byte = 1;
      [[maybe_unused]] ssize_t n = ::write(fds_[1], &byte, 1);
    }
  }

  // Waits for a message or for the timeout.
  void Wait(std::chrono::milliseconds timeout) {
    if (fds_[0] < 0) {
      ::poll(nullptr, 0, static_cast<int>(timeout.count()));
      return;
    }
    pollfd p{fds_[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) > 0) {
      pending_ = false;
      char buf[64];
      while (::read(fds_[0], buf, sizeof buf) > 0) {
      }
    }
  }

 private:
  int fds_[2];
  std::atomic<bool> pending_{false};
};

void PrintLines(const char* what, const std::vector<RunFailure>& items) {
  for (const RunFailure& f : items)
    std::fprintf(stderr, "quarn: %s%s: %s\n", what, PrintablePath(f.path).c_str(), PrintablePath(f.reason).c_str());
}

// The length of the valid UTF-8 sequence at s[i] (a shortest form, no
// surrogate, at most U+10FFFF), or 0 when the byte there begins none.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

// A file the mask leaves out (no dot in its name) that is a document all the
// same, by what its first bytes say: a mailbox named Inbox (as mail programs
// keep them), a mail folder's numbered messages, a PDF saved without its
// extension.  Plain text, pictures and archives under such names stay out:
// they are far more often a program's files than documents.
// Only a regular file is looked into: opening a named pipe would wait for a
// writer for ever.
bool KnownByContent(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && HasFilterFor(InstalledRegistry(), path);
}

const char* StatusName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kWritten: return "written";
    case Outcome::kNoText: return "no_text";
    case Outcome::kFailed: return "failed";
    case Outcome::kSkipped:
    case Outcome::kSameFile: break;
  }
  return "skipped";
}

// Writes the lines of the documents that ended, at once.  A failed write
// (a full disk, a closed pipe) is kept in *error, the first one only, and
// no line is written after it: the list would have a hole nobody sees.
void WriteJsonLines(const std::vector<EndedDocument>& documents, int* error) {
  if (documents.empty() || *error != 0) return;
  std::string lines;
  for (const EndedDocument& d : documents) lines += DocumentJson(d) + "\n";
  errno = 0;
  if (std::fwrite(lines.data(), 1, lines.size(), stdout) != lines.size() || std::fflush(stdout) != 0)
    *error = errno != 0 ? errno : EIO;
}

}  // namespace

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  out.reserve(s.size() + 2);
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t n = Utf8Length(s, i);
    char escape[8];
    if (n == 0) {
      std::snprintf(escape, sizeof escape, "\\udc%02x", c);
      out += escape;
      ++i;
      continue;
    }
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string DocumentJson(const EndedDocument& d) {
  const ConvertResult& r = d.result;
  const bool done = r.outcome == Outcome::kWritten || r.outcome == Outcome::kSkipped;
  std::string line = "{\"input\":" + JsonString(d.path);
  line += ",\"output\":" + (done && !r.output.empty() ? JsonString(r.output) : std::string("null"));
  line += ",\"status\":\"" + std::string(StatusName(r.outcome)) + "\"";
  // A written document's reason, when there is one, says what its text lacks.
  const bool has_reason = r.outcome != Outcome::kWritten || !r.reason.empty();
  line += ",\"reason\":" + (has_reason ? JsonString(r.reason) : std::string("null"));
  line += ",\"input_bytes\":" + std::to_string(r.input_bytes);
  line += ",\"text_chars\":" + std::to_string(r.text_chars);
  line += ",\"pages\":" + (r.pages >= 0 ? std::to_string(r.pages) : std::string("null"));
  line += ",\"ocr_pages\":" + std::to_string(r.recognized_pages);
  line += ",\"filter\":" + (r.reader.empty() ? std::string("null") : JsonString(r.reader));
  line += ",\"milliseconds\":" + std::to_string(d.milliseconds) + "}";
  return line;
}

std::string PrintablePath(std::string_view path) { return PrintableText(path, Utf8Locale()); }

std::string ProgressLine(const ProgressSnapshot& progress, int width, bool utf8_terminal) {
  const int percent = progress.QueuedCount > 0 ? static_cast<int>(static_cast<long long>(progress.TakenCount) * 100 /
                                                                  progress.QueuedCount)
                                               : 0;
  char head[96];
  std::snprintf(head, sizeof head, "File %d of %d  %3d%%  ", progress.TakenCount, progress.QueuedCount, percent);
  std::string line = head;
  const int room = width - 1 - static_cast<int>(line.size());
  if (room <= 0) return line.substr(0, width > 1 ? static_cast<std::size_t>(width - 1) : 0);
  return line + ShortenMiddle(progress.CurrentPath, room, utf8_terminal);
}

namespace {

// Marks each path named again after its first time (a list with
// duplicates): one bit a path, found from the digests of all, sorted, and
// then those that occur more than once, in the order of the list.
std::vector<bool> NamedBefore(const PathList& paths) {
  const auto less = [](const PathDigest& a, const PathDigest& b) {
    return a.first != b.first ? a.first < b.first : a.second < b.second;
  };
  std::vector<PathDigest> repeated;
  {
    std::vector<PathDigest> digests;
    digests.reserve(paths.size());
    PathList::Cursor at;
    std::string_view p;
    while (paths.Next(&at, &p)) digests.push_back(DigestOf(p));
    std::sort(digests.begin(), digests.end(), less);
    for (std::size_t k = 1; k < digests.size(); ++k)
      if (digests[k] == digests[k - 1] && (repeated.empty() || !(repeated.back() == digests[k])))
        repeated.push_back(digests[k]);
  }
  std::vector<bool> again(paths.size());
  if (repeated.empty()) return again;
  std::vector<bool> seen(repeated.size());
  PathList::Cursor at;
  std::string_view p;
  for (std::size_t i = 0; paths.Next(&at, &p); ++i) {
    const PathDigest d = DigestOf(p);
    const auto it = std::lower_bound(repeated.begin(), repeated.end(), d, less);
    if (it == repeated.end() || !(*it == d)) continue;
    const auto k = static_cast<std::size_t>(it - repeated.begin());
    again[i] = seen[k];
    seen[k] = true;
  }
  return again;
}

// Queues the wanted paths from *at on while fewer than kFeedAhead wait;
// false once the list is done.
constexpr int kFeedAhead = 8192;
bool Feed(const PathList& paths, const std::vector<bool>& wanted, PathList::Cursor* at, std::size_t* index,
          int waiting) {
  std::string_view p;
  for (; waiting < kFeedAhead; ++*index) {
    if (!paths.Next(at, &p)) return false;
    if (!wanted[*index]) continue;
    QueuePath(std::string(p));
    ++waiting;
  }
  return true;
}

}  // namespace

int RunBatch(PathList paths, const BatchOptions& options) {
  const bool utf8 = Utf8Locale();
  std::vector<RunFailure> refused;   // named paths that are no document or folder
  std::vector<bool> wanted(paths.size());
  std::size_t wanted_count = 0;
  std::vector<EndedDocument> ended;  // the named paths' own lines, for --jsonl
  int named_again = 0;               // paths named a second time, or without a dot: left out
  {
    const std::vector<bool> again = NamedBefore(paths);
    // The named files are documents of the run from the start, even those
    // of the list that reach the queue only later.
    std::vector<FileIdentity> files;
    PathList::Cursor at;
    std::string_view view;
    for (std::size_t i = 0; paths.Next(&at, &view); ++i) {
      const std::string p(view);
      if (again[i]) {
        // A path named twice (a list with duplicates) is converted once.
        ++named_again;
        if (options.jsonl) ended.push_back({p, ConvertResult::Skipped("named more than once")});
        continue;
      }
      struct stat st {};
      if (::stat(p.c_str(), &st) != 0) {
        refused.push_back({p, std::string("cannot read: ") + std::strerror(errno)});
      } else if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
        refused.push_back({p, "not a document or folder (a pipe, socket or device)"});
      } else if (S_ISREG(st.st_mode) && !MatchesMaskList(p, kDocumentMask) && !KnownByContent(p)) {
        // The whole path is matched against the mask: a file whose path holds
        // no dot is no document, as in a folder, unless its content names
        // one.  A script still hears of it.
        ++named_again;
        if (options.jsonl)
          ended.push_back({p, ConvertResult::Skipped("no dot in its path: not taken for a document")});
        continue;
      } else {
        wanted[i] = true;
        ++wanted_count;
        if (S_ISREG(st.st_mode)) files.push_back(IdentityOf(st));
        if (files.size() >= 4096) {
          NameFiles(files);
          files.clear();
        }
        continue;
      }
      if (options.jsonl) ended.push_back({p, ConvertResult::Failed(refused.back().reason)});
    }
    NameFiles(files);
  }
  int json_error = 0;  // why the JSON lines stopped, or 0
  if (options.jsonl) WriteJsonLines(ended, &json_error);

  RunReport report;
  int stop_signal = 0;  // the signal that stopped the run
  if (wanted_count > 0) {
    InstallStopHandlers();
    TerminalNotify notify;
    TProcessParams params;
    params.NotifyWindow = &notify;
    params.MaskList = kDocumentMask;
    params.KeepDocumentLog = options.jsonl;
    params.Workers = options.jobs;
    // Every worker stays busy through a folder walk, not only the first.
    params.WorkersWait = true;
    params.TakeUnmatched = KnownByContent;
    // The first paths wait in the queue and the one after them starts the
    // run, so that all of them belong to one run and count in one report.
    // The rest follow as the queue empties (the run waits for them): a list
    // of a million paths is never in the queue at once.
    PathList::Cursor at;
    std::size_t index = 0;
    std::string_view p;
    std::vector<std::string> first;
    while (first.size() < static_cast<std::size_t>(kFeedAhead) && paths.Next(&at, &p))
      if (wanted[index++]) first.emplace_back(p);
    bool more = false;  // wanted paths are left to queue
    {
      PathList::Cursor probe = at;
      for (std::size_t i = index; !more && paths.Next(&probe, &p); ++i) more = wanted[i];
    }
    if (more) SetMoreToCome(true);
    for (std::size_t i = 0; i + 1 < first.size(); ++i) QueuePath(first[i]);
    QueuePath(first.back(), params);
    std::vector<std::string>().swap(first);
    const std::uint64_t run = ReadProgress().Run;

    const bool tty = ::isatty(STDERR_FILENO) == 1;
    auto last_draw = std::chrono::steady_clock::time_point();
    bool drawn = false;
    for (;;) {
      const ProgressSnapshot now = ReadProgress();
      if (now.Run != run || now.State == psFinished || now.State == psIdle) {
        // After a stop the documents in progress still finish (or a second
        // signal ends the program), so that the summary counts them.
        if (!stop_signal || WorkersAlive() == 0) break;
      } else if (StopSignal() != 0 && !stop_signal) {
        // Nothing more is taken; the run ends once worker A sees it.
        if (RequestStop()) stop_signal = StopSignal();
      }
      const auto t = std::chrono::steady_clock::now();
      if (tty && !now.CurrentPath.empty() && t - last_draw >= std::chrono::milliseconds(50)) {
        const std::string line = ProgressLine(now, TerminalWidth(), utf8);
        std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
        std::fflush(stderr);
        last_draw = t;
        drawn = true;
      }
      if (more && !stop_signal && now.Run == run && (now.State == psStarting || now.State == psRunning)) {
        const int waiting = now.QueuedCount - now.TakenCount;
        if (waiting < kFeedAhead / 2) {
          more = Feed(paths, wanted, &at, &index, waiting);
          paths.ReleaseBefore(at);
          if (!more) SetMoreToCome(false);
        }
      }
      if (options.jsonl) WriteJsonLines(TakeEndedDocuments(), &json_error);
      if (now.Run == run && now.State == psStopping && !stop_signal)
        WaitRunEnded(run, std::chrono::milliseconds(50));
      else
        notify.Wait(std::chrono::milliseconds(50));
    }
    if (drawn) std::fputs("\r\x1b[K", stderr);
    if (options.jsonl) WriteJsonLines(TakeEndedDocuments(), &json_error);
    report = ReadRunReport();
  }

  const int failed = report.failed + static_cast<int>(refused.size());
  if (stop_signal != 0)
    std::fprintf(stderr, "quarn: stopped by %s; what was not yet converted is left as it was\n",
                 stop_signal == SIGINT    ? "SIGINT"
                 : stop_signal == SIGPIPE ? "SIGPIPE (nothing reads the output any more)"
                                          : "SIGTERM");
  std::fprintf(stderr, "quarn: %d written, %d without text, %d failed", report.written, report.without_text, failed);
  if (report.same_file > 0) std::fprintf(stderr, ", %d already text", report.same_file);
  if (const int skipped = report.skipped + named_again; skipped > 0) std::fprintf(stderr, ", %d skipped", skipped);
  if (report.read_by_ocr > 0)
    std::fprintf(stderr, "; %d read by OCR (%d %s)", report.read_by_ocr, report.ocr_pages,
                 report.ocr_pages == 1 ? "page" : "pages");
  std::fputc('\n', stderr);
  if (!report.error.empty()) std::fprintf(stderr, "quarn: %s\n", PrintablePath(report.error).c_str());
  // Standard output no longer read stopped the run (SIGPIPE), which says
  // so; any other failed write leaves the list of results short.
  const bool lines_lost = json_error != 0 && !(json_error == EPIPE && stop_signal == SIGPIPE);
  if (lines_lost) std::fprintf(stderr, "quarn: the JSON lines could not all be written: %s\n", std::strerror(json_error));
  PrintLines("", refused);
  PrintLines("", report.failures);
  PrintLines("no text: ", report.without_text_reasons);

  if (stop_signal != 0) return Status(ExitCode::kStopped) + stop_signal;
  if (failed > 0 || !report.error.empty() || lines_lost) return Status(ExitCode::kFailed);
  if (report.without_text > 0) return Status(ExitCode::kNoText);
  return Status(ExitCode::kOk);
}

}  // namespace quarn

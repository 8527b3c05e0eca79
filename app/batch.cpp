#include "app/batch.h"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "process/exit_code.h"

namespace quarn {
namespace {

bool Utf8Locale() {
  const char* set = ::nl_langinfo(CODESET);
  // The C locale's ASCII counts as UTF-8: its paths are bytes anyway.
  return !set || std::strcmp(set, "UTF-8") == 0 || std::strcmp(set, "ANSI_X3.4-1968") == 0;
}

struct Glyph {
  std::string bytes;
  int width = 1;
};

// The printable characters of a path with their terminal widths.
std::vector<Glyph> Glyphs(std::string_view path, bool utf8) {
  std::vector<Glyph> out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size();) {
    const auto b = static_cast<unsigned char>(path[i]);
    if (b < 0x20 || b == 0x7F) {
      out.push_back({"?", 1});
      ++i;
      continue;
    }
    if (b < 0x80 || !utf8) {
      out.push_back({std::string(1, static_cast<char>(b)), 1});
      ++i;
      continue;
    }
    const std::size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    char32_t cp = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && i + len <= path.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(path[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || (cp >= 0x80 && cp < 0xA0)) {
      out.push_back({"?", 1});
      ++i;
      continue;
    }
    const int w = ::wcwidth(static_cast<wchar_t>(cp));
    out.push_back({std::string(path.substr(i, len)), w < 0 ? 1 : w});
    i += len;
  }
  return out;
}

std::string Join(const std::vector<Glyph>& glyphs, std::size_t from, std::size_t to) {
  std::string s;
  for (std::size_t i = from; i < to; ++i) s += glyphs[i].bytes;
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
    std::fprintf(stderr, "quarn: %s%s: %s\n", what, PrintablePath(f.path).c_str(), f.reason.c_str());
}

}  // namespace

std::string PrintablePath(std::string_view path) {
  const std::vector<Glyph> glyphs = Glyphs(path, Utf8Locale());
  return Join(glyphs, 0, glyphs.size());
}

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

int RunBatch(const std::vector<std::string>& paths) {
  const bool utf8 = Utf8Locale();
  std::vector<RunFailure> refused;  // named paths that are no document or folder
  std::vector<std::string> wanted;
  for (const std::string& p : paths) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
      refused.push_back({p, std::string("cannot read: ") + std::strerror(errno)});
    } else if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      refused.push_back({p, "not a document or folder (a pipe, socket or device)"});
    } else {
      wanted.push_back(p);
    }
  }

  RunReport report;
  if (!wanted.empty()) {
    TerminalNotify notify;
    TProcessParams params;
    params.NotifyWindow = &notify;
    params.MaskList = "*.*";
    // Every path but the last waits in the queue; the last one starts the
    // run, so that all of them belong to one run and count in one report.
    for (std::size_t i = 0; i + 1 < wanted.size(); ++i) QueuePath(wanted[i]);
    QueuePath(wanted.back(), params);
    const std::uint64_t run = ReadProgress().Run;

    const bool tty = ::isatty(STDERR_FILENO) == 1;
    auto last_draw = std::chrono::steady_clock::time_point();
    bool drawn = false;
    for (;;) {
      const ProgressSnapshot now = ReadProgress();
      if (now.Run != run || now.State == psFinished || now.State == psIdle) break;
      const auto t = std::chrono::steady_clock::now();
      if (tty && !now.CurrentPath.empty() && t - last_draw >= std::chrono::milliseconds(50)) {
        const std::string line = ProgressLine(now, TerminalWidth(), utf8);
        std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
        std::fflush(stderr);
        last_draw = t;
        drawn = true;
      }
      notify.Wait(std::chrono::milliseconds(50));
    }
    if (drawn) std::fputs("\r\x1b[K", stderr);
    report = ReadRunReport();
  }

  const int failed = report.failed + static_cast<int>(refused.size());
  std::fprintf(stderr, "quarn: %d written, %d without text, %d failed", report.written, report.without_text, failed);
  if (report.same_file > 0) std::fprintf(stderr, ", %d already text", report.same_file);
  if (report.read_by_ocr > 0)
    std::fprintf(stderr, "; %d read by OCR (%d %s)", report.read_by_ocr, report.ocr_pages,
                 report.ocr_pages == 1 ? "page" : "pages");
  std::fputc('\n', stderr);
  if (!report.error.empty()) std::fprintf(stderr, "quarn: %s\n", report.error.c_str());
  PrintLines("", refused);
  PrintLines("", report.failures);
  PrintLines("no text: ", report.without_text_reasons);

  if (failed > 0 || !report.error.empty()) return Status(ExitCode::kFailed);
  if (report.without_text > 0) return Status(ExitCode::kNoText);
  return Status(ExitCode::kOk);
}

}  // namespace quarn

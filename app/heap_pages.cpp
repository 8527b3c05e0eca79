#include "app/heap_pages.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quarn {

namespace {

constexpr std::string_view kTunable = "glibc.malloc.hugetlb";

}  // namespace

std::string TunablesWithHugePageHeap(const char* current) {
  const std::string_view now = current ? current : "";
  // Tunables are NAME=VALUE pairs separated by colons.
  for (std::size_t at = 0; at <= now.size();) {
    std::size_t end = now.find(':', at);
    if (end == std::string_view::npos) end = now.size();
    const std::string_view pair = now.substr(at, end - at);
    if (pair.substr(0, pair.find('=')) == kTunable) return {};
    at = end + 1;
  }
  std::string value(now);
  if (!value.empty()) value += ':';
  return value.append(kTunable).append("=1");
}

bool HugePagesOnRequest(const char* enabled_file) {
  const int fd = ::open(enabled_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[128];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  // The modes are listed with the chosen one in brackets.
  return std::string_view(text, static_cast<std::size_t>(n)).find("[madvise]") != std::string_view::npos;
}

std::string HugePageHeapTunables() {
  std::string tunables = TunablesWithHugePageHeap(std::getenv("GLIBC_TUNABLES"));
  if (tunables.empty() || !HugePagesOnRequest()) return {};
  return tunables;
}

void RestartWithHugePageHeap(char** argv) {
  // A tool that watches the program through a preloaded library (a memory
  // profiler, valgrind) may not follow it into a new start.
  if (const char* preload = std::getenv("LD_PRELOAD"); preload && *preload) return;
  const std::string tunables = HugePageHeapTunables();
  if (tunables.empty()) return;
  // The program's own file, as the kernel knows it (argv[0] may name
  // anything); a file replaced since the start is left alone.
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return;
  self[n] = '\0';
  if (std::string_view(self).ends_with(" (deleted)")) return;
  const char* before = std::getenv("GLIBC_TUNABLES");
  const std::string saved = before ? before : "";
  if (::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  ::execv(self, argv);
  // Not started: go on with the heap as it is.
  if (before) {
    ::setenv("GLIBC_TUNABLES", saved.c_str(), 1);
  } else {
    ::unsetenv("GLIBC_TUNABLES");
  }
}

}  // namespace quarn

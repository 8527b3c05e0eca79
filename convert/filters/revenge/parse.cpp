#include "convert/filters/revenge/parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace quarn::revenge {

ExtractResult Outcome(const Parsed& parsed, const Collector& collector, const TextSink& sink, std::string_view what) {
  if (collector.stopped() || parsed.ok) return ExtractResult::Ok();
  std::string reason(what);
  if (sink.empty()) {
    reason += " cannot be read";
    if (!parsed.error.empty()) reason += ": " + parsed.error;
    return ExtractResult::Failed(reason);
  }
  reason += " is damaged: only part of its text was read";
  if (!parsed.error.empty()) reason += " (" + parsed.error + ")";
  return ExtractResult::Incomplete(reason);
}

ExtractResult Refused(const std::string& path, std::string_view self, TextSink& sink, const std::string& why) {
  if (auto redirected = ExtractRedirected(path, self, sink)) return *redirected;
  return ExtractResult::UnknownFormat(why);
}

std::string WithArticle(std::string_view what) {
  const bool vowel = !what.empty() && std::string_view("AEIOUaeiou").find(what.front()) != std::string_view::npos;
  return (vowel ? "an " : "a ") + std::string(what);
}

namespace {

// Whether the file ends as a zip package does: the end record of its
// central directory, which libzip looks for, lies in the last 64 KiB and 22
// bytes (its comment may take up to 64 KiB).  Most documents here are no
// zips, and this spares them the loading of libzip.
bool EndsAsZip(const std::string& path) {
  constexpr std::size_t kTail = 65535 + 22;
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || st.st_size < 22) return false;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::size_t want = std::min(size, kTail);
  std::string tail(want, '\0');
  std::size_t got = 0;
  while (got < want) {
    const ssize_t k = ::pread(file.fd, tail.data() + got, want - got, static_cast<off_t>(size - want + got));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    got += static_cast<std::size_t>(k);
  }
  tail.resize(got);
  return tail.find(std::string_view("PK\x05\x06", 4)) != std::string::npos;
}

// "5003 bytes", "3072 MiB": a size as a person reads it.
std::string Size(std::uint64_t bytes) {
  if (bytes < (std::uint64_t{1} << 20)) return std::to_string(bytes) + " bytes";
  return std::to_string(bytes >> 20) + " MiB";
}

}  // namespace

std::optional<std::vector<ZipEntry>> ReadZipDirectory(const std::string& path, std::string* error) {
  if (!EndsAsZip(path)) return std::nullopt;
  const FilterModule* zips = LoadFilterModule("package", error);
  if (!zips || !zips->zip_directory) return std::nullopt;
  return zips->zip_directory(path);
}

bool ZipWithinLimits(const std::string& path, std::string* why, const ContainerLimits& limits) {
  std::string error;
  const std::optional<std::vector<ZipEntry>> entries = ReadZipDirectory(path, &error);
  if (!error.empty()) {
    // The package cannot be measured: it is not handed on unmeasured.
    if (why) *why = error;
    return false;
  }
  if (!entries) return true;
  std::uint64_t total = 0;
  for (const ZipEntry& e : *entries) {
    if (e.size > limits.max_member_bytes ||
        (e.size > limits.ratio_floor_bytes && e.size / (e.packed ? e.packed : 1) > limits.max_ratio)) {
      if (why) *why = "the part " + e.name + " would inflate to " + Size(e.size);
      return false;
    }
    total += e.size;
    if (total > limits.max_total_bytes) {
      if (why) *why = "the package would inflate to more than " + Size(limits.max_total_bytes);
      return false;
    }
  }
  return true;
}

}  // namespace quarn::revenge

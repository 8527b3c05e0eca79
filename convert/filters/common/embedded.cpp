#include "convert/filters/common/embedded.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "convert/filters/builtin.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Embedded objects larger than this are not read.
constexpr std::size_t kMaxObjectBytes = std::size_t{256} << 20;

uint32_t Le32At(std::string_view s, std::size_t at) {
  if (at > s.size() || s.size() - at < 4) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The bytes in a file of their own that only this process can reach: an
// anonymous memory file where the system has them, else a temporary file
// that is unlinked at once.  Filters read it through its /proc path.
class PrivateFile {
 public:
  explicit PrivateFile(std::string_view bytes) {
    fd_ = ::memfd_create("quarn-embedded", MFD_CLOEXEC);
    if (fd_ < 0) {
      const char* dir = std::getenv("TMPDIR");
      std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quarn-embedded-XXXXXX";
      fd_ = ::mkostemp(tmpl.data(), O_CLOEXEC);
      if (fd_ < 0) return;
      ::unlink(tmpl.c_str());
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~PrivateFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
  // Empty when the file could not be made.
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// The built-in filter that reads files named like name, or empty.
std::string FilterForName(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(name.substr(dot));
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  for (const BuiltinFilterInfo& f : BuiltinFilters())
    for (std::string_view e : f.extensions)
      if (e == ext) return std::string(f.name);
  return {};
}

// A NUL-terminated string at *at, which moves past it; nullopt when it runs
// past the end.
std::optional<std::string_view> CString(std::string_view s, std::size_t* at) {
  std::size_t end = s.find('\0', *at);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view v = s.substr(*at, end - *at);
  *at = end + 1;
  return v;
}

}  // namespace

bool ExtractEmbedded(std::string_view bytes, TextSink& sink, std::string_view name) {
  if (bytes.empty() || bytes.size() > kMaxObjectBytes || sink.full() || sink.depth() >= kMaxEmbeddingDepth)
    return false;
  PrivateFile file(bytes);
  if (file.path().empty()) return false;
  std::string filter = SniffContent(file.path()).filter;
  if (filter.empty()) filter = FilterForName(name);
  if (filter.empty() || !FindBuiltinFilter(filter)) return false;
  TextSink inner(sink.limit() - sink.size(), sink.depth() + 1);
  ExtractWithBuiltin(filter, file.path(), inner);
  bool wrote = false;
  for (const std::string& chunk : inner.chunks()) {
    if (chunk.empty()) continue;
    sink.Append(chunk);
    sink.EndLine();
    wrote = true;
  }
  return wrote;
}

std::optional<Ole1Object> ParseOle1Object(std::string_view b) {
  // OLEVersion, FormatID (2: embedded), then length-prefixed strings: the
  // class name, the topic and item names, then the native data's size.
  if (b.size() < 12 || Le32At(b, 4) != 2) return std::nullopt;
  std::size_t at = 8;
  Ole1Object object;
  for (int field = 0; field < 3; ++field) {
    uint32_t n = Le32At(b, at);
    at += 4;
    if (n > b.size() - std::min(at, b.size())) return std::nullopt;
    if (field == 0) {
      std::string_view name = b.substr(at, n);
      while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
      object.class_name = std::string(name);
    }
    at += n;
  }
  uint32_t size = Le32At(b, at);
  at += 4;
  if (at > b.size() || size > b.size() - at) return std::nullopt;
  object.native = b.substr(at, size);
  return object;
}

std::optional<PackagedFile> ParsePackage(std::string_view native) {
  // A 16-bit mark (2), the label and the original path as C strings, the
  // type (3: the file itself is embedded), the temporary path with its
  // length, then the file's size and bytes.
  if (native.size() < 2 || native[0] != 2 || native[1] != 0) return std::nullopt;
  std::size_t at = 2;
  std::optional<std::string_view> label = CString(native, &at);
  std::optional<std::string_view> path = label ? CString(native, &at) : std::nullopt;
  if (!path) return std::nullopt;
  if (Le32At(native, at) >> 16 != 3) return std::nullopt;
  at += 4;
  uint32_t temp_length = Le32At(native, at);
  at += 4;
  if (at > native.size() || temp_length > native.size() - at) return std::nullopt;
  at += temp_length;
  uint32_t size = Le32At(native, at);
  at += 4;
  if (at > native.size() || size > native.size() - at) return std::nullopt;
  PackagedFile file;
  file.name = std::string(!label->empty() ? *label : *path);
  file.bytes = native.substr(at, size);
  return file;
}

}  // namespace quarn

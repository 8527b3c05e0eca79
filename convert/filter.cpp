#include "convert/filter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "convert/charset.h"
#include "convert/filter_host.h"
#include "convert/filter_path.h"

namespace quarn {

namespace {

constexpr std::string_view kClasses = "Software\\Classes\\";
constexpr std::string_view kIFilter = "{89BCB740-6119-101A-BCB7-00DD010655AF}";
constexpr uint32_t kTextUnits = 16384;
// Native paths reach up to PATH_MAX bytes, each at most one UTF-16 unit.
constexpr std::size_t kPathUnits = PATH_MAX;

std::string HexStatus(QUARN_HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace

std::string_view ExtensionOf(std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return path.substr(dot);
}

std::string FindFilterClass(const Registry& registry, std::string_view path) {
  const std::string ext(ExtensionOf(path));
  std::string classes(kClasses);
  std::string handler = registry.ReadDefaultText(classes + ext + "\\PersistentHandler");
  if (handler.empty()) {
    std::string prog_id = registry.ReadDefaultText(classes + ext);
    std::string clsid;
    if (!prog_id.empty()) clsid = registry.ReadDefaultText(classes + prog_id + "\\CLSID");
    if (!clsid.empty()) handler = registry.ReadDefaultText(classes + "CLSID\\" + clsid + "\\PersistentHandler");
  }
  if (handler.empty()) return {};
  return registry.ReadDefaultText(classes + "CLSID\\" + handler + "\\PersistentAddinsRegistered\\" +
                                  std::string(kIFilter));
}

FilterText ExtractFilterText(const Registry& registry, const std::string& path, const FilterLimits& limits) {
  const std::string class_id = FindFilterClass(registry, path);
  if (class_id.empty()) {
    FilterText result;
    std::string_view ext = ExtensionOf(path);
    result.problem = ext.empty() ? "no filter is registered for files without an extension"
                                 : "no filter is registered for \"" + std::string(ext) + "\" files";
    return result;
  }
  return ExtractWithFilterClass(registry, class_id, path, limits, SystemCodeSet());
}

FilterText ExtractWithFilterClass(const Registry& registry, std::string_view class_id, const std::string& path,
                                  const FilterLimits& limits, const std::string& codeset) {
  FilterText result;
  FilterObject filter = CreateFilterObject(registry, class_id, &result.problem);
  if (!filter) return result;
  const QuarnFilterVtbl& f = filter.vtbl();
  QuarnFilter* self = filter.get();

  auto explain = [&](const std::string& fallback, QUARN_HRESULT hr) {
    std::string d = filter.Diagnostic();
    if (!d.empty()) return d;
    if (hr == QUARN_FILTER_E_PASSWORD) return std::string("the document is password-protected");
    if (hr == QUARN_FILTER_E_UNKNOWNFORMAT) return std::string("the content is not in the format its name says");
    return fallback + " (" + HexStatus(hr) + ")";
  };

  std::vector<QUARN_WCHAR> wide_path(kPathUnits + 1, 0);
  if (quarn_path_to_utf16(path.data(), path.size(), wide_path.data(), wide_path.size()) ==
      static_cast<std::size_t>(-1))
    wide_path[0] = 0;  // a path that does not fit is handed over empty, so loading fails
  QUARN_HRESULT hr = f.load(self, wide_path.data(), QUARN_STGM_SHARE_DENY_NONE);
  if (QUARN_FAILED(hr)) {
    result.problem = explain("the filter could not open the document", hr);
    return result;
  }
  uint32_t init_flags = 0;
  hr = f.init(self, QUARN_IFILTER_INIT_APPLY_INDEX_ATTRIBUTES, 0, nullptr, &init_flags);
  if (QUARN_FAILED(hr)) {
    result.problem = explain("the filter could not read the document", hr);
    return result;
  }

  std::vector<QUARN_WCHAR> buffer(kTextUnits);
  Utf16ToCodePage converter(codeset);
  std::string& text = result.text;
  int ends = 0;
  int chunk_failures = 0;
  bool cut = false;
  auto over_limit = [&] {
    if (text.size() <= limits.max_text_bytes) return false;
    std::size_t keep = limits.max_text_bytes;
    // Keep whole UTF-8 characters; other character sets cut where they must.
    if (IsUtf8CodeSet(codeset))
      while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
    text.resize(keep);
    cut = true;
    return true;
  };
  while (ends < 2 && !cut) {
    QuarnStatChunk chunk{};
    QUARN_HRESULT r = f.get_chunk(self, &chunk);
    if (r == QUARN_S_OK) {
      chunk_failures = 0;
      if (chunk.flags & QUARN_CHUNK_TEXT) {
        int idle = 0;
        for (;;) {
          uint32_t count = kTextUnits;
          std::memset(buffer.data(), 0, kTextUnits);  // the first 16384 bytes, as promised
          QUARN_HRESULT t = f.get_text(self, &count, buffer.data());
          if (count > kTextUnits) count = kTextUnits;
          bool delivered = false;
          if (count > 0) {
            std::u16string_view piece(reinterpret_cast<const char16_t*>(buffer.data()), count);
            std::size_t nul = piece.find(u'\0');
            if (nul != std::u16string_view::npos) piece = piece.substr(0, nul);
            delivered = !piece.empty();
            converter.Append(piece, text);
            if (nul != std::u16string_view::npos) converter.Flush(text);
            if (over_limit()) break;
          }
          if (t == QUARN_FILTER_E_NO_MORE_TEXT) break;
          if (delivered && QUARN_SUCCEEDED(t)) {
            idle = 0;
          } else if (++idle >= limits.max_consecutive_failures) {
            result.incomplete = true;
            result.problem = "the filter stopped delivering text (" + HexStatus(t) + ")";
            break;
          }
        }
        converter.Flush(text);
      }
    } else if (r == QUARN_FILTER_E_END_OF_CHUNKS) {
      ++ends;
    } else if (++chunk_failures >= limits.max_consecutive_failures) {
      result.incomplete = true;
      result.problem = "the filter kept failing (" + HexStatus(r) + ")";
      text.push_back(' ');
      break;
    }
    if (cut) break;
    text.push_back(' ');
  }
  if (cut) {
    result.incomplete = true;
    result.problem = "the text was cut at " + std::to_string(limits.max_text_bytes) + " bytes";
  }
  result.recognized_pages = filter.RecognizedPages();
  if (!cut && result.problem.empty()) {
    std::string d = filter.Diagnostic();
    if (!d.empty()) {
      result.problem = d;
      result.incomplete = true;
    }
  }
  return result;
}

std::size_t ThinnedRunLength(std::size_t n) {
  // The passes never join two runs, so each run can be thinned on its own:
  // every full group of `run` spaces becomes one space, the rest stay.
  for (std::size_t run : {10, 8, 4, 2}) n = n / run + n % run;
  return n;
}

void ThinSpacesInPlace(std::string& text) {
  // One pass; the output never overtakes the input, so it is written in place.
  char* const base = text.data();
  const std::size_t size = text.size();
  std::size_t in = 0, out = 0;
  while (in < size) {
    const void* hit = std::memchr(base + in, ' ', size - in);
    std::size_t space = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - base) : size;
    if (out != in) std::memmove(base + out, base + in, space - in);
    out += space - in;
    in = space;
    std::size_t end = in;
    while (end < size && base[end] == ' ') ++end;
    std::size_t keep = ThinnedRunLength(end - in);
    std::memset(base + out, ' ', keep);
    out += keep;
    in = end;
  }
  text.resize(out);
}

std::string ThinSpaces(std::string_view input) {
  std::string text(input);
  ThinSpacesInPlace(text);
  return text;
}

namespace {

std::string AbsoluteText(const std::string& path) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.string();
}

[[noreturn]] void ThrowFileError(const char* what, const std::string& path, int err) {
  std::string reason = std::strerror(err);
  while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n' || reason.back() == '\r'))
    reason.pop_back();
  throw FileError(std::string(what) + " \"" + AbsoluteText(path) + "\". " + reason);
}

// Writes all of data to fd; false with errno set when it cannot.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result: a delayed write error shows here.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Follows symbolic links to the file they finally name (which may not exist
// yet); gives up after 40 links, as the kernel does.
std::string ResolveLinks(const std::string& path) {
  std::filesystem::path p(path);
  for (int i = 0; i < 40; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(p, ec))) return p.string();
    std::filesystem::path target = std::filesystem::read_symlink(p, ec);
    if (ec) return p.string();
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return p.string();
}

}  // namespace

void SaveTextFile(const std::string& out_path, std::string_view text) {
  const std::string target = ResolveLinks(out_path);
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    // A pipe, a device or the like: there is nothing to replace, so write it as it is.
    if (S_ISDIR(st.st_mode)) ThrowFileError("Cannot create file", out_path, EISDIR);
    Fd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) ThrowFileError("Cannot create file", out_path, errno);
    if (!WriteAll(fd.get(), text)) ThrowFileError("Cannot write file", out_path, errno);
    if (!fd.Close()) ThrowFileError("Cannot write file", out_path, errno);
    return;
  }
  std::filesystem::path t(target);
  std::string dir = t.has_parent_path() ? t.parent_path().string() : std::string(".");
  std::string base = t.filename().string();
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%012llx~", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    // Short enough for NAME_MAX even when the target's own name is long.
    temp = dir + "/." + base.substr(0, 200) + suffix;
    // 0666 lets the umask decide, as for any new file.
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (raw < 0 && errno != EEXIST) ThrowFileError("Cannot create file", out_path, errno);
  }
  if (raw < 0) ThrowFileError("Cannot create file", out_path, EEXIST);
  Fd fd(raw);
  auto fail = [&](const char* what, int err) {
    ::unlink(temp.c_str());
    ThrowFileError(what, out_path, err);
  };
  if (exists) (void)::fchmod(fd.get(), st.st_mode & 07777);  // a replaced file keeps its permissions
  if (!WriteAll(fd.get(), text)) fail("Cannot write file", errno);
  if (!fd.Close()) fail("Cannot write file", errno);
  if (::rename(temp.c_str(), target.c_str()) != 0) fail("Cannot create file", errno);
}

ConvertResult ConvertWithFilter(const Registry& registry, const std::string& path, const std::string& out_path,
                                const FilterLimits& limits) {
  FilterText extracted = ExtractFilterText(registry, path, limits);
  std::string& text = extracted.text;
  ThinSpacesInPlace(text);
  if (text.empty() || text == " ")
    return ConvertResult::NoText(extracted.problem.empty() ? "the document has no text" : extracted.problem);
  SaveTextFile(out_path, text);
  ConvertResult written = ConvertResult::Written(extracted.incomplete ? extracted.problem : std::string());
  written.recognized_pages = extracted.recognized_pages;
  return written;
}

}  // namespace quarn

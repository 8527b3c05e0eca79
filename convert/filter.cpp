#include "convert/filter.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "convert/big_buffer.h"
#include "convert/charset.h"
#include "convert/filter_host.h"
#include "convert/filter_path.h"
#include "convert/filters/builtin.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

constexpr std::string_view kClasses = "Software\\Classes\\";
constexpr std::string_view kIFilter = "{89BCB740-6119-101A-BCB7-00DD010655AF}";
constexpr uint32_t kTextUnits = 16384;
// Native paths reach up to PATH_MAX bytes, each at most one UTF-16 unit.
constexpr std::size_t kPathUnits = PATH_MAX;

// Files that lie beside documents on shared folders without being one:
// what they are, as the reason a person reads; empty for any other file.
// Only asked when the file gave no text.
std::string CompanionFileReason(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  struct stat st {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  unsigned char magic[4] = {};
  const bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, magic, sizeof magic, 0) == 4;
  ::close(fd);
  if (!read) return {};
  // macOS writes a file's attributes and resource fork beside it as "._name"
  // (AppleDouble) on volumes that cannot hold them.
  if (magic[0] == 0x00 && magic[1] == 0x05 && magic[2] == 0x16 && magic[3] == 0x07)
    return "macOS file information (AppleDouble" + (name.rfind("._", 0) == 0 ? " of \"" + name.substr(2) + "\"" : "") +
           "), not a document";
  // Word, Excel and PowerPoint mark an open document with "~$name", a
  // small file that names who opened it.
  if (name.rfind("~$", 0) == 0 && st.st_size > 0 && st.st_size <= 4096)
    return "an Office lock file (it names who had the document open), not a document";
  return {};
}

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

bool SameClassId(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
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

std::vector<std::string> RegisteredExtensions(const Registry& registry) {
  std::vector<std::string> out;
  for (std::string& ext : registry.ExtensionKeys()) {
    try {
      if (!FindFilterClass(registry, "x" + ext).empty()) out.push_back(std::move(ext));
    } catch (const std::runtime_error&) {
      // A value of the wrong type: the lookup would fail for such files too.
    }
  }
  return out;
}

namespace {

// The class of the built-in filter for a document whose extension no filter
// is registered for, when its content leaves no doubt that it is a document
// of a kind Quarn reads: a message in a Maildir folder ("1700000000.M1P2.host:2,S"),
// a WordPerfect letter named .LTR, Word's backup (.wbk), a download saved
// as .pdf.1.  Pictures, archives, XML and plain text are left alone: under
// names Quarn does not know they are program data far more often than
// documents (application packages are zips, caches hold pictures).  Empty
// when the content is none of those kinds or that filter is not registered.
// Whether a file sniffed as a web page or a PDF starts as one (after a
// byte-order mark and blank space): the sniffer also finds them a little
// way in, which under an unknown name is more often a script or a program's
// source that holds a page or a PDF's signature than a document.
bool StartsAsItsKind(const std::string& path, std::string_view filter) {
  if (filter != "html" && filter != "pdf") return true;
  char head[64];
  ssize_t n = -1;
  if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    n = ::pread(fd, head, sizeof head, 0);
    ::close(fd);
  }
  std::string_view s(head, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  return filter == "pdf" ? s.substr(0, 5) == "%PDF-" : !s.empty() && s.front() == '<';
}

std::string ClassForContent(const Registry& registry, const std::string& path) {
  static constexpr std::string_view kDocumentFilters[] = {
      "eml", "mbox", "pdf",  "rtf",  "html", "doc",         "xls", "ppt",   "msg", "docx", "xlsx", "xlsb",
      "pptx", "odf", "epub", "pst", "tnef", "wordperfect", "mac", "works", "djvu", "signed", "postscript",
      "ebook", "dbx", "olm", "warc", "ooxml-encrypted", "access", "sqlite"};
  const Sniffed sniffed = SniffContent(path);
  if (std::find(std::begin(kDocumentFilters), std::end(kDocumentFilters), sniffed.filter) ==
          std::end(kDocumentFilters) ||
      !StartsAsItsKind(path, sniffed.filter))
    return {};
  const BuiltinFilterInfo* builtin = FindBuiltinFilter(sniffed.filter);
  if (!builtin) return {};
  const std::string class_id(builtin->class_id);
  if (registry.ReadDefaultText(std::string(kClasses) + "CLSID\\" + class_id + "\\InprocServer32").empty()) return {};
  return class_id;
}

// Whether class_id is a built-in filter whose extensions other formats share.
bool SharesExtensions(std::string_view class_id) {
  for (const BuiltinFilterInfo& f : BuiltinFilters())
    if (f.shares_extensions && SameClassId(f.class_id, class_id)) return true;
  return false;
}

}  // namespace

bool HasFilterFor(const Registry& registry, const std::string& path) {
  try {
    return !FindFilterClass(registry, path).empty() || !ClassForContent(registry, path).empty();
  } catch (const std::exception&) {
    return true;  // a damaged registration: the conversion says so
  }
}

std::vector<std::string> SideFiles(const std::string& path) {
  std::vector<std::string> found;
  const std::string_view ext = ExtensionOf(path);
  if (ext.empty()) return found;
  const std::string lower = LowerAscii(ext);
  const std::string stem = path.substr(0, path.size() - ext.size());
  for (const BuiltinFilterInfo& info : BuiltinFilters()) {
    if (info.side_extensions.empty() ||
        std::find(info.extensions.begin(), info.extensions.end(), lower) == info.extensions.end())
      continue;
    for (std::string_view side : info.side_extensions) {
      std::string upper(side);
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      for (const std::string& name : {stem + std::string(side), stem + upper}) {
        struct stat st {};
        if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(name);
      }
    }
  }
  return found;
}

FilterText ExtractFilterText(const Registry& registry, const std::string& path, const FilterLimits& limits) {
  std::string class_id = FindFilterClass(registry, path);
  if (class_id.empty() || SharesExtensions(class_id))
    if (std::string by_content = ClassForContent(registry, path); !by_content.empty()) class_id = std::move(by_content);
  if (class_id.empty()) {
    FilterText result;
    std::string_view ext = ExtensionOf(path);
    result.problem = ext.empty() ? "no filter is registered for files without an extension"
                                 : "no filter is registered for \"" + std::string(ext) + "\" files";
    return result;
  }
  FilterText result = ExtractWithFilterClass(registry, class_id, path, limits, SystemCodeSet());
  if (!HasVisibleText(result.text))
    if (std::string companion = CompanionFileReason(path); !companion.empty()) result.problem = std::move(companion);
  return result;
}

FilterText ExtractWithFilterClass(const Registry& registry, std::string_view class_id, const std::string& path,
                                  const FilterLimits& limits, const std::string& codeset) {
  FilterText result;
  FilterObject filter = CreateFilterObject(registry, class_id, &result.problem);
  if (!filter) return result;
  {
    const std::string server =
        registry.ReadDefaultText("Software\\Classes\\CLSID\\" + std::string(class_id) + "\\InprocServer32");
    constexpr std::string_view kBuiltin = "builtin:";
    result.reader = server.starts_with(kBuiltin) ? server.substr(kBuiltin.size())
                                                 : std::filesystem::path(server).filename().string();
  }
  const QuarnFilterVtbl& f = filter.vtbl();
  QuarnFilter* self = filter.get();

  auto explain = [&](const std::string& fallback, QUARN_HRESULT hr) {
    std::string d = filter.Diagnostic();
    if (!d.empty()) return d;
    if (hr == QUARN_FILTER_E_PASSWORD) return std::string("the document is password-protected");
    if (hr == QUARN_FILTER_E_UNKNOWNFORMAT) return std::string("the content is not in the format its name says");
    return fallback + " (" + HexStatus(hr) + ")";
  };

  // A byte of the path never makes more than one unit: room for the path,
  // up to the longest one handed over.
  std::vector<QUARN_WCHAR> wide_path(std::min(path.size(), kPathUnits) + 1, 0);
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

  // Left unfilled: each call clears what it promises to, and a short
  // document never touches the rest.
  const std::unique_ptr<QUARN_WCHAR[]> buffer(new QUARN_WCHAR[kTextUnits]);
  Utf16ToCodePage converter(codeset);
  std::string& text = result.text;
  // The text never grows far past the cap: without a ceiling its buffer
  // would double to twice the cap just for the last piece.
  const std::size_t ceiling = limits.max_text_bytes + converter.MaxBytesPerUnit() * kTextUnits + 16;
  // Where the document's own text ends: the spaces the loop puts after the
  // last chunk (and before the first) are separators, not text.
  std::size_t text_end = 0;
  int ends = 0;
  int chunk_failures = 0;
  bool cut = false;
  auto separate = [&] {
    if (!text.empty()) text.push_back(' ');
  };
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
          std::memset(buffer.get(), 0, kTextUnits);  // the first 16384 bytes, as promised
          QUARN_HRESULT t = f.get_text(self, &count, buffer.get());
          if (count > kTextUnits) count = kTextUnits;
          bool delivered = false;
          if (count > 0) {
            std::u16string_view piece(reinterpret_cast<const char16_t*>(buffer.get()), count);
            std::size_t nul = piece.find(u'\0');
            if (nul != std::u16string_view::npos) piece = piece.substr(0, nul);
            delivered = !piece.empty();
            GrowBuffer(text, converter.MaxBytesPerUnit() * piece.size() + 4, ceiling);
            converter.Append(piece, text);
            if (nul != std::u16string_view::npos) converter.Flush(text);
            const bool full = over_limit();
            text_end = text.size();
            if (full) break;
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
        if (!cut) text_end = text.size();
      }
    } else if (r == QUARN_FILTER_E_END_OF_CHUNKS) {
      ++ends;
    } else if (++chunk_failures >= limits.max_consecutive_failures) {
      result.incomplete = true;
      result.problem = "the filter kept failing (" + HexStatus(r) + ")";
      break;
    }
    if (cut) break;
    separate();
  }
  text.resize(std::min(text.size(), text_end));
  if (cut) {
    result.incomplete = true;
    result.problem = "the text was cut at " + std::to_string(limits.max_text_bytes) + " bytes";
  }
  result.recognized_pages = filter.RecognizedPages();
  result.pages = filter.PageCount();
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

// Decodes one UTF-8 character at s[i]; 0xFFFD (one byte) for a broken one.
char32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  const std::size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  i += len;
  return cp;
}

// White space, controls and the characters that take no room on the page.
bool Invisible(char32_t cp) {
  return cp <= 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD || cp == 0x34F || cp == 0x61C || cp == 0x115F ||
         cp == 0x1160 || cp == 0x1680 || cp == 0x180E || (cp >= 0x2000 && cp <= 0x200F) ||
         (cp >= 0x2028 && cp <= 0x202F) || (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0x3164 ||
         cp == 0xFEFF || cp == 0xFFA0;
}

}  // namespace

std::string NotADocumentReason(mode_t mode) {
  const char* kind = S_ISDIR(mode)    ? "a folder"
                     : S_ISFIFO(mode) ? "a named pipe"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "not a regular file";
  return std::string("not a document: ") + kind;
}

bool HasVisibleText(std::string_view text) {
  if (!IsUtf8CodeSet(SystemCodeSet())) {
    for (char c : text) {
      const auto b = static_cast<unsigned char>(c);
      if (b > 0x20 && b != 0x7F) return true;
    }
    return false;
  }
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      if (static_cast<unsigned char>(text[i]) > 0x20 && text[i] != 0x7F) return true;
      ++i;
      continue;
    }
    if (!Invisible(NextCodePoint(text, i))) return true;
  }
  return false;
}

ConvertResult ResultOfSave(const SaveResult& saved, std::string note) {
  switch (saved.outcome) {
    case Saved::kWritten: return ConvertResult::Written(std::move(note));
    case Saved::kSameFile: return ConvertResult::SameFile();
    case Saved::kRefused: return ConvertResult::Failed(saved.reason);
  }
  return ConvertResult::Failed(saved.reason);
}

DocumentText ReadWithFilter(const Registry& registry, const std::string& path, const FilterLimits& limits) {
  return TextToWrite(ExtractFilterText(registry, path, limits));
}

DocumentText TextToWrite(FilterText extracted) {
  DocumentText read;
  ThinSpacesInPlace(extracted.text);
  if (!HasVisibleText(extracted.text)) {
    read.result = ConvertResult::NoText(extracted.problem.empty() ? "the document has no text" : extracted.problem);
    read.result.reader = std::move(extracted.reader);
    read.result.pages = extracted.pages;
    return read;
  }
  read.result = ConvertResult::Written(extracted.incomplete ? extracted.problem : std::string());
  read.result.recognized_pages = extracted.recognized_pages;
  read.result.pages = extracted.pages;
  read.result.reader = std::move(extracted.reader);
  read.text = std::move(extracted.text);
  return read;
}

ConvertResult ConvertWithFilter(const Registry& registry, const std::string& path, const std::string& out_path,
                                const FilterLimits& limits, const SaveOptions& save) {
  DocumentText read = ReadWithFilter(registry, path, limits);
  if (!read.result.written()) return read.result;
  ConvertResult result = ResultOfSave(SaveTextFile(out_path, read.text, save), read.result.reason);
  result.recognized_pages = read.result.recognized_pages;
  return result;
}

}  // namespace quarn

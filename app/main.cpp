#include "app/main.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>

#include "convert/charset.h"
#include "convert/filter.h"
#include "convert/filters/builtin.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/pdf_filter.h"
#include "convert/filters/sniff.h"

namespace quarn {

std::mutex PdfLock;

namespace {

// Set once by StartUp (main thread, before any worker exists), then only read.
// Never destroyed: freeing its many small entries at the end would only make
// the process touch (and, after a converter was forked, copy) every page
// they lie on, just before the system takes them back.
std::unique_ptr<const Registry>& installed_registry = *new std::unique_ptr<const Registry>;

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The characters of UTF-8 text: every byte but the continuation bytes.
std::uint64_t CharacterCount(std::string_view text) {
  std::uint64_t n = 0;
  for (const unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// The input, held open while its text is read.
struct InputFile {
  explicit InputFile(int f) : fd(f) {}
  ~InputFile() {
    if (fd >= 0) ::close(fd);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  int fd;
};

}  // namespace

void InstallRegistry(Registry registry) {
  installed_registry = std::make_unique<const Registry>(std::move(registry));
}

const Registry& InstalledRegistry() {
  if (installed_registry) return *installed_registry;
  static const Registry standard = Registry::LoadStandard();
  return standard;
}

std::string OutputPathFor(std::string_view path) {
  std::string_view ext = ExtensionOf(path);
  if (ext.empty()) return std::string(path) + ".txt";
  return std::string(path.substr(0, path.size() - ext.size())) + ".txt";
}

DocumentText ReadDocument(const Registry& registry, const std::string& path) {
  try {
    DocumentText read = ReadWithFilter(registry, path);
    if (read.result.outcome == Outcome::kNoText && ExtensionOf(path) == ".pdf") {
      DocumentText pdf = ReadPdf(path);
      // Pages that OCR could not read are missing from what the PDF route
      // gives: say so rather than report the text as whole.
      if (pdf.result.written() && pdf.result.reason.empty() && read.result.reason.starts_with(kPdfOcrProblem))
        pdf.result.reason = read.result.reason;
      if (pdf.result.outcome != Outcome::kNoText) return pdf;
    }
    return read;
  } catch (const std::bad_alloc&) {
    return {ConvertResult::Failed("out of memory while converting " + Quoted(path)), {}};
  } catch (const std::exception& e) {
    return {ConvertResult::Failed(e.what()), {}};
  }
}

namespace {

// Whether the text filter keeps content of this kind as the text it is.
bool TextFilterKeeps(const Sniffed& s) {
  switch (s.kind) {
    case ContentKind::kUnknown: return s.filter.empty();
    case ContentKind::kHtml:
    case ContentKind::kXml:
    case ContentKind::kMail:
    case ContentKind::kMbox:
    case ContentKind::kCalendar:
    case ContentKind::kVcard: return true;
    default: return false;
  }
}

}  // namespace

std::optional<DocumentText> ReadOwnPlainText(const Registry& registry, const DocumentInput& input) {
  const BuiltinFilterInfo* text_filter = FindBuiltinFilter("text");
  struct stat st {};
  if (!text_filter || input.fd < 0 || ::fstat(input.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      static_cast<std::uint64_t>(st.st_size) > kOwnPlainTextBytes)
    return std::nullopt;
  try {
    const std::string class_id = FindFilterClass(registry, input.path);
    if (!SameClassId(class_id, text_filter->class_id)) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::pread(input.fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;  // shorter than it was: the converter says what it finds
      got += static_cast<std::size_t>(n);
    }
    if (bytes.find('\0') != std::string::npos || bytes.find('\x1B') != std::string::npos) return std::nullopt;
    if (!TextFilterKeeps(SniffHead(bytes)) || !IsValidUtf8(bytes)) return std::nullopt;
    // The filter reads the private copy, never the named file again.
    const int copy = ::memfd_create("quarn-text", MFD_CLOEXEC);
    if (copy < 0) return std::nullopt;
    const InputFile held(copy);
    for (std::size_t put = 0; put < bytes.size();) {
      const ssize_t n = ::write(copy, bytes.data() + put, bytes.size() - put);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      put += static_cast<std::size_t>(n);
    }
    const std::string copy_path = "/proc/self/fd/" + std::to_string(copy);
    return TextToWrite(ExtractWithFilterClass(registry, class_id, copy_path, FilterLimits{}, SystemCodeSet()));
  } catch (const std::exception&) {
    return std::nullopt;  // the converter reads it and says why
  }
}

ConvertResult ConvertFile(const std::string& path, const std::string& out_path, OutputGate* gate) {
  return ConvertFile(InstalledRegistry(), path, out_path, gate);
}

ConvertResult ConvertFile(const Registry& registry, const std::string& path, const std::string& out_path,
                          OutputGate* gate) {
  return ConvertFile(
      path, out_path, [&](const DocumentInput& input) { return ReadDocument(registry, input.path); }, gate);
}

namespace {

std::string NotADocument(const std::string& path, mode_t mode) {
  return Quoted(path) + " is " + NotADocumentReason(mode);
}

// Opens the document path into *input (and *in): empty, or why it is no
// document that can be read.  Anything but a regular file is refused before
// it is opened: opening a device can have effects of its own, and reading a
// pipe can wait for ever.
std::string OpenDocument(const std::string& path, InputFile* input, struct stat* in) {
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) return "cannot read " + Quoted(path) + ": " + std::strerror(errno);
  if (S_ISDIR(named.st_mode)) return Quoted(path) + " is a folder, not a document";
  if (!S_ISREG(named.st_mode)) return NotADocument(path, named.st_mode);
  input->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (input->fd < 0 || ::fstat(input->fd, in) != 0) return "cannot read " + Quoted(path) + ": " + std::strerror(errno);
  if (!S_ISREG(in->st_mode)) return NotADocument(path, in->st_mode);
  return {};
}

}  // namespace

ConvertResult ConvertToText(const std::string& path, const DocumentReader& read, std::string* text) {
  InputFile input(-1);
  struct stat in {};
  if (std::string why = OpenDocument(path, &input, &in); !why.empty()) return ConvertResult::Failed(why);
  try {
    DocumentText read_text = read(DocumentInput{path, input.fd, in.st_size});
    ConvertResult result = read_text.result;
    result.input_bytes = static_cast<std::uint64_t>(in.st_size);
    if (!result.written()) return result;
    result.text_chars = CharacterCount(read_text.text);
    *text = std::move(read_text.text);
    return result;
  } catch (const std::bad_alloc&) {
    return ConvertResult::Failed("out of memory while converting " + Quoted(path));
  } catch (const std::exception& e) {
    return ConvertResult::Failed(e.what());
  }
}

ConvertResult ConvertToStream(const std::string& path, int out_fd, const DocumentReader& read) {
  std::string text;
  ConvertResult result = ConvertToText(path, read, &text);
  if (!result.written()) return result;
  for (std::string_view left = text; !left.empty();) {
    const ssize_t n = ::write(out_fd, left.data(), left.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ConvertResult::Failed(std::string("cannot write the text: ") + std::strerror(errno));
    left.remove_prefix(static_cast<std::size_t>(n));
  }
  return result;
}

ConvertResult ConvertFile(const std::string& path, const std::string& out_path, const DocumentReader& read,
                          OutputGate* gate) {
  const std::string out = out_path.empty() ? OutputPathFor(path) : out_path;
  // Held open until the text is in place: this file, whatever its name
  // holds by then, is the one the text must never replace.
  InputFile input(-1);
  struct stat in {};
  if (std::string why = OpenDocument(path, &input, &in); !why.empty()) return ConvertResult::Failed(why);
  // The common case, answered before any reading: the output name holds the
  // document now.  The write checks again at the last moment.
  struct stat target {};
  if (::stat(out.c_str(), &target) == 0 && IdentityOf(target) == IdentityOf(in)) return ConvertResult::SameFile();

  SaveOptions save;
  save.input = IdentityOf(in);
  save.origin = std::filesystem::path(path).filename().string();
  // A run's text files record the document's state for a later --update; a
  // single conversion, whose text file goes where it is told, does not pay
  // the write.
  if (gate) save.source = SourceStateValue(in);
  save.gate = gate;
  try {
    DocumentText text = read(DocumentInput{path, input.fd, in.st_size});
    ConvertResult result = text.result;
    if (result.written()) {
      result = ResultOfSave(SaveTextFile(out, text.text, save), text.result.reason);
      result.recognized_pages = text.result.recognized_pages;
      result.pages = text.result.pages;
      result.reader = text.result.reader;
      if (result.written()) {
        result.output = out;
        result.text_chars = CharacterCount(text.text);
      }
    }
    result.input_bytes = static_cast<std::uint64_t>(in.st_size);
    return result;
  } catch (const FileError& e) {
    return ConvertResult::Failed(e.what());
  } catch (const std::bad_alloc&) {
    return ConvertResult::Failed("out of memory while converting " + Quoted(path));
  } catch (const std::exception& e) {
    return ConvertResult::Failed(e.what());
  }
}

}  // namespace quarn

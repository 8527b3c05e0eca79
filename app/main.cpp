#include "app/main.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>

#include "convert/filter.h"
#include "convert/filters/pdf_filter.h"

namespace quarn {

std::mutex PdfLock;

namespace {

// Set once by StartUp (main thread, before any worker exists), then only read.
std::unique_ptr<const Registry> installed_registry;

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

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

}  // namespace

ConvertResult ConvertFile(const std::string& path, const std::string& out_path, const DocumentReader& read,
                          OutputGate* gate) {
  const std::string out = out_path.empty() ? OutputPathFor(path) : out_path;
  // Anything but a regular file is refused before it is opened: opening a
  // device can have effects of its own, and reading a pipe can wait for ever.
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0)
    return ConvertResult::Failed("cannot read " + Quoted(path) + ": " + std::strerror(errno));
  if (S_ISDIR(named.st_mode)) return ConvertResult::Failed(Quoted(path) + " is a folder, not a document");
  if (!S_ISREG(named.st_mode)) return ConvertResult::Failed(NotADocument(path, named.st_mode));
  // Held open until the text is in place: this file, whatever its name
  // holds by then, is the one the text must never replace.
  InputFile input(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (input.fd < 0) return ConvertResult::Failed("cannot read " + Quoted(path) + ": " + std::strerror(errno));
  struct stat in {};
  if (::fstat(input.fd, &in) != 0)
    return ConvertResult::Failed("cannot read " + Quoted(path) + ": " + std::strerror(errno));
  if (!S_ISREG(in.st_mode)) return ConvertResult::Failed(NotADocument(path, in.st_mode));
  // The common case, answered before any reading: the output name holds the
  // document now.  The write checks again at the last moment.
  struct stat target {};
  if (::stat(out.c_str(), &target) == 0 && IdentityOf(target) == IdentityOf(in)) return ConvertResult::SameFile();

  SaveOptions save;
  save.input = IdentityOf(in);
  save.origin = std::filesystem::path(path).filename().string();
  save.gate = gate;
  try {
    DocumentText text = read(DocumentInput{path, input.fd});
    if (!text.result.written()) return text.result;
    ConvertResult result = ResultOfSave(SaveTextFile(out, text.text, save), text.result.reason);
    result.recognized_pages = text.result.recognized_pages;
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

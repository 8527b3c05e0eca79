#include "app/main.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
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

ConvertResult ConvertFile(const std::string& path, const std::string& out_path) {
  return ConvertFile(InstalledRegistry(), path, out_path);
}

ConvertResult ConvertFile(const Registry& registry, const std::string& path, const std::string& out_path) {
  const std::string out = out_path.empty() ? OutputPathFor(path) : out_path;
  struct stat in {};
  if (::stat(path.c_str(), &in) != 0)
    return ConvertResult::Failed("cannot read " + Quoted(path) + ": " + std::strerror(errno));
  if (S_ISDIR(in.st_mode)) return ConvertResult::Failed(Quoted(path) + " is a folder, not a document");
  {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return ConvertResult::Failed("cannot read " + Quoted(path) + ": " + std::strerror(errno));
    ::close(fd);
  }
  struct stat target {};
  if (::stat(out.c_str(), &target) == 0 && target.st_dev == in.st_dev && target.st_ino == in.st_ino)
    return ConvertResult::SameFile();
  try {
    ConvertResult result = ConvertWithFilter(registry, path, out);
    if (result.outcome == Outcome::kNoText && ExtensionOf(path) == ".pdf") {
      ConvertResult pdf = ConvertPdf(path, out);
      // Pages that OCR could not read are missing from what the PDF route
      // wrote: say so rather than report the text as whole.
      if (pdf.written() && pdf.reason.empty() && result.reason.starts_with(kPdfOcrProblem)) pdf.reason = result.reason;
      if (pdf.outcome != Outcome::kNoText) return pdf;
    }
    return result;
  } catch (const std::bad_alloc&) {
    return ConvertResult::Failed("out of memory while converting " + Quoted(path));
  } catch (const std::exception& e) {
    return ConvertResult::Failed(e.what());
  }
}

}  // namespace quarn

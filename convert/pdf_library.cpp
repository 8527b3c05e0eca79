#include "convert/pdf_library.h"

#include <dlfcn.h>

#include <filesystem>

namespace quarn {

namespace {

struct Loaded {
  PdfLibrary library;
  bool usable = false;
  std::string error;
};

template <typename Fn>
bool Bind(void* handle, const char* name, Fn* fn, std::string* error) {
  *fn = reinterpret_cast<Fn>(dlsym(handle, name));
  if (!*fn) *error = "the PDF text library does not export " + std::string(name);
  return *fn != nullptr;
}

Loaded Load() {
  Loaded r;
  // Beside this library first: the build tree and an installation keep both
  // in the same folder, and no other copy should be picked up by accident.
  void* handle = nullptr;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LoadPdfLibrary), &info) != 0 && info.dli_fname) {
    const std::filesystem::path beside = std::filesystem::path(info.dli_fname).parent_path() / "libpdfinfo.so";
    handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!handle) handle = dlopen("libpdfinfo.so", RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* e = dlerror();
    r.error = "cannot load the PDF text library" + (e ? std::string(": ") + e : std::string());
    return r;
  }
  // Kept loaded for the life of the process: its text may still be in use.
  r.usable = Bind(handle, "GetDocInfo", &r.library.GetDocInfo, &r.error) &&
             Bind(handle, "GetTextContentFormated", &r.library.GetTextContentFormated, &r.error) &&
             Bind(handle, "PdfExtractPages", &r.library.PdfExtractPages, &r.error) &&
             Bind(handle, "PdfExtractAttachments", &r.library.PdfExtractAttachments, &r.error);
  return r;
}

}  // namespace

const PdfLibrary* LoadPdfLibrary(std::string* error) {
  static const Loaded loaded = Load();
  if (!loaded.usable) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.library;
}

}  // namespace quarn

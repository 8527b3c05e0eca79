#include "convert/filters/module.h"

#include <dlfcn.h>

#include <filesystem>

namespace quarn {

namespace {

struct Loaded {
  const FilterModule* module = nullptr;
  std::string error;
};

// The folder the modules are installed in: "quarn" beside this library.
std::filesystem::path ModuleFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LoadFilterModule), &info) == 0 || !info.dli_fname) return {};
  return std::filesystem::path(info.dli_fname).parent_path() / "quarn";
}

Loaded Load(const char* file, const char* entry) {
  Loaded r;
  const std::filesystem::path path = ModuleFolder() / file;
  // RTLD_NOW: a module with a missing symbol fails here, with a reason,
  // instead of in the middle of a document.  The handle is kept for the
  // life of the program: filters created from it may be in use anywhere.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* e = dlerror();
    r.error = "cannot load the filter module " + path.string() + (e ? std::string(": ") + e : std::string());
    return r;
  }
  using Entry = const FilterModule* (*)();
  auto fn = reinterpret_cast<Entry>(dlsym(handle, entry));
  r.module = fn ? fn() : nullptr;
  if (!r.module) r.error = path.string() + " does not export " + entry;
  return r;
}

}  // namespace

const FilterModule* LoadFilterModule(std::string_view name, std::string* error) {
  const Loaded* loaded = nullptr;
  // One thread-safe, load-once entry per module.
  if (name == "markup") {
    static const Loaded markup = Load("libquarn_markup.so", "QuarnMarkupModule");
    loaded = &markup;
  } else if (name == "package") {
    static const Loaded package = Load("libquarn_package.so", "QuarnPackageModule");
    loaded = &package;
  } else if (name == "ole") {
    static const Loaded ole = Load("libquarn_ole.so", "QuarnOleModule");
    loaded = &ole;
  } else if (name == "mail") {
    static const Loaded mail = Load("libquarn_mail.so", "QuarnMailModule");
    loaded = &mail;
  } else if (name == "archive") {
    static const Loaded archive = Load("libquarn_archive.so", "QuarnArchiveModule");
    loaded = &archive;
  } else if (name == "pst") {
    static const Loaded pst = Load("libquarn_pst.so", "QuarnPstModule");
    loaded = &pst;
  } else if (name == "chm") {
    static const Loaded chm = Load("libquarn_chm.so", "QuarnChmModule");
    loaded = &chm;
  } else if (name == "calendar") {
    static const Loaded calendar = Load("libquarn_calendar.so", "QuarnCalendarModule");
    loaded = &calendar;
  } else if (name == "image") {
    static const Loaded image = Load("libquarn_image.so", "QuarnImageModule");
    loaded = &image;
  }
  if (!loaded) {
    if (error) *error = "no filter module \"" + std::string(name) + "\"";
    return nullptr;
  }
  if (!loaded->module && error) *error = loaded->error;
  return loaded->module;
}

}  // namespace quarn

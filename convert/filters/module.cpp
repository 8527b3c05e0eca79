#include "convert/filters/module.h"

#include <dlfcn.h>

#include <filesystem>
#include <iterator>
#include <mutex>

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

// Every module: its name, its shared object and the function it exports.
struct ModuleFile {
  std::string_view name;
  const char* file;
  const char* entry;
};

constexpr ModuleFile kModules[] = {
    {"markup", "libquarn_markup.so", "QuarnMarkupModule"},
    {"package", "libquarn_package.so", "QuarnPackageModule"},
    {"ole", "libquarn_ole.so", "QuarnOleModule"},
    {"mail", "libquarn_mail.so", "QuarnMailModule"},
    {"archive", "libquarn_archive.so", "QuarnArchiveModule"},
    {"pst", "libquarn_pst.so", "QuarnPstModule"},
    {"chm", "libquarn_chm.so", "QuarnChmModule"},
    {"calendar", "libquarn_calendar.so", "QuarnCalendarModule"},
    {"image", "libquarn_image.so", "QuarnImageModule"},
    {"wordperfect", "libquarn_wordperfect.so", "QuarnWordPerfectModule"},
    {"works", "libquarn_works.so", "QuarnWorksModule"},
    {"mac", "libquarn_mac.so", "QuarnMacModule"},
    {"iwork", "libquarn_iwork.so", "QuarnIworkModule"},
    {"visio", "libquarn_visio.so", "QuarnVisioModule"},
    {"publisher", "libquarn_publisher.so", "QuarnPublisherModule"},
    {"staroffice", "libquarn_staroffice.so", "QuarnStarOfficeModule"},
    {"corel", "libquarn_corel.so", "QuarnCorelModule"},
    {"quark", "libquarn_quark.so", "QuarnQuarkModule"},
    {"zoner", "libquarn_zoner.so", "QuarnZonerModule"},
    {"freehand", "libquarn_freehand.so", "QuarnFreeHandModule"},
    {"pagemaker", "libquarn_pagemaker.so", "QuarnPageMakerModule"},
    {"abiword", "libquarn_abiword.so", "QuarnAbiWordModule"},
    {"ebook", "libquarn_ebook.so", "QuarnEbookModule"},
    {"fitz", "libquarn_fitz.so", "QuarnFitzModule"},
    {"djvu", "libquarn_djvu.so", "QuarnDjvuModule"},
    {"heif", "libquarn_heif.so", "QuarnHeifModule"},
    {"signed", "libquarn_signed.so", "QuarnSignedModule"},
    {"postscript", "libquarn_postscript.so", "QuarnPostScriptModule"},
    {"webarchive", "libquarn_webarchive.so", "QuarnWebArchiveModule"},
    {"access", "libquarn_access.so", "QuarnAccessModule"},
    {"dbase", "libquarn_dbase.so", "QuarnDbaseModule"},
    {"sqlite", "libquarn_sqlite.so", "QuarnSqliteModule"},
    {"paradox", "libquarn_paradox.so", "QuarnParadoxModule"},
};
constexpr std::size_t kModuleCount = std::size(kModules);

}  // namespace

const FilterModule* LoadFilterModule(std::string_view name, std::string* error) {
  std::size_t index = kModuleCount;
  for (std::size_t i = 0; i < kModuleCount; ++i)
    if (kModules[i].name == name) index = i;
  if (index == kModuleCount) {
    if (error) *error = "no filter module \"" + std::string(name) + "\"";
    return nullptr;
  }
  // One thread-safe, load-once entry per module.
  static std::once_flag once[kModuleCount];
  static Loaded loaded[kModuleCount];
  std::call_once(once[index], [index] { loaded[index] = Load(kModules[index].file, kModules[index].entry); });
  const Loaded& l = loaded[index];
  if (!l.module && error) *error = l.error;
  return l.module;
}

std::string PictureTooLargeReason(std::uint64_t width, std::uint64_t height) {
  return "the picture is too large: " + std::to_string(width) + " x " + std::to_string(height) + " pixels (at most " +
         std::to_string(kMaxPicturePixels / 1000000) + " megapixels are read)";
}

OcrPageText RecognizeGreyPageOnDemand(const GreyImage& image) {
  std::string why;
  const FilterModule* ocr = LoadFilterModule("image", &why);
  if (!ocr || !ocr->recognize_grey_page) return {{}, "text recognition is not available: " + why, false};
  return ocr->recognize_grey_page(image);
}

}  // namespace quarn

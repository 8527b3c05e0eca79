#include "convert/filter_host.h"

#include <dlfcn.h>

#include <cctype>
#include <cstddef>
#include <filesystem>
#include <utility>

#include "convert/filters/builtin.h"

namespace quarn {

bool IsValidClassId(std::string_view t) {
  if (t.size() != 38 || t.front() != '{' || t.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? t[i] != '-' : !std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
  }
  return true;
}

FilterObject::FilterObject(FilterObject&& other) noexcept
    : filter_(std::exchange(other.filter_, nullptr)), library_(std::exchange(other.library_, nullptr)) {}

FilterObject& FilterObject::operator=(FilterObject&& other) noexcept {
  if (this != &other) {
    Reset();
    filter_ = std::exchange(other.filter_, nullptr);
    library_ = std::exchange(other.library_, nullptr);
  }
  return *this;
}

void FilterObject::Reset() {
  if (filter_) filter_->vtbl->release(filter_);
  filter_ = nullptr;
  if (library_) dlclose(library_);
  library_ = nullptr;
}

std::string FilterObject::Diagnostic() const {
  if (!filter_) return {};
  const QuarnFilterVtbl& v = *filter_->vtbl;
  // Older plug-ins were built without the member: their size says so.
  if (v.size < offsetof(QuarnFilterVtbl, diagnostic) + sizeof(v.diagnostic) || !v.diagnostic) return {};
  const char* d = v.diagnostic(filter_);
  return d ? std::string(d) : std::string();
}

unsigned FilterObject::RecognizedPages() const {
  if (!filter_) return 0;
  const QuarnFilterVtbl& v = *filter_->vtbl;
  if (v.size < offsetof(QuarnFilterVtbl, recognized_pages) + sizeof(v.recognized_pages) || !v.recognized_pages)
    return 0;
  return v.recognized_pages(filter_);
}

std::int64_t FilterObject::PageCount() const {
  if (!filter_) return -1;
  const QuarnFilterVtbl& v = *filter_->vtbl;
  if (v.size < offsetof(QuarnFilterVtbl, page_count) + sizeof(v.page_count) || !v.page_count) return -1;
  const std::int64_t pages = v.page_count(filter_);
  return pages >= 0 ? pages : -1;
}

namespace {

std::string UpperClassId(std::string_view id) {
  std::string s(id);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool VtblUsable(const QuarnFilter* f) {
  const QuarnFilterVtbl* v = f ? f->vtbl : nullptr;
  return v && v->size >= offsetof(QuarnFilterVtbl, diagnostic) && v->load && v->init && v->get_chunk &&
         v->get_text && v->release;
}

}  // namespace

FilterObject CreateFilterObject(const Registry& registry, std::string_view class_id, std::string* reason) {
  auto fail = [&](std::string why) {
    if (reason) *reason = std::move(why);
    return FilterObject();
  };
  if (!IsValidClassId(class_id)) return fail("no filter is registered for this kind of file");
  const std::string key = "Software\\Classes\\CLSID\\" + std::string(class_id) + "\\InprocServer32";
  const std::string server = registry.ReadDefaultText(key);
  if (server.empty()) return fail("the filter " + std::string(class_id) + " is not installed");
  constexpr std::string_view kBuiltin = "builtin:";
  if (server.compare(0, kBuiltin.size(), kBuiltin) == 0) {
    const BuiltinFilterInfo* info = FindBuiltinFilter(std::string_view(server).substr(kBuiltin.size()));
    if (!info) return fail("unknown built-in filter " + server);
    std::string error;
    std::unique_ptr<BuiltinFilter> filter = CreateBuiltinFilter(*info, &error);
    if (!filter) return fail(error);
    return FilterObject(WrapBuiltinFilter(std::move(filter), TextSink::kDefaultLimit, &registry), nullptr);
  }
  std::filesystem::path library(server);
  if (library.is_relative()) {
    const RegValue* v = registry.FindDefault(key);
    if (v && !v->origin_dir.empty()) library = std::filesystem::path(v->origin_dir) / library;
  }
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* e = dlerror();
    return fail("cannot load the filter " + library.string() + (e ? std::string(": ") + e : std::string()));
  }
  auto create = reinterpret_cast<QuarnCreateFilterFn>(dlsym(handle, QUARN_CREATE_FILTER_SYMBOL));
  if (!create) {
    dlclose(handle);
    return fail(library.string() + " does not export " QUARN_CREATE_FILTER_SYMBOL);
  }
  QuarnFilter* filter = nullptr;
  QUARN_HRESULT hr = create(UpperClassId(class_id).c_str(), &filter);
  if (QUARN_FAILED(hr) || !filter) {
    dlclose(handle);
    return fail("the filter " + library.string() + " could not be created");
  }
  if (!VtblUsable(filter)) {
    if (filter->vtbl && filter->vtbl->release) filter->vtbl->release(filter);
    dlclose(handle);
    return fail("the filter " + library.string() + " has an incomplete interface");
  }
  return FilterObject(filter, handle);
}

}  // namespace quarn

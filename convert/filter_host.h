// The filter host: creates a filter plug-in object for a class id, either a
// built-in filter or one exported by a shared object that the registry names.
// Called by ExtractFilterText on whatever thread converts the document; it
// keeps no state of its own (the loader's reference counts do the sharing).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "convert/filter_api.h"
#include "convert/registry.h"

namespace quarn {

// True for a braced class id "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
bool IsValidClassId(std::string_view text);

// One plug-in object and the shared object it came from: releasing the
// object, then dropping the library's reference, on every way out.
class FilterObject {
 public:
  FilterObject() = default;
  FilterObject(QuarnFilter* filter, void* library) : filter_(filter), library_(library) {}
  FilterObject(FilterObject&& other) noexcept;
  FilterObject& operator=(FilterObject&& other) noexcept;
  FilterObject(const FilterObject&) = delete;
  FilterObject& operator=(const FilterObject&) = delete;
  ~FilterObject() { Reset(); }

  explicit operator bool() const { return filter_ != nullptr; }
  QuarnFilter* get() const { return filter_; }
  const QuarnFilterVtbl& vtbl() const { return *filter_->vtbl; }
  // The filter's own explanation, or empty.
  std::string Diagnostic() const;
  // Pages the filter read by OCR; 0 when it does not say.
  unsigned RecognizedPages() const;
  // The document's pages as the filter knows them; -1 when it does not say.
  std::int64_t PageCount() const;

 private:
  void Reset();
  QuarnFilter* filter_ = nullptr;
  void* library_ = nullptr;
};

// Creates the class's filter through its InprocServer32 registration: the
// value "builtin:<name>" names a built-in filter; anything else is the path of
// a shared object (relative to the folder of the .reg file that named it).
// An empty object with *reason set when that fails.
FilterObject CreateFilterObject(const Registry& registry, std::string_view class_id, std::string* reason);

}  // namespace quarn

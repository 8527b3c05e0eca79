// The filters built on libgsf: Word, Excel and PowerPoint 97-2003, Outlook
// messages, and Office 2007 and later documents kept encrypted.
#include "convert/filters/module.h"

#include <string>
#include <vector>

#include "convert/filters/ole/doc_filter.h"
#include "convert/filters/ole/encrypted_package_filter.h"
#include "convert/filters/ole/msg_filter.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/ole/ppt_filter.h"
#include "convert/filters/ole/xls_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  RouteGlibMessages();
  if (name == "doc") return CreateDocFilter();
  if (name == "xls") return CreateXlsFilter();
  if (name == "ppt") return CreatePptFilter();
  if (name == "msg") return CreateMsgFilter();
  if (name == "ooxml-encrypted") return CreateEncryptedPackageFilter();
  return nullptr;
}

std::vector<std::string> CompoundRootNames(const std::string& path) {
  RouteGlibMessages();
  CompoundFile file = OpenCompoundFile(path);
  return file ? CompoundEntryNames(file.get()) : std::vector<std::string>{};
}

constexpr FilterModule kModule = {Create, nullptr, CompoundRootNames, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnOleModule() { return &quarn::kModule; }

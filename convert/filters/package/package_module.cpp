// The filters of zip packages, on libzip and libxml2: Office Open XML,
// OpenDocument (with its flat XML forms and its older StarOffice forms),
// EPUB and Outlook for Mac's archives; and what the other zip-based formats are, for the sniffer.
#include "convert/filters/module.h"

#include <libxml/xmlerror.h>

#include <zip.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/text_decode.h"
#include "convert/filters/package/docx_filter.h"
#include "convert/filters/package/epub_filter.h"
#include "convert/filters/package/odf_filter.h"
#include "convert/filters/package/olm_filter.h"
#include "convert/filters/package/pptx_filter.h"
#include "convert/filters/package/xlsx_filter.h"

namespace quarn {

namespace {

// libxml2 reports some encoding and input errors through its generic
// handler, which prints to standard error; the filters report problems in
// their results instead.  The handler is per thread: set it on the thread
// that is about to use the filter.
void IgnoreXmlMessage(void*, const char*, ...) {}

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  xmlSetGenericErrorFunc(nullptr, IgnoreXmlMessage);
  if (name == "docx") return CreateDocxFilter();
  if (name == "xlsx") return CreateXlsxFilter();
  if (name == "xlsb") return CreateXlsbFilter();
  if (name == "pptx") return CreatePptxFilter();
  if (name == "odf") return CreateOdfFilter();
  if (name == "epub") return CreateEpubFilter();
  if (name == "olm") return CreateOlmFilter();
  return nullptr;
}

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Packages told apart by their entries: Apple iWork documents (also when
// zipped inside a folder of their own), Outlook for Mac's archives and a
// zipped FictionBook.  (A zip of
// pictures is a comic book only when named so: otherwise it is an archive,
// whose members keep their names.)
std::string OtherPackage(zip_t* z) {
  const zip_int64_t n = zip_get_num_entries(z, 0);
  bool iwork_index = false, iwork_history = false, olm = false;
  int fictionbooks = 0, files = 0;
  for (zip_int64_t i = 0; i < n && i < 100000; ++i) {
    const char* raw = zip_get_name(z, static_cast<zip_uint64_t>(i), 0);
    if (!raw) continue;
    const std::string_view name = raw;
    if (name.empty() || name.back() == '/') continue;
    ++files;
    if (EndsWith(name, "Index/Document.iwa") || EndsWith(name, "Index.zip") || name == "index.apxl" ||
        name == "index.xml" || name == "index.apxl.gz" || name == "index.xml.gz" || name == ".iwph")
      iwork_index = true;
    if (EndsWith(name, "buildVersionHistory.plist") || EndsWith(name, "BuildVersionHistory.plist") ||
        EndsWith(name, "Document.iwa"))
      iwork_history = true;
    if (EndsWith(LowerAscii(name), ".fb2")) ++fictionbooks;
    if (!olm && IsOlmEntryName(name)) olm = true;
  }
  if (olm) return "olm";
  if (iwork_index && iwork_history) return "iwork";
  if (fictionbooks == 1 && files == 1) return "ebook";
  return {};
}

std::string ZipFilter(const std::string& path) {
  int err = 0;
  std::unique_ptr<zip_t, ZipCloser> z(zip_open(path.c_str(), ZIP_RDONLY, &err));
  if (!z) return {};
  auto has = [&](const char* name) { return zip_name_locate(z.get(), name, ZIP_FL_NOCASE) >= 0; };
  // ODF and EPUB name their type in a "mimetype" entry.
  zip_int64_t mt = zip_name_locate(z.get(), "mimetype", 0);
  if (mt >= 0) {
    zip_stat_t st;
    if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(mt), 0, &st) == 0 && st.size < 256) {
      if (zip_file_t* f = zip_fopen_index(z.get(), static_cast<zip_uint64_t>(mt), 0)) {
        char buf[256] = {};
        zip_int64_t n = zip_fread(f, buf, sizeof buf - 1);
        zip_fclose(f);
        std::string type(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (type.rfind("application/vnd.oasis.opendocument.", 0) == 0) return "odf";
        // The older XML formats of the same suite, which OpenDocument grew from.
        if (type.rfind("application/vnd.sun.xml.", 0) == 0) return "odf";
        if (type.rfind("application/epub+zip", 0) == 0) return "epub";
        return {};  // a package of another kind that names its type
      }
    }
  }
  if (has("word/document.xml")) return "docx";
  if (has("xl/workbook.xml")) return "xlsx";
  if (has("xl/workbook.bin")) return "xlsb";
  if (has("ppt/presentation.xml")) return "pptx";
  if (has("content.xml") && has("META-INF/manifest.xml")) return "odf";
  if (has("META-INF/container.xml")) return "epub";
  if (has("visio/document.xml")) return "visio";
  if (has("FixedDocumentSequence.fdseq") || has("FixedDocSeq.fdseq")) return "xps";
  if (std::string other = OtherPackage(z.get()); !other.empty()) return other;
  // Other Open Packaging documents (XPS, Visio, ...) are no plain archives.
  if (has("[Content_Types].xml")) return {};
  return "archive";
}

std::optional<std::vector<ZipPart>> ZipDirectory(const std::string& path) {
  int err = 0;
  std::unique_ptr<zip_t, ZipCloser> z(zip_open(path.c_str(), ZIP_RDONLY, &err));
  if (!z) return std::nullopt;
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  std::vector<ZipPart> out;
  out.reserve(static_cast<std::size_t>(std::clamp<zip_int64_t>(n, 0, 4096)));
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0 || !st.name) continue;
    ZipPart part;
    part.name = st.name;
    if (st.valid & ZIP_STAT_SIZE) part.size = st.size;
    if (st.valid & ZIP_STAT_COMP_SIZE) part.packed = st.comp_size;
    out.push_back(std::move(part));
  }
  return out;
}

constexpr FilterModule kModule = {Create, ZipFilter, nullptr, nullptr, nullptr, nullptr, ZipDirectory};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnPackageModule() { return &quarn::kModule; }

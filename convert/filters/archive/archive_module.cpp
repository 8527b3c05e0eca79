// The filters built on libarchive: archives, single compressed files and
// crawlers' web archives.
#include "convert/filters/module.h"

#include <archive.h>
#include <archive_entry.h>

#include "convert/filters/archive/archive_filter.h"
#include "convert/filters/archive/warc_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "archive") return CreateArchiveFilter();
  if (name == "warc") return CreateWarcFilter();
  return nullptr;
}

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};

// Real packages hold a few thousand parts at most.
constexpr std::size_t kMaxSalvagedEntries = 65536;

// libarchive's streaming zip reader walks the local headers, so it reads a
// package whose central directory is cut off.
SalvagedZip SalvageZip(const std::string& path, std::uint64_t max_entry_bytes, std::uint64_t max_total_bytes) {
  SalvagedZip out;
  out.stopped = "its end is missing or damaged";
  std::unique_ptr<archive, ArchiveFree> in(archive_read_new());
  if (!in || archive_read_support_format_zip_streamable(in.get()) != ARCHIVE_OK ||
      archive_read_open_filename(in.get(), path.c_str(), 64 * 1024) != ARCHIVE_OK)
    return out;
  std::uint64_t total = 0;
  archive_entry* entry = nullptr;
  for (int r; (r = archive_read_next_header(in.get(), &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN;) {
    if (archive_entry_filetype(entry) != AE_IFREG) continue;
    const char* name = archive_entry_pathname_utf8(entry);
    if (!name) name = archive_entry_pathname(entry);
    if (!name || !*name) continue;
    std::string data;
    char block[64 * 1024];
    la_ssize_t n = 0;
    while ((n = archive_read_data(in.get(), block, sizeof block)) > 0) {
      total += static_cast<std::uint64_t>(n);
      if (data.size() + static_cast<std::size_t>(n) > max_entry_bytes || total > max_total_bytes) {
        out.stopped = "it is damaged, and what remains is beyond the size limits";
        return out;
      }
      data.append(block, static_cast<std::size_t>(n));
    }
    if (n < 0) return out;  // this entry is where the damage begins
    out.entries.emplace_back(name, std::move(data));
    if (out.entries.size() >= kMaxSalvagedEntries) {
      out.stopped = "it is damaged, and holds more parts than a document does";
      return out;
    }
  }
  return out;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, SalvageZip};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnArchiveModule() { return &quarn::kModule; }

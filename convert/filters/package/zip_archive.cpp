#include "convert/filters/package/zip_archive.h"

#include <zip.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

#include "convert/filters/markup/xml_errors.h"
#include "convert/filters/package/xml_bytes.h"
#include "convert/filters/module.h"

namespace quarn {

// The state a libxml2 input callback reads from: one open zip entry and the
// counters that enforce the limits.
struct XmlPartReader::Stream {
  zip_file_t* file = nullptr;
  ZipArchive* archive = nullptr;
  std::uint64_t compressed = 0;
  std::uint64_t inflated = 0;
  std::string problem;
  std::string part;         // the entry's name
  std::string xml_problem;  // the parser's first error, in the user's words

  ~Stream() {
    if (file) zip_fclose(file);
  }

  // An XML part's bytes go through the cleaner on their way to the parser.
  std::unique_ptr<XmlBytesCleaner> cleaner;
  std::string raw, ready;
  std::size_t ready_at = 0;
  bool raw_end = false;

  int Read(char* buffer, int len) {
    if (!cleaner) return ReadRaw(buffer, len);
    while (ready_at == ready.size()) {
      ready.clear();
      ready_at = 0;
      if (raw_end) return 0;
      raw.resize(65536);
      const int n = ReadRaw(raw.data(), static_cast<int>(raw.size()));
      if (n < 0) return -1;
      raw_end = n == 0;
      cleaner->Clean(std::string_view(raw.data(), static_cast<std::size_t>(n)), raw_end, ready);
    }
    const std::size_t n = std::min(static_cast<std::size_t>(std::max(len, 0)), ready.size() - ready_at);
    std::memcpy(buffer, ready.data() + ready_at, n);
    ready_at += n;
    return static_cast<int>(n);
  }

  int ReadRaw(char* buffer, int len) {
    if (!file || !problem.empty()) return -1;
    zip_int64_t n = zip_fread(file, buffer, static_cast<zip_uint64_t>(len));
    if (n < 0) {
      zip_error_t* e = zip_file_get_error(file);
      problem = std::string("the entry is damaged: ") + (e ? zip_error_strerror(e) : "read error");
      return -1;
    }
    inflated += static_cast<std::uint64_t>(n);
    archive->total_read_ += static_cast<std::uint64_t>(n);
    const ZipLimits& l = archive->limits_;
    if (inflated > l.max_entry_bytes || archive->total_read_ > l.max_total_bytes ||
        (inflated > l.ratio_floor_bytes && inflated / std::max<std::uint64_t>(compressed, 1) > l.max_ratio)) {
      problem = "the document inflates far beyond its size (a decompression bomb?)";
      return -1;
    }
    return static_cast<int>(n);
  }
};

XmlPartReader::XmlPartReader(XmlPartReader&& o) noexcept
    : reader_(std::exchange(o.reader_, nullptr)), stream_(std::move(o.stream_)) {}

XmlPartReader& XmlPartReader::operator=(XmlPartReader&& o) noexcept {
  if (this != &o) {
    if (reader_) xmlFreeTextReader(reader_);
    reader_ = std::exchange(o.reader_, nullptr);
    stream_ = std::move(o.stream_);
  }
  return *this;
}

XmlPartReader::~XmlPartReader() {
  if (reader_) xmlFreeTextReader(reader_);  // before the stream it reads from
}

std::string XmlPartReader::problem() const { return stream_ ? stream_->problem : std::string(); }

std::string XmlPartReader::xml_problem() const { return stream_ ? stream_->xml_problem : std::string(); }

namespace {

// What a salvage may hold in memory: the entries are kept whole.
constexpr std::uint64_t kMaxSalvagedBytes = std::uint64_t{256} << 20;

// A package in memory, its entries stored as given (a name given twice
// keeps its first copy); nullptr when none could be added.
zip_t* PackEntries(const std::vector<std::pair<std::string, std::string>>& entries_in) {
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, nullptr);
  if (!buffer) return nullptr;
  zip_t* out = zip_open_from_source(buffer, ZIP_TRUNCATE, nullptr);
  if (!out) {
    zip_source_free(buffer);
    return nullptr;
  }
  zip_source_keep(buffer);  // it outlives the writing, to be read again
  int entries = 0;
  // The entries' bytes stay with the caller until the archive is written.
  for (const auto& [name, data] : entries_in) {
    zip_source_t* source = zip_source_buffer(out, data.data(), data.size(), 0);
    if (!source) break;
    const zip_int64_t index = zip_file_add(out, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(source);  // a name given twice: the first copy stays
      continue;
    }
    zip_set_file_compression(out, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    ++entries;
  }
  if (entries == 0 || zip_close(out) != 0) {
    zip_discard(out);  // a failed close leaves the archive open
    zip_source_free(buffer);
    return nullptr;
  }
  zip_t* z = zip_open_from_source(buffer, ZIP_RDONLY, nullptr);
  if (!z) zip_source_free(buffer);
  return z;
}

// A package whose directory at its end is lost (a download cut short, a
// damaged disk) still has its entries one after the other, each behind a
// header of its own.  Those that read whole, up to the first that does not,
// are gathered into a new package in memory; nullptr when none does.
// *lost says what was passed over.
zip_t* SalvageEntries(const std::string& path, const ZipLimits& limits, std::string* lost) {
  const FilterModule* reader = LoadFilterModule("archive");
  if (!reader || !reader->salvage_zip) return nullptr;
  SalvagedZip salvaged =
      reader->salvage_zip(path, limits.max_entry_bytes, std::min(limits.max_total_bytes, kMaxSalvagedBytes));
  if (salvaged.entries.empty()) return nullptr;
  *lost = salvaged.stopped;
  return PackEntries(salvaged.entries);
}

}  // namespace

bool StartsWithZipEntry(const std::string& path) {
  char head[4] = {};
  std::ifstream in(path, std::ios::binary);
  return in.read(head, sizeof head) && std::string_view(head, sizeof head) == std::string_view("PK\x03\x04", 4);
}

std::unique_ptr<ZipArchive> ZipArchive::Open(const std::string& path, std::string* error, ZipLimits limits) {
  int code = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (!z && (code == ZIP_ER_NOZIP || code == ZIP_ER_INCONS) && StartsWithZipEntry(path)) {
    std::string lost;
    if (zip_t* salvaged = SalvageEntries(path, limits, &lost)) {
      auto archive = std::unique_ptr<ZipArchive>(new ZipArchive(salvaged, limits));
      archive->damage_ = "the package is damaged (" + lost + "): the text of its parts that could be read";
      return archive;
    }
  }
  if (!z) {
    if (error) {
      zip_error_t e;
      zip_error_init_with_code(&e, code);
      *error = std::string("not a readable zip container: ") + zip_error_strerror(&e);
      zip_error_fini(&e);
    }
    return nullptr;
  }
  return std::unique_ptr<ZipArchive>(new ZipArchive(z, limits));
}

std::unique_ptr<ZipArchive> ZipArchive::FromEntries(const std::vector<std::pair<std::string, std::string>>& entries,
                                                    ZipLimits limits) {
  zip_t* z = PackEntries(entries);
  return z ? std::unique_ptr<ZipArchive>(new ZipArchive(z, limits)) : nullptr;
}

ZipArchive::~ZipArchive() { zip_discard(zip_); }

std::int64_t ZipArchive::Locate(std::string_view name) const {
  std::string n(name);
  zip_int64_t i = zip_name_locate(zip_, n.c_str(), 0);
  if (i < 0) i = zip_name_locate(zip_, n.c_str(), ZIP_FL_NOCASE);
  return i;
}

bool ZipArchive::Has(std::string_view name) const { return Locate(name) >= 0; }

std::vector<std::string> ZipArchive::Names() const {
  std::vector<std::string> names;
  zip_int64_t n = zip_get_num_entries(zip_, 0);
  for (zip_int64_t i = 0; i < n; ++i)
    if (const char* s = zip_get_name(zip_, static_cast<zip_uint64_t>(i), 0)) names.emplace_back(s);
  return names;
}

bool ZipArchive::IsEncrypted(std::string_view name) const {
  std::int64_t i = Locate(name);
  zip_stat_t st;
  if (i < 0 || zip_stat_index(zip_, static_cast<zip_uint64_t>(i), 0, &st) != 0) return false;
  return (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
}

std::uint64_t ZipArchive::Size(std::string_view name) const {
  std::int64_t i = Locate(name);
  zip_stat_t st;
  if (i < 0 || zip_stat_index(zip_, static_cast<zip_uint64_t>(i), 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE)) return 0;
  return st.size;
}

bool ZipArchive::Read(std::string_view name, std::string& out, std::string* error) {
  out.clear();
  XmlPartReader::Stream stream;
  std::int64_t i = Locate(name);
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  if (i < 0) return fail("the part " + std::string(name) + " is missing");
  if (IsEncrypted(name)) return fail("the document is password-protected");
  zip_stat_t st;
  if (zip_stat_index(zip_, static_cast<zip_uint64_t>(i), 0, &st) == 0 && (st.valid & ZIP_STAT_COMP_SIZE))
    stream.compressed = st.comp_size;
  stream.archive = this;
  stream.file = zip_fopen_index(zip_, static_cast<zip_uint64_t>(i), 0);
  if (!stream.file) return fail("the part " + std::string(name) + " cannot be opened: " + zip_strerror(zip_));
  char buffer[65536];
  for (;;) {
    int n = stream.Read(buffer, sizeof buffer);
    if (n < 0) return fail(stream.problem);
    if (n == 0) return true;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

XmlPartReader ZipArchive::OpenXml(std::string_view name, std::string* error, int options) {
  XmlPartReader part;
  std::int64_t i = Locate(name);
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return XmlPartReader();
  };
  if (i < 0) return fail("the part " + std::string(name) + " is missing");
  if (IsEncrypted(name)) return fail("the document is password-protected");
  part.stream_ = std::make_unique<XmlPartReader::Stream>();
  part.stream_->archive = this;
  zip_stat_t st;
  if (zip_stat_index(zip_, static_cast<zip_uint64_t>(i), 0, &st) == 0 && (st.valid & ZIP_STAT_COMP_SIZE))
    part.stream_->compressed = st.comp_size;
  part.stream_->file = zip_fopen_index(zip_, static_cast<zip_uint64_t>(i), 0);
  if (!part.stream_->file) return fail("the part " + std::string(name) + " cannot be opened: " + zip_strerror(zip_));
  auto read = [](void* ctx, char* buffer, int len) { return static_cast<XmlPartReader::Stream*>(ctx)->Read(buffer, len); };
  auto close = [](void*) { return 0; };  // the Stream is owned by the part reader
  part.stream_->part = std::string(name);
  part.stream_->cleaner = std::make_unique<XmlBytesCleaner>();
  part.reader_ = xmlReaderForIO(read, close, part.stream_.get(), std::string(name).c_str(), nullptr, options);
  if (!part.reader_) return fail("the part " + std::string(name) + " cannot be parsed");
  // The parser's first error is kept for the reason, never printed.
  xmlTextReaderSetStructuredErrorHandler(
      part.reader_,
      [](void* ctx, xmlErrorPtr e) {
        auto* stream = static_cast<XmlPartReader::Stream*>(ctx);
        if (e && e->level >= XML_ERR_ERROR && stream->xml_problem.empty())
          stream->xml_problem = XmlPartProblem(*e, stream->part);
      },
      part.stream_.get());
  return part;
}

std::string ResolvePartName(std::string_view base, std::string_view target) {
  std::vector<std::string> parts;
  auto push_path = [&](std::string_view p) {
    std::size_t i = 0;
    while (i <= p.size()) {
      std::size_t j = p.find('/', i);
      if (j == std::string_view::npos) j = p.size();
      std::string_view seg = p.substr(i, j - i);
      if (seg == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!seg.empty() && seg != ".") {
        parts.emplace_back(seg);
      }
      i = j + 1;
    }
  };
  if (target.empty() || target.front() != '/') {
    std::size_t slash = base.rfind('/');
    if (slash != std::string_view::npos) push_path(base.substr(0, slash));
  }
  push_path(target);
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out.push_back('/');
    out += p;
  }
  return out;
}

}  // namespace quarn

#include "convert/filters/revenge/parse.h"

#include <algorithm>
#include <fstream>

namespace quarn::revenge {

ExtractResult Outcome(const Parsed& parsed, const Collector& collector, const TextSink& sink, std::string_view what) {
  if (collector.stopped() || parsed.ok) return ExtractResult::Ok();
  std::string reason(what);
  if (sink.empty()) {
    reason += " cannot be read";
    if (!parsed.error.empty()) reason += ": " + parsed.error;
    return ExtractResult::Failed(reason);
  }
  reason += " is damaged: only part of its text was read";
  if (!parsed.error.empty()) reason += " (" + parsed.error + ")";
  return ExtractResult::Incomplete(reason);
}

ExtractResult Refused(const std::string& path, std::string_view self, TextSink& sink, const std::string& why) {
  if (auto redirected = ExtractRedirected(path, self, sink)) return *redirected;
  return ExtractResult::UnknownFormat(why);
}

std::string WithArticle(std::string_view what) {
  const bool vowel = !what.empty() && std::string_view("AEIOUaeiou").find(what.front()) != std::string_view::npos;
  return (vowel ? "an " : "a ") + std::string(what);
}

namespace {

// Real documents compress a part by a factor of a few dozen at most; a part
// that claims far more is a decompression bomb.
constexpr std::uint64_t kMaxRatio = 200;
constexpr std::uint64_t kRatioFloor = std::uint64_t{16} << 20;
// A directory this large is no document's.
constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{64} << 20;
constexpr std::size_t kMaxEntries = std::size_t{1} << 20;

std::uint64_t Le(std::string_view s, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  if (at > s.size() || s.size() - at < static_cast<std::size_t>(bytes)) return 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}

std::string ReadAt(std::ifstream& in, std::uint64_t offset, std::uint64_t size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

}  // namespace

std::optional<std::vector<ZipEntry>> ReadZipDirectory(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  const std::uint64_t file_size = static_cast<std::uint64_t>(in.tellg());
  // The end record is in the last 64 KiB (its comment is at most that long).
  const std::uint64_t tail_size = std::min<std::uint64_t>(file_size, 65536 + 22);
  const std::string tail = ReadAt(in, file_size - tail_size, tail_size);
  const std::size_t end = tail.rfind(std::string_view("PK\x05\x06", 4));
  if (end == std::string::npos || tail.size() - end < 22) return std::nullopt;
  std::uint64_t entries = Le(tail, end + 10, 2), dir_size = Le(tail, end + 12, 4), dir_offset = Le(tail, end + 16, 4);
  if (entries == 0xFFFF || dir_size == 0xFFFFFFFF || dir_offset == 0xFFFFFFFF) {
    // ZIP64: a locator before the end record names the ZIP64 end record.
    if (end < 20 || tail.compare(end - 20, 4, std::string_view("PK\x06\x07", 4)) != 0) return std::nullopt;
    const std::string record = ReadAt(in, Le(tail, end - 20 + 8, 8), 56);
    if (record.size() < 56 || record.compare(0, 4, std::string_view("PK\x06\x06", 4)) != 0) return std::nullopt;
    entries = Le(record, 32, 8);
    dir_size = Le(record, 40, 8);
    dir_offset = Le(record, 48, 8);
  }
  if (dir_size > kMaxDirectoryBytes || dir_offset > file_size) return std::nullopt;
  const std::string dir = ReadAt(in, dir_offset, dir_size);
  std::vector<ZipEntry> out;
  std::size_t at = 0;
  while (at + 46 <= dir.size() && out.size() < std::min<std::uint64_t>(entries, kMaxEntries)) {
    if (dir.compare(at, 4, std::string_view("PK\x01\x02", 4)) != 0) break;
    ZipEntry e;
    e.packed = Le(dir, at + 20, 4);
    e.size = Le(dir, at + 24, 4);
    const std::size_t name_len = Le(dir, at + 28, 2), extra_len = Le(dir, at + 30, 2),
                      comment_len = Le(dir, at + 32, 2);
    if (at + 46 + name_len > dir.size()) break;
    e.name = dir.substr(at + 46, name_len);
    // Sizes that do not fit 32 bits are in the ZIP64 extra field, the
    // uncompressed one first.
    std::string_view extra = std::string_view(dir).substr(std::min(dir.size(), at + 46 + name_len), extra_len);
    for (std::size_t x = 0; x + 4 <= extra.size();) {
      const std::size_t id = Le(extra, x, 2), len = Le(extra, x + 2, 2);
      if (id == 1) {
        std::size_t field = x + 4;
        if (e.size == 0xFFFFFFFF) {
          e.size = Le(extra, field, 8);
          field += 8;
        }
        if (e.packed == 0xFFFFFFFF) e.packed = Le(extra, field, 8);
      }
      x += 4 + len;
    }
    out.push_back(std::move(e));
    at += 46 + name_len + extra_len + comment_len;
  }
  return out;
}

bool ZipWithinLimits(const std::string& path, std::string* why, std::uint64_t max_part, std::uint64_t max_total) {
  const std::optional<std::vector<ZipEntry>> entries = ReadZipDirectory(path);
  if (!entries) return true;
  std::uint64_t total = 0;
  for (const ZipEntry& e : *entries) {
    if (e.size > max_part || (e.size > kRatioFloor && e.size / (e.packed ? e.packed : 1) > kMaxRatio)) {
      if (why) *why = "the part " + e.name + " would inflate to " + std::to_string(e.size >> 20) + " MiB";
      return false;
    }
    total += e.size;
    if (total > max_total) {
      if (why) *why = "the package would inflate to more than " + std::to_string(max_total >> 20) + " MiB";
      return false;
    }
  }
  return true;
}

}  // namespace quarn::revenge

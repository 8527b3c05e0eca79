#include "convert/filters/revenge/parse.h"

#include <zip.h>

#include <algorithm>
#include <memory>

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

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};

// "5003 bytes", "3072 MiB": a size as a person reads it.
std::string Size(std::uint64_t bytes) {
  if (bytes < (std::uint64_t{1} << 20)) return std::to_string(bytes) + " bytes";
  return std::to_string(bytes >> 20) + " MiB";
}

}  // namespace

std::optional<std::vector<ZipEntry>> ReadZipDirectory(const std::string& path) {
  int err = 0;
  std::unique_ptr<zip_t, ZipCloser> z(zip_open(path.c_str(), ZIP_RDONLY, &err));
  if (!z) return std::nullopt;
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  std::vector<ZipEntry> out;
  out.reserve(static_cast<std::size_t>(std::clamp<zip_int64_t>(n, 0, 4096)));
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0 || !st.name) continue;
    ZipEntry e;
    e.name = st.name;
    if (st.valid & ZIP_STAT_SIZE) e.size = st.size;
    if (st.valid & ZIP_STAT_COMP_SIZE) e.packed = st.comp_size;
    out.push_back(std::move(e));
  }
  return out;
}

bool ZipWithinLimits(const std::string& path, std::string* why, const ContainerLimits& limits) {
  const std::optional<std::vector<ZipEntry>> entries = ReadZipDirectory(path);
  if (!entries) return true;
  std::uint64_t total = 0;
  for (const ZipEntry& e : *entries) {
    if (e.size > limits.max_member_bytes ||
        (e.size > limits.ratio_floor_bytes && e.size / (e.packed ? e.packed : 1) > limits.max_ratio)) {
      if (why) *why = "the part " + e.name + " would inflate to " + Size(e.size);
      return false;
    }
    total += e.size;
    if (total > limits.max_total_bytes) {
      if (why) *why = "the package would inflate to more than " + Size(limits.max_total_bytes);
      return false;
    }
  }
  return true;
}

}  // namespace quarn::revenge

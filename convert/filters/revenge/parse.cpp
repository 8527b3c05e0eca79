#include "convert/filters/revenge/parse.h"

#include <zip.h>

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

std::string WithArticle(std::string_view what) {
  const bool vowel = !what.empty() && std::string_view("AEIOUaeiou").find(what.front()) != std::string_view::npos;
  return (vowel ? "an " : "a ") + std::string(what);
}

namespace {

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};

// Real documents compress a part by a factor of a few dozen at most; a part
// that claims far more is a decompression bomb.
constexpr std::uint64_t kMaxRatio = 200;
constexpr std::uint64_t kRatioFloor = std::uint64_t{16} << 20;

}  // namespace

bool ZipWithinLimits(const std::string& path, std::string* why, std::uint64_t max_part, std::uint64_t max_total) {
  int err = 0;
  std::unique_ptr<zip_t, ZipCloser> z(zip_open(path.c_str(), ZIP_RDONLY, &err));
  if (!z) return true;
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  std::uint64_t total = 0;
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0) continue;
    if (!(st.valid & ZIP_STAT_SIZE)) continue;
    const std::uint64_t size = st.size;
    const std::uint64_t packed = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : size;
    const char* name = (st.valid & ZIP_STAT_NAME) && st.name ? st.name : "?";
    if (size > max_part || (size > kRatioFloor && size / (packed ? packed : 1) > kMaxRatio)) {
      if (why) *why = std::string("the part ") + name + " would inflate to " + std::to_string(size >> 20) + " MiB";
      return false;
    }
    total += size;
    if (total > max_total) {
      if (why) *why = "the package would inflate to more than " + std::to_string(max_total >> 20) + " MiB";
      return false;
    }
  }
  return true;
}

}  // namespace quarn::revenge

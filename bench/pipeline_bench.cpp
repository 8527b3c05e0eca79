// Times the text pipeline alone: UTF-16 text from a plug-in that does no
// work of its own (fake_filter.cpp) through ConvertWithFilter (the chunk and
// text loop, conversion to the system character set, thinning, writing) for
// 10, 50 and 100 MB of UTF-16, and checks that the cost grows linearly.
//   pipeline_bench [MB...]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "convert/filter.h"
#include "convert/registry.h"

namespace fs = std::filesystem;
using namespace quarn;

namespace {

constexpr const char* kClass = "{5155524E-BE00-4000-8000-0000000000BE}";
constexpr const char* kHandler = "{5155524E-BE01-4000-8000-0000000000BE}";

// Writes mb megabytes of UTF-16LE text: words, non-ASCII letters, runs of
// spaces for the thinning passes, line ends.
void WriteUtf16(const fs::path& path, std::size_t mb) {
  const std::u16string para =
      u"Plain words and numbers 12345, Grüße, naïve café, 日本語のテキスト,          "
      u"padded    with   runs  of spaces, and a surrogate pair 😀 too.\r\n";
  std::u16string block;
  while (block.size() < 512 * 1024) block += para;
  std::ofstream out(path, std::ios::binary);
  const std::size_t want = mb * 1000 * 1000;
  std::size_t written = 0;
  while (written < want) {
    std::size_t n = std::min(block.size() * 2, want - written) & ~std::size_t{1};
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    written += n;
    if (n == 0) break;
  }
}

// The four thinning passes composed into one: a run of n spaces ends as
// what the 10, 8, 4 and 2 passes leave of it.  Here to show what a single
// pass would cost; checked against ThinSpaces below.
std::string ThinOnePass(std::string_view text) {
  auto left = [](std::size_t n) {
    for (std::size_t run : {10, 8, 4, 2}) n = n / run + n % run;
    return n;
  };
  std::string out;
  out.reserve(text.size());
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* sp = static_cast<const char*>(std::memchr(p, ' ', static_cast<std::size_t>(end - p)));
    if (!sp) sp = end;
    out.append(p, sp);
    p = sp;
    while (sp < end && *sp == ' ') ++sp;
    if (sp > p) out.append(left(static_cast<std::size_t>(sp - p)), ' ');
    p = sp;
  }
  return out;
}

long PeakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {10, 50, 100};

  const fs::path plugin = fs::path(QUARN_BENCH_PLUGIN);
  Registry registry;
  auto set = [&](const std::string& key, const std::string& value) {
    registry.SetDefault(key, RegValue{RegType::kString, value, {}});
  };
  set("Software\\Classes\\.u16\\PersistentHandler", kHandler);
  set(std::string("Software\\Classes\\CLSID\\") + kHandler +
          "\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}",
      kClass);
  set(std::string("Software\\Classes\\CLSID\\") + kClass + "\\InprocServer32", plugin.string());

  char tmpl[] = "/tmp/quarn-pipeline-XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  const fs::path dir = tmpl;
  std::printf("%8s %10s %10s %12s %12s\n", "MB", "seconds", "MB/s", "out bytes", "peak KiB");
  std::vector<double> per_mb;
  int status = 0;
  for (std::size_t mb : sizes) {
    const fs::path in = dir / ("text" + std::to_string(mb) + ".u16");
    const fs::path out = dir / "out.txt";
    WriteUtf16(in, mb);
    auto start = std::chrono::steady_clock::now();
    ConvertResult r = ConvertWithFilter(registry, in.string(), out.string());
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!r.written()) {
      std::fprintf(stderr, "pipeline_bench: %zu MB: %s\n", mb, r.reason.c_str());
      status = 1;
    }
    std::printf("%8zu %10.3f %10.1f %12ju %12ld\n", mb, s, mb / s, static_cast<uintmax_t>(fs::file_size(out)),
                PeakKiB());
    per_mb.push_back(s / static_cast<double>(mb));
    if (mb == sizes.back()) {
      // Where the time goes, step by step, for the largest size.
      auto t0 = std::chrono::steady_clock::now();
      FilterText extracted = ExtractFilterText(registry, in.string());
      auto t1 = std::chrono::steady_clock::now();
      std::string thin = ThinSpaces(extracted.text);
      auto t2 = std::chrono::steady_clock::now();
      SaveTextFile(out.string(), thin);
      auto t3 = std::chrono::steady_clock::now();
      auto sec = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
      auto t4 = std::chrono::steady_clock::now();
      std::string one = ThinOnePass(extracted.text);
      auto t5 = std::chrono::steady_clock::now();
      std::printf("  thinning in one pass instead: %.3f s (%s)\n", sec(t4, t5),
                  one == thin ? "same text" : "DIFFERENT TEXT");
      std::printf("  %zu MB by step: extract and convert %.3f s, thin %.3f s, write %.3f s\n", mb, sec(t0, t1),
                  sec(t1, t2), sec(t2, t3));
    }
    fs::remove(in);
    fs::remove(out);
  }
  fs::remove_all(dir);
  if (per_mb.size() > 1) {
    double lo = per_mb[0], hi = per_mb[0];
    for (double v : per_mb) lo = std::min(lo, v), hi = std::max(hi, v);
    std::printf("seconds per MB: %.4f .. %.4f (spread %.2fx; linear when close to 1)\n", lo, hi, hi / lo);
  }
  return status;
}

#include "app/converter_limits.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace quarn {

namespace {

constexpr std::uint64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024, kTiB = kGiB * 1024;

bool EqualsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// The start of a small file (a control file, /proc/self/cgroup); empty when
// it cannot be read.  Plain reads: this runs at every start of the program.
std::string ReadSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buf[4096];
  for (ssize_t n; text.size() < 65536 && (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

// A limit as the control files hold it: a number of bytes, or "max" (v2) or
// a number near 2^63 (v1) for none.
std::optional<std::uint64_t> LimitIn(const std::string& file) {
  const std::string text = ReadSmallFile(file);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() || (end != text.data() + text.size() && *end != '\n') ||
      value >= (std::uint64_t{1} << 60))
    return std::nullopt;
  return value;
}

void KeepSmaller(std::optional<std::uint64_t>* smallest, std::optional<std::uint64_t> limit) {
  if (limit && (!*smallest || *limit < **smallest)) *smallest = limit;
}

// The smallest limit in file along folder and its parents up to base.
std::optional<std::uint64_t> SmallestUpTo(const std::string& base, std::string path, const char* file) {
  std::optional<std::uint64_t> smallest;
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    KeepSmaller(&smallest, LimitIn(base + (path == "/" ? "" : path) + "/" + file));
    if (path.empty() || path == "/") return smallest;
    const std::size_t slash = path.rfind('/');
    path = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
  }
}

}  // namespace

std::optional<std::uint64_t> ControlGroupMemoryLimit(const std::string& self_cgroup, const std::string& root) {
  const std::string lines = ReadSmallFile(self_cgroup);
  std::optional<std::uint64_t> smallest;
  // Lines of "id:controllers:path"; id 0 with no controllers is the unified
  // (v2) hierarchy, a line naming "memory" the v1 memory controller's.
  for (std::size_t at = 0; at < lines.size();) {
    std::size_t end = lines.find('\n', at);
    if (end == std::string::npos) end = lines.size();
    const std::string_view line = std::string_view(lines).substr(at, end - at);
    at = end + 1;
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string path(line.substr(second + 1));
    if (path.empty() || path[0] != '/') continue;
    if (controllers.empty()) {
      KeepSmaller(&smallest, SmallestUpTo(root, path, "memory.max"));
      continue;
    }
    for (std::size_t c = 0; c <= controllers.size();) {
      std::size_t comma = controllers.find(',', c);
      if (comma == std::string_view::npos) comma = controllers.size();
      if (controllers.substr(c, comma - c) == "memory")
        KeepSmaller(&smallest, SmallestUpTo(root + "/memory", path, "memory.limit_in_bytes"));
      c = comma + 1;
    }
  }
  return smallest;
}

namespace {

std::uint64_t HalfTheMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  std::uint64_t memory = pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) : 0;
  // In a container or a batch job, what the group may use is what there is.
  if (const auto group = ControlGroupMemoryLimit(); group && *group > 0 && (memory == 0 || *group < memory))
    memory = *group;
  if (memory == 0) return 4 * kGiB;
  return std::min<std::uint64_t>(4 * kGiB, memory / 2);
}

}  // namespace

std::uint64_t DefaultMemoryLimit() {
  // Read once: the memory there is does not change under a run.
  static const std::uint64_t limit = HalfTheMemory();
  return limit;
}

ConverterLimits DefaultConverterLimits() {
  ConverterLimits limits;
  limits.memory_bytes = DefaultMemoryLimit();
  return limits;
}

std::optional<std::uint64_t> ParseSize(std::string_view text) {
  std::size_t digits = 0;
  bool dot = false;
  while (digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') || (text[digits] == '.' && !dot))) {
    dot = dot || text[digits] == '.';
    ++digits;
  }
  if (digits == 0 || text[0] == '.') return std::nullopt;
  const std::string number(text.substr(0, digits));
  std::string_view unit = text.substr(digits);
  while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
  std::uint64_t scale = 1;
  if (unit.empty() || EqualsFolded(unit, "b")) {
    scale = 1;
  } else {
    const char u = unit[0] >= 'a' ? static_cast<char>(unit[0] - 32) : unit[0];
    std::string_view rest = unit.substr(1);
    if (!(rest.empty() || EqualsFolded(rest, "b") || EqualsFolded(rest, "ib"))) return std::nullopt;
    switch (u) {
      case 'K': scale = kKiB; break;
      case 'M': scale = kMiB; break;
      case 'G': scale = kGiB; break;
      case 'T': scale = kTiB; break;
      default: return std::nullopt;
    }
  }
  double parsed = 0;  // from_chars: the locale's decimal separator does not matter
  if (std::from_chars(number.data(), number.data() + number.size(), parsed).ptr != number.data() + number.size())
    return std::nullopt;
  const double value = parsed * static_cast<double>(scale);
  if (!std::isfinite(value) || value >= 18e18) return std::nullopt;
  if (dot && scale == 1) return std::nullopt;  // a fraction of a byte
  return static_cast<std::uint64_t>(value);
}

std::optional<std::chrono::seconds> ParseSeconds(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return std::chrono::seconds(n);
}

std::string DescribeSize(std::uint64_t bytes) {
  static constexpr struct {
    std::uint64_t size;
    const char* name;
  } kUnits[] = {{kTiB, "TiB"}, {kGiB, "GiB"}, {kMiB, "MiB"}, {kKiB, "KiB"}};
  char text[64];
  for (const auto& u : kUnits) {
    if (bytes < u.size) continue;
    if (bytes % u.size == 0) {
      std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(bytes / u.size), u.name);
    } else {
      std::snprintf(text, sizeof text, "%.1f %s", static_cast<double>(bytes) / static_cast<double>(u.size), u.name);
    }
    return text;
  }
  std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  return text;
}

std::string MemoryLimitReason(std::uint64_t limit) { return "needed more than " + DescribeSize(limit); }

std::string TimeLimitReason(std::chrono::seconds limit) {
  return "stopped after " + std::to_string(limit.count()) + " s";
}

}  // namespace quarn

#include "app/converter_limits.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

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

}  // namespace

std::uint64_t DefaultMemoryLimit() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 4 * kGiB;
  return std::min<std::uint64_t>(4 * kGiB, static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) / 2);
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

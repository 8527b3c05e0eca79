#include "convert/filters/common/mail_date.h"

#include <cstdio>
#include <ctime>

namespace quarn {

std::string FileTimeAsMailDate(std::uint64_t ticks) {
  if (ticks == 0) return {};
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t seconds = static_cast<std::time_t>(static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL);
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) return {};
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday], tm.tm_mday,
                              kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string FileTimeAsCalendarTime(std::uint64_t ticks, bool day_only) {
  // Before 1985 or after 9999: an unset time, not a meeting's.
  if (ticks < 124000000000000000ULL || ticks > 2650467743999999999ULL) return {};
  const std::time_t seconds = static_cast<std::time_t>(static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL);
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm)) return {};
  char buf[64];
  const int n = day_only
                    ? std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday)
                    : std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d UTC", tm.tm_year + 1900, tm.tm_mon + 1,
                                    tm.tm_mday, tm.tm_hour, tm.tm_min);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace quarn

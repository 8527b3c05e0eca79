// A Windows FILETIME written as a mail header writes a date, in UTC, for the
// message filters that meet FILETIMEs (Outlook items and folders, TNEF).
#pragma once

#include <cstdint>
#include <string>

namespace quarn {

// "Tue, 03 Jul 2007 16:34:38 +0000" for ticks (100 ns since 1601-01-01,
// UTC); empty for zero or a date the calendar cannot hold.  The day and
// month names are the header's own English ones, whatever the locale.
std::string FileTimeAsMailDate(std::uint64_t ticks);

// The same time as a calendar shows it, "2021-03-05 14:00 UTC", or its day
// alone, "2021-03-05"; empty for a time before 1985 (an unset one) or one
// the calendar cannot hold.
std::string FileTimeAsCalendarTime(std::uint64_t ticks, bool day_only = false);

}  // namespace quarn

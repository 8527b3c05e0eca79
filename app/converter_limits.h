// The limits one document's conversion runs under, as the command line names
// them and as the failures they cause are worded.  Plain values; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn {

struct ConverterLimits {
  // Wall-clock time for one document; zero: none.
  std::chrono::seconds timeout{300};
  // Memory for one document, in bytes; zero: none.
  std::uint64_t memory_bytes = 0;
};

// The smaller of 4 GiB and half of the memory the program may use: the
// machine's, or less where its control group is limited.
std::uint64_t DefaultMemoryLimit();
// The memory limit of the control group the program runs in (a container's,
// a batch system's job, a service's MemoryMax), the smallest along its path
// up, in cgroup v2 or v1; empty when none is set or none can be read.
std::optional<std::uint64_t> ControlGroupMemoryLimit(const std::string& self_cgroup = "/proc/self/cgroup",
                                                     const std::string& root = "/sys/fs/cgroup");
ConverterLimits DefaultConverterLimits();

// "4G", "4GiB", "512M", "512MiB", "800K", "1.5G" or a number of bytes (units
// are powers of 1024; "0" means no limit).  Empty for anything else.
std::optional<std::uint64_t> ParseSize(std::string_view text);
// "300" (seconds; "0" means no limit).  Empty for anything else.
std::optional<std::chrono::seconds> ParseSeconds(std::string_view text);

// A size as people read it: "4 GiB", "512 MiB", "1.5 GiB", "800 KiB", "100 bytes".
std::string DescribeSize(std::uint64_t bytes);

// The reasons of the documents that pass a limit.
std::string MemoryLimitReason(std::uint64_t limit);    // "needed more than 4 GiB"
std::string TimeLimitReason(std::chrono::seconds limit);  // "stopped after 300 s"

}  // namespace quarn

// The converter's system-call filters as classic BPF programs, made from
// libseccomp's rules when the program is built (syscall_filter_gen.cpp), so
// that a converter only hands them to the kernel.  Read-only data, shared by
// every thread.
#pragma once

#include <linux/filter.h>
#include <sys/types.h>

#include <cstdint>
#include <span>
#include <vector>

namespace quarn {

// What every converter loads: no network, no programs, no new processes, no
// tracing, no changes to files' owners, modes or times, no administration.
std::span<const sock_filter> ConverterSyscallFilter();

// The filter that lets a process send signals only to itself, for kernels
// whose Landlock cannot scope signals: the program made for process `self`.
std::vector<sock_filter> SelfSignalFilter(pid_t self);

// The process id the build wrote into the signal filter's comparisons, which
// SelfSignalFilter replaces; above any process id the kernel hands out.
inline constexpr std::uint32_t kFilterPidPlaceholder = 0x7E51A1D0;

}  // namespace quarn

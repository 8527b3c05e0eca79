// Growth of the large text buffers a conversion fills.  A long document's
// text is written into tens of megabytes of fresh memory; on virtual
// machines each fresh 4 KiB page costs a slow fault, so buffers of several
// megabytes ask for transparent huge pages before they are first touched
// (a hint: where the kernel declines, nothing changes but the speed).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <string>

namespace quarn {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kHugeBufferFrom = std::size_t{4} << 20;

// Asks for huge pages over the whole huge pages inside [data, data + size).
inline void AdviseHugePages(void* data, std::size_t size) {
  auto begin = reinterpret_cast<std::uintptr_t>(data);
  std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Makes room for extra more bytes at the end of s, doubling its capacity
// as std::string would, the large buffers advised before their first use.
// ceiling is the most the buffer will ever hold: past half of it the buffer
// takes the whole ceiling at once (only the pages written cost memory), so
// its last copy is of half the ceiling at most and it never doubles past it.
inline void GrowBuffer(std::string& s, std::size_t extra, std::size_t ceiling = SIZE_MAX) {
  const std::size_t need = s.size() + extra;
  if (need <= s.capacity()) return;
  std::size_t capacity = std::max(need, 2 * s.capacity());
  if (capacity > ceiling / 2) capacity = std::max(need, ceiling);
  if (capacity < kHugeBufferFrom) {
    s.reserve(capacity);
    return;
  }
  std::string fresh;
  fresh.reserve(capacity);
  AdviseHugePages(fresh.data(), capacity);
  fresh.append(s);
  s.swap(fresh);
}

// Gives the whole pages inside [data, data + size) back to the system.  The
// memory stays the caller's, but its bytes read as zeros afterwards: only for
// text that has been read for the last time (a large chunk served piece by
// piece, so that it and its copy are never both whole in memory).
inline void ReleasePages(void* data, std::size_t size) {
  static const auto kPage = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  auto begin = reinterpret_cast<std::uintptr_t>(data);
  std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  std::uintptr_t last = (begin + size) & ~(kPage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace quarn

// The confinement of a converter process, applied once by the process itself
// before it reads a byte of any document: resource limits, no new
// privileges, the system-call filters of syscall_filters.h (no network, no
// programs, no tracing, no other processes) and, where the kernel offers
// Landlock, a file system that can only be read, and only where documents,
// libraries and data are.
// Called on the converter's only thread; irreversible.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarn {

class Registry;

struct Confinement {
  // Files and folders (with everything beneath) that may be read: those of
  // SystemReadRoots and the documents of the run.
  std::vector<std::string> read_roots;
  // A folder in which files may be made, written and removed; empty: none.
  std::string scratch;
  // Bytes of address space the process may add to what it has mapped now;
  // 0: no limit.
  std::uint64_t memory_limit = 0;
  // Bytes any file the process writes may reach (a member it unpacks, a
  // PDF a PostScript program prints); a write past it ends the process
  // (SIGXFSZ).  0: no limit.
  std::uint64_t file_size_limit = 0;
};

// What a converter's files may reach: twice the largest member a container
// may unpack.  A document that makes its converter write more (a PostScript
// program that draws pages for ever) would otherwise fill the disk before
// its time is up.
inline constexpr std::uint64_t kConverterFileSizeLimit = std::uint64_t{1} << 30;

// The limit a converter started from this process works under: the one
// above, or the stricter one this process was started under.
std::uint64_t ConverterFileSizeLimit();

struct ConfineResult {
  std::string error;     // empty on success
  int landlock_abi = 0;  // the Landlock version applied; 0 where the kernel has none
  // Bytes of address space the process may still add: the asked limit, or
  // less where the limit the process was started under leaves less; 0: no
  // limit.
  std::uint64_t memory_limit = 0;
};

// Applies the confinement.  Landlock missing from the kernel is no error
// (landlock_abi stays 0); a failure of anything else is, and the process
// must then not convert.
ConfineResult Confine(const Confinement& confinement);

// Raises the program's own limit of open files, when it was started with
// fewer than a run needs (each worker holds its converter's channel and
// memory figures, the document and the text file being written), up to the
// most it may have and at most 1024.  Converters inherit it.
void RaiseOpenFileLimit();

// A file the program writes past the limit of file sizes it was started
// under fails with that error (reported for that document) instead of
// ending the program by SIGXFSZ.
void FailWritesPastTheFileSizeLimit();

// What every conversion may read: the system's libraries, configuration,
// fonts and language data, the program's own prefix, the registry folders
// and the plug-ins they name, the libraries loaded now, and a few files of
// /proc, /sys and /dev ("/proc/self" is the confined process's own).  Found
// by the program for the converters it starts, which share its environment
// and registry.
std::vector<std::string> SystemReadRoots(const Registry& registry);

// Whether the address-space limit is applied in this build: a sanitizer's
// shadow memory takes terabytes of address space, so sanitized builds leave
// the memory limit to the watch of the program (see ConverterClient).
bool AddressSpaceLimitApplies();

}  // namespace quarn

// The archive filter, on libarchive: zip, 7z, RAR, tar and its compressed
// forms, cpio, ar, ISO 9660, cabinet, and single compressed files (.gz, .bz2,
// .xz, .zst, .lz4, .lz, .lzma).  An archive's text lists its members in
// archive order, each introduced by its path on a line of its own and
// followed by its text when a filter reads it; a single compressed file gives
// the text of the file inside, read by the filter of its inner name.  One
// object per document, on the thread that reads it.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/members.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateArchiveFilter(const ContainerLimits& limits = {});

}  // namespace quarn

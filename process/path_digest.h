// Sets of the many paths one run names (a list of a million files), kept as
// 16-byte digests instead of the paths themselves: two independent 64-bit
// hashes of the bytes, so that two different paths of one run never share a
// digest in practice (about 1e-27 for a million paths).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_set>

namespace quarn {

struct PathDigest {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  bool operator==(const PathDigest&) const = default;
};

inline PathDigest DigestOf(std::string_view path) {
  // FNV-1a beside the standard library's hash: unrelated functions.
  std::uint64_t fnv = 0xcbf29ce484222325ULL;
  for (const unsigned char c : path) fnv = (fnv ^ c) * 0x100000001b3ULL;
  return {static_cast<std::uint64_t>(std::hash<std::string_view>{}(path)), fnv};
}

struct PathDigestHash {
  std::size_t operator()(const PathDigest& d) const { return static_cast<std::size_t>(d.first); }
};

class PathDigestSet {
 public:
  void insert(std::string_view path) { set_.insert(DigestOf(path)); }
  bool contains(std::string_view path) const { return set_.count(DigestOf(path)) > 0; }
  std::size_t size() const { return set_.size(); }

 private:
  std::unordered_set<PathDigest, PathDigestHash> set_;
};

}  // namespace quarn

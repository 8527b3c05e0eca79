// Sets of the many paths one run names (a list of a million files), kept as
// 16-byte digests instead of the paths themselves: two independent 64-bit
// hashes of the bytes, so that two different paths of one run never share a
// digest in practice (about 1e-27 for a million paths).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <vector>

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

// The same for a set made once and only read afterwards: the digests in a
// sorted array, sixteen bytes a path.
class SortedPathDigests {
 public:
  void reserve(std::size_t n) { digests_.reserve(n); }
  void insert(std::string_view path) { digests_.push_back(DigestOf(path)); }
  // Call once every path is in, before the first contains.
  void Seal() {
    std::sort(digests_.begin(), digests_.end(), Less);
    digests_.erase(std::unique(digests_.begin(), digests_.end()), digests_.end());
    digests_.shrink_to_fit();
  }
  bool contains(std::string_view path) const {
    return std::binary_search(digests_.begin(), digests_.end(), DigestOf(path), Less);
  }
  std::size_t size() const { return digests_.size(); }

 private:
  static bool Less(const PathDigest& a, const PathDigest& b) {
    return a.first != b.first ? a.first < b.first : a.second < b.second;
  }
  std::vector<PathDigest> digests_;
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

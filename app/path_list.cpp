#include "app/path_list.h"

#include <algorithm>
#include <cstring>

namespace quarn {

void PathList::Add(std::string_view path) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  const std::size_t need = path.size() + 1;
  if (blocks_.empty() || block_size_ - used_.back() < need) {
    block_size_ = std::max(kBlock, need);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block_size_));
    used_.push_back(0);
  }
  char* at = blocks_.back().get() + used_.back();
  std::copy(path.begin(), path.end(), at);
  at[path.size()] = '\0';
  used_.back() += need;
  ++count_;
}

bool PathList::Next(Cursor* at, std::string_view* path) const {
  while (at->block < blocks_.size() && at->offset >= used_[at->block]) {
    ++at->block;
    at->offset = 0;
  }
  if (at->block >= blocks_.size() || !blocks_[at->block]) return false;
  const char* start = blocks_[at->block].get() + at->offset;
  *path = std::string_view(start, std::strlen(start));
  at->offset += path->size() + 1;
  return true;
}

void PathList::ReleaseBefore(const Cursor& at) {
  for (std::size_t b = 0; b < at.block && b < blocks_.size(); ++b) blocks_[b].reset();
}

}  // namespace quarn

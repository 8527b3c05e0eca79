// The paths a batch is given (the command line's and a list of a million
// read from a file), packed one after another, each ended by a NUL, in
// blocks that never move: about the bytes they take, not a string each.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace quarn {

class PathList {
 public:
  // Where a walk through the list is: the next path to read.
  struct Cursor {
    std::size_t block = 0;
    std::size_t offset = 0;
  };

  // Adds path (which holds no NUL) at the end.
  void Add(std::string_view path);
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // The path at the cursor, and the cursor moved past it; false at the end.
  bool Next(Cursor* at, std::string_view* path) const;
  // Gives back the blocks wholly before the cursor; paths there are gone.
  void ReleaseBefore(const Cursor& at);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<std::size_t> used_;  // the bytes filled in each block
  std::size_t block_size_ = 0;     // the size of the last block
  std::size_t count_ = 0;
};

}  // namespace quarn

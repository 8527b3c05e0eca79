// The paths a batch is given (the command line's and a list of a million
// read from a file), packed one after another, each ended by a NUL: in
// blocks of memory while they are few, and past a few megabytes in an
// unnamed temporary file (memory again where none can be made or written),
// so that a long list costs disk, not memory.  Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

class PathList {
 public:
  // Where a walk through the list is: the next path to read.  A path read
  // from the file is held by the cursor until its next step.
  struct Cursor {
    std::size_t block = 0;
    std::uint64_t offset = 0;
    std::string read;           // what was last read from the file
    std::uint64_t read_at = 0;  // where in the file that begins
  };

  static constexpr std::size_t kKeptInMemory = std::size_t{8} << 20;

  // keep_in_memory: the bytes kept in memory before the list goes to a file.
  explicit PathList(std::size_t keep_in_memory = kKeptInMemory) : keep_in_memory_(keep_in_memory) {}
  PathList(PathList&& other) noexcept;
  PathList& operator=(PathList&& other) noexcept;
  PathList(const PathList&) = delete;
  PathList& operator=(const PathList&) = delete;
  ~PathList();

  // Adds path (which holds no NUL) at the end.
  void Add(std::string_view path);
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // The path at the cursor, and the cursor moved past it; false at the end.
  // Add nothing once the list is being read.
  bool Next(Cursor* at, std::string_view* path) const;
  // Gives back the blocks of memory wholly before the cursor; paths there are gone.
  void ReleaseBefore(const Cursor& at);
  // Whether the list is in a file now.
  bool in_file() const { return fd_ >= 0; }

 private:
  void AddToMemory(std::string_view path);
  // Moves what is in memory to a new unnamed file; stays in memory if it cannot.
  void MoveToFile();
  // Writes what waits to be written; on failure the list comes back to memory.
  void Flush() const;
  void BackToMemory() const;

  std::size_t keep_in_memory_;
  mutable std::vector<std::unique_ptr<char[]>> blocks_;
  mutable std::vector<std::size_t> used_;  // the bytes filled in each block
  mutable std::size_t block_size_ = 0;     // the size of the last block
  mutable std::size_t in_memory_ = 0;      // the bytes in the blocks
  std::size_t count_ = 0;
  mutable int fd_ = -1;                    // the file, once the list is there
  mutable std::uint64_t in_file_ = 0;      // the bytes written to it
  mutable std::string unwritten_;          // added, not yet written
};

}  // namespace quarn

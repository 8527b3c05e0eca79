#include "app/path_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quarn {

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

bool WriteAllAt(int fd, const char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

PathList::PathList(PathList&& other) noexcept { *this = std::move(other); }

PathList& PathList::operator=(PathList&& other) noexcept {
  if (this == &other) return *this;
  if (fd_ >= 0) ::close(fd_);
  keep_in_memory_ = other.keep_in_memory_;
  blocks_ = std::move(other.blocks_);
  used_ = std::move(other.used_);
  block_size_ = other.block_size_;
  in_memory_ = other.in_memory_;
  count_ = other.count_;
  fd_ = std::exchange(other.fd_, -1);
  in_file_ = other.in_file_;
  unwritten_ = std::move(other.unwritten_);
  other.count_ = 0;
  other.in_memory_ = 0;
  other.in_file_ = 0;
  return *this;
}

PathList::~PathList() {
  if (fd_ >= 0) ::close(fd_);
}

void PathList::AddToMemory(std::string_view path) {
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
  in_memory_ += need;
}

void PathList::Add(std::string_view path) {
  ++count_;
  if (fd_ >= 0) {
    unwritten_.append(path);
    unwritten_.push_back('\0');
    if (unwritten_.size() >= kBlock) Flush();
    return;
  }
  AddToMemory(path);
  if (in_memory_ > keep_in_memory_) MoveToFile();
}

void PathList::MoveToFile() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp && *tmp ? tmp : "/tmp";
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    keep_in_memory_ = SIZE_MAX;  // no file here: memory it is
    return;
  }
  std::uint64_t written = 0;
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    if (!WriteAllAt(fd, blocks_[b].get(), used_[b], written)) {
      ::close(fd);
      keep_in_memory_ = SIZE_MAX;
      return;
    }
    written += used_[b];
  }
  fd_ = fd;
  in_file_ = written;
  blocks_.clear();
  used_.clear();
  in_memory_ = 0;
  block_size_ = 0;
}

void PathList::Flush() const {
  if (fd_ < 0 || unwritten_.empty()) return;
  if (WriteAllAt(fd_, unwritten_.data(), unwritten_.size(), in_file_)) {
    in_file_ += unwritten_.size();
    std::string().swap(unwritten_);
    return;
  }
  BackToMemory();
}

void PathList::BackToMemory() const {
  // The file could not take more (the disk is full): what it holds is read
  // back, and the list goes on in memory.
  std::string all;
  all.resize(static_cast<std::size_t>(in_file_));
  std::size_t got = 0;
  while (got < all.size()) {
    const ssize_t n = ::pread(fd_, all.data() + got, all.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  all.resize(got);
  all += unwritten_;
  std::string().swap(unwritten_);
  ::close(fd_);
  fd_ = -1;
  in_file_ = 0;
  auto* self = const_cast<PathList*>(this);
  self->keep_in_memory_ = SIZE_MAX;
  for (std::size_t at = 0; at < all.size();) {
    std::size_t end = all.find('\0', at);
    if (end == std::string::npos) end = all.size();
    self->AddToMemory(std::string_view(all).substr(at, end - at));
    at = end + 1;
  }
}

bool PathList::Next(Cursor* at, std::string_view* path) const {
  Flush();
  if (fd_ < 0) {
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
  if (at->offset >= in_file_) return false;
  for (;;) {
    // The path when what was read holds its end.
    if (at->offset >= at->read_at && at->offset < at->read_at + at->read.size()) {
      const std::size_t from = static_cast<std::size_t>(at->offset - at->read_at);
      const std::size_t end = at->read.find('\0', from);
      if (end != std::string::npos) {
        *path = std::string_view(at->read).substr(from, end - from);
        at->offset += path->size() + 1;
        return true;
      }
    }
    // Read on from the path's start: a piece, or more for a long path.
    const std::uint64_t start = at->offset;
    std::size_t keep = 0;
    if (start >= at->read_at && start < at->read_at + at->read.size()) {
      at->read.erase(0, static_cast<std::size_t>(start - at->read_at));
      keep = at->read.size();
    } else {
      at->read.clear();
    }
    at->read_at = start;
    const std::size_t want = std::max<std::size_t>(kBlock / 4, keep);
    at->read.resize(keep + want);
    ssize_t n;
    do {
      n = ::pread(fd_, at->read.data() + keep, want, static_cast<off_t>(start + keep));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      at->read.resize(keep);
      return false;  // the file ends without the path's NUL: it cannot be read
    }
    at->read.resize(keep + static_cast<std::size_t>(n));
  }
}

void PathList::ReleaseBefore(const Cursor& at) {
  if (fd_ >= 0) return;
  for (std::size_t b = 0; b < at.block && b < blocks_.size(); ++b) blocks_[b].reset();
}

}  // namespace quarn

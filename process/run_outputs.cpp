#include "process/run_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "process/process.h"

namespace quarn {

namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

void RunOutputs::AddNamed(const std::string& path, const struct stat* st) {
  std::lock_guard hold(lock_);
  named_paths_.insert(path);
  if (!st) return;
  if (S_ISDIR(st->st_mode)) {
    named_folders_.insert(IdentityOf(*st));
  } else {
    named_files_.insert(IdentityOf(*st));
  }
}

bool RunOutputs::IsNamed(const std::string& path) const {
  std::lock_guard hold(lock_);
  return named_paths_.contains(path);
}

bool RunOutputs::IsOutput(FileIdentity file) const {
  std::lock_guard hold(lock_);
  return outputs_.count(file) > 0;
}

bool RunOutputs::InNamedFolder(int folder_fd) const {
  // The folder and its parents up to the root, as the walk reaches them:
  // through real folders, never through links.
  std::vector<FileIdentity> chain;
  int fd = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
  for (int depth = 0; fd >= 0 && depth < 4096; ++depth) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) break;
    const FileIdentity here = IdentityOf(st);
    if (!chain.empty() && chain.back() == here) break;  // the root is its own parent
    chain.push_back(here);
    const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = parent;
  }
  if (fd >= 0) ::close(fd);
  std::lock_guard hold(lock_);
  for (const FileIdentity& f : chain)
    if (named_folders_.count(f)) return true;
  return false;
}

std::string_view RunOutputs::ClaimantOf(Claim claim) const {
  return std::string_view(claimants_[claim >> 32].get() + (claim & 0xFFFFFFFFu));  // up to its NUL
}

RunOutputs::Claim RunOutputs::KeepClaimant(std::string_view document) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  const std::size_t need = document.size() + 1;
  if (claimants_.empty() || block_size_ - block_used_ < need) {
    block_size_ = std::max(kBlock, need);
    claimants_.push_back(std::make_unique_for_overwrite<char[]>(block_size_));
    block_used_ = 0;
  }
  char* at = claimants_.back().get() + block_used_;
  std::copy(document.begin(), document.end(), at);
  at[document.size()] = '\0';
  const Claim claim = (static_cast<std::uint64_t>(claimants_.size() - 1) << 32) | block_used_;
  block_used_ += need;
  return claim;
}

std::string RunOutputs::Admit(const std::string& document, const OutputSlot& slot, std::string_view masks) {
  const Place place{slot.folder, DigestOf(slot.name)};
  auto claimed_by_other = [&]() -> std::string {
    auto it = claims_.find(place);
    if (it == claims_.end() || ClaimantOf(it->second) == document) return {};
    return "not written: " + Quoted(slot.path) + " already holds the text of " +
           Quoted(std::string(ClaimantOf(it->second)));
  };
  {
    std::lock_guard hold(lock_);
    if (std::string why = claimed_by_other(); !why.empty()) return why;
  }
  // A file the name holds now is replaced only when it is no document of
  // this run: a text file this program wrote, or a file the run never takes.
  if (slot.exists && !slot.written_by_us && !IsOutput(slot.existing)) {
    bool document_of_run;
    {
      std::lock_guard hold(lock_);
      document_of_run = slot.existing.valid() && named_files_.count(slot.existing) > 0;
    }
    if (!document_of_run && MatchesMaskList(slot.name, masks)) document_of_run = InNamedFolder(slot.folder_fd);
    if (document_of_run) return "not written: " + Quoted(slot.path) + " is itself a document of this run";
  }
  std::lock_guard hold(lock_);
  // Another document may have taken the place while the folders were looked at.
  if (std::string why = claimed_by_other(); !why.empty()) return why;
  // A path never holds a NUL, so the NUL after each one ends it.
  if (claims_.count(place) == 0) claims_.emplace(place, KeepClaimant(document));
  return {};
}

void RunOutputs::Placed(const std::string& document, const OutputSlot& slot, bool written, FileIdentity file) {
  std::lock_guard hold(lock_);
  if (written) {
    if (file.valid()) outputs_.insert(file);
    return;
  }
  auto it = claims_.find(Place{slot.folder, DigestOf(slot.name)});
  if (it != claims_.end() && ClaimantOf(it->second) == document) claims_.erase(it);
}

}  // namespace quarn

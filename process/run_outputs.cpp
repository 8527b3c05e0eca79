#include "process/run_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "process/process.h"

namespace quarn {

namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// A number of its own for each run, so that its marks on disk are told from
// an earlier run's.
std::string NewRunId() {
  const std::uint64_t id = RandomBits();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
  return text;
}

}  // namespace

RunOutputs::RunOutputs() : id_(NewRunId()) {}

std::uint64_t IdentitySet::DigestOf(FileIdentity file) {
  // Mixed so that the inode numbers of one device spread over the table.
  std::uint64_t x = static_cast<std::uint64_t>(file.ino) ^ (static_cast<std::uint64_t>(file.dev) * 0x9E3779B97F4A7C15ULL);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

void IdentitySet::insert(FileIdentity file) {
  const std::uint64_t d = DigestOf(file);
  if (std::binary_search(sorted_.begin(), sorted_.end(), d)) return;
  latest_.insert(d);
  // Merged into the array now and then: eight bytes a file, not a node.
  if (latest_.size() < 4096) return;
  const std::size_t old = sorted_.size();
  sorted_.insert(sorted_.end(), latest_.begin(), latest_.end());
  std::sort(sorted_.begin() + static_cast<std::ptrdiff_t>(old), sorted_.end());
  std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(old), sorted_.end());
  latest_.clear();
}

bool IdentitySet::contains(FileIdentity file) const {
  const std::uint64_t d = DigestOf(file);
  return latest_.count(d) > 0 || std::binary_search(sorted_.begin(), sorted_.end(), d);
}

void RunOutputs::AddNamed(const struct stat& st) {
  std::lock_guard hold(lock_);
  if (S_ISDIR(st.st_mode)) {
    named_folders_.insert(IdentityOf(st));
  } else {
    named_files_.insert(IdentityOf(st));
  }
}

void RunOutputs::AddNamedFiles(const std::vector<FileIdentity>& files) {
  std::lock_guard hold(lock_);
  for (const FileIdentity& f : files) named_files_.insert(f);
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

std::string RunOutputs::ClaimedByOtherLocked(const std::string& document, const OutputSlot& slot,
                                             const Place& place, bool on_disk) const {
  auto it = claims_.find(place);
  std::string holder;
  if (it != claims_.end()) {
    holder = it->second.document;
  } else if (RunMark mark; on_disk && ReadRunMark(slot.path, &mark) && mark.run == id_) {
    // Forgotten here, but the text file in place says which of this run's
    // documents it holds.  Read under the lock: a claim is only forgotten
    // after its file took its place, so the file is there to be read.
    holder = std::move(mark.document);
  }
  if (holder.empty() || holder == document) return {};
  return "not written: " + Quoted(slot.path) + " already holds the text of " + Quoted(holder);
}

void RunOutputs::ForgetOldClaimsLocked() {
  while (placed_order_.size() > placed_kept_) {
    const auto [place, number] = placed_order_.front();
    placed_order_.pop_front();
    auto it = claims_.find(place);
    // The place may have been given up and claimed again since.
    if (it != claims_.end() && it->second.placed == number) claims_.erase(it);
  }
}

void RunOutputs::SetPlacedClaimsKept(std::size_t kept) {
  std::lock_guard hold(lock_);
  placed_kept_ = kept;
  ForgetOldClaimsLocked();
}

void RunOutputs::SetMarking(bool mark) { marking_ = mark; }

std::size_t RunOutputs::ClaimsHeld() const {
  std::lock_guard hold(lock_);
  return claims_.size();
}

std::string RunOutputs::Admit(const std::string& document, const OutputSlot& slot, std::string_view masks) {
  const Place place{slot.folder, DigestOf(slot.name)};
  {
    std::lock_guard hold(lock_);
    if (std::string why = ClaimedByOtherLocked(document, slot, place, false); !why.empty()) return why;
  }
  // A file the name holds now is replaced only when it is no document of
  // this run: a text file this program wrote, or a file the run never takes.
  if (slot.exists && !slot.written_by_us && !IsOutput(slot.existing)) {
    bool document_of_run;
    {
      std::lock_guard hold(lock_);
      document_of_run = slot.existing.valid() && named_files_.contains(slot.existing);
    }
    if (!document_of_run && MatchesMaskList(slot.name, masks)) document_of_run = InNamedFolder(slot.folder_fd);
    if (document_of_run) return "not written: " + Quoted(slot.path) + " is itself a document of this run";
  }
  std::lock_guard hold(lock_);
  // Another document may have taken the place while the folders were looked at.
  if (std::string why = ClaimedByOtherLocked(document, slot, place, true); !why.empty()) return why;
  if (claims_.count(place) == 0) claims_.emplace(place, Claim{document, 0});
  return {};
}

void RunOutputs::Placed(const std::string& document, const OutputSlot& slot, bool written, FileIdentity file,
                        bool marked) {
  std::lock_guard hold(lock_);
  auto it = claims_.find(Place{slot.folder, DigestOf(slot.name)});
  const bool ours = it != claims_.end() && it->second.document == document;
  if (!written) {
    if (ours) claims_.erase(it);
    return;
  }
  if (!marked) {
    // Nothing on disk tells this file from a document: it is kept here.
    if (file.valid()) outputs_.insert(file);
    return;
  }
  // The file says what it is: its claim may be forgotten in time.
  if (ours && it->second.placed == 0) {
    it->second.placed = ++placed_count_;
    placed_order_.emplace_back(it->first, it->second.placed);
    ForgetOldClaimsLocked();
  }
}

}  // namespace quarn

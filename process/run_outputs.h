// What one run knows about its documents and the text files it writes, so
// that no text file of the run replaces one of the run's own documents and
// no two documents of the run write the same text file.  Shared by the
// workers of one run (each conversion asks through a DocumentGate) and fed
// by the front end's thread as it names paths; every method is thread-safe.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "convert/text_file.h"
#include "process/path_digest.h"

namespace quarn {

// A set of many file identities (every file of a list of a million), kept
// as 64-bit digests in a sorted array with a small table of the latest.  Two
// identities may share a digest: a file is then taken for one of the set,
// which only ever keeps a file from being replaced.
class IdentitySet {
 public:
  void insert(FileIdentity file);
  bool contains(FileIdentity file) const;

 private:
  static std::uint64_t DigestOf(FileIdentity file);
  std::vector<std::uint64_t> sorted_;
  std::unordered_set<std::uint64_t> latest_;
};

class RunOutputs {
 public:
  // Claims of text files that were placed and marked on disk, kept in memory
  // besides (the latest ones) until they are forgotten.
  static constexpr std::size_t kPlacedClaimsKept = 4096;

  RunOutputs();

  // What a path the front end named stands for (st): a named file is a
  // document of the run whatever its name; in a named folder and every real
  // folder below it, each entry whose name matches the masks is one.
  void AddNamed(const struct stat& st);
  // Named files, before their paths are queued.
  void AddNamedFiles(const std::vector<FileIdentity>& files);
  // Whether file is a text file this run wrote without a mark on disk (a
  // marked one tells itself: WrittenByUs).
  bool IsOutput(FileIdentity file) const;

  // The rules, asked right before document's text file takes its place:
  // empty (and the place is the document's from now on), or why not.
  std::string Admit(const std::string& document, const OutputSlot& slot, std::string_view masks);
  // marked: the text file carries its origin and this run's mark (Mark).
  void Placed(const std::string& document, const OutputSlot& slot, bool written, FileIdentity file, bool marked);
  // The value of kRunAttribute for document's text file.
  std::string Mark(const std::string& document) const { return RunMarkValue(id_, document); }
  const std::string& id() const { return id_; }

  // Tests only: how many placed and marked claims stay in memory (the rest
  // are found on disk), and whether text files are marked at all (false:
  // as on a file system without extended attributes).
  void SetPlacedClaimsKept(std::size_t kept);
  void SetMarking(bool mark);
  bool marking() const { return marking_; }
  // How many claims are held in memory now.
  std::size_t ClaimsHeld() const;

 private:
  // A place: its folder and the digest of its name.
  struct Place {
    FileIdentity folder;
    PathDigest name;
    bool operator==(const Place&) const = default;
  };
  struct PlaceHash {
    std::size_t operator()(const Place& p) const {
      return static_cast<std::size_t>(p.name.first ^ (p.folder.ino * 0x9E3779B97F4A7C15ULL) ^ p.folder.dev);
    }
  };
  // The document whose text a place holds (or is about to).  A claim whose
  // text file is in place and marked has a number in the order of placing
  // (zero otherwise): only those may be forgotten, the oldest first.
  struct Claim {
    std::string document;
    std::uint64_t placed = 0;
  };
  // Whether the folder open as fd is a named folder or lies below one.
  bool InNamedFolder(int folder_fd) const;
  // Why document may not take place: another document of this run holds it,
  // as remembered or (on_disk) as the text file there says.  Called with
  // lock_ held.
  std::string ClaimedByOtherLocked(const std::string& document, const OutputSlot& slot, const Place& place,
                                   bool on_disk) const;
  void ForgetOldClaimsLocked();

  std::string id_;  // this run's number, in hexadecimal: written in its marks
  std::atomic<bool> marking_{true};
  mutable std::mutex lock_;
  IdentitySet named_files_;
  std::set<FileIdentity> named_folders_;
  std::unordered_map<Place, Claim, PlaceHash> claims_;  // a place and the document whose text it holds
  // The marked claims in the order they were placed, with their numbers.
  std::deque<std::pair<Place, std::uint64_t>> placed_order_;
  std::uint64_t placed_count_ = 0;
  std::size_t placed_kept_ = kPlacedClaimsKept;
  std::set<FileIdentity> outputs_;  // text files written without a mark
};

// The gate one conversion of a run writes through.
class DocumentGate : public OutputGate {
 public:
  DocumentGate(std::shared_ptr<RunOutputs> run, std::string document, std::string masks,
               const struct stat* state = nullptr)
      : run_(std::move(run)), document_(std::move(document)), masks_(std::move(masks)), state_(state) {}
  std::string Admit(const OutputSlot& slot) override { return run_->Admit(document_, slot, masks_); }
  void Placed(const OutputSlot& slot, bool written, FileIdentity file) override {
    run_->Placed(document_, slot, written, file, false);
  }
  void Placed(const OutputSlot& slot, bool written, FileIdentity file, bool marked) override {
    run_->Placed(document_, slot, written, file, marked);
  }
  std::string Mark() const override { return run_->marking() ? run_->Mark(document_) : std::string(); }
  const struct stat* DocumentState() const override { return state_; }

 private:
  std::shared_ptr<RunOutputs> run_;
  std::string document_;
  std::string masks_;
  const struct stat* state_;  // the caller's, alive while the gate is
};

}  // namespace quarn

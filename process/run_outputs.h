// What one run knows about its documents and the text files it writes, so
// that no text file of the run replaces one of the run's own documents and
// no two documents of the run write the same text file.  Shared by the
// workers of one run (each conversion asks through a DocumentGate) and fed
// by the front end's thread as it names paths; every method is thread-safe.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "convert/text_file.h"
#include "process/path_digest.h"

namespace quarn {

class RunOutputs {
 public:
  // A path the front end named: a named file is a document of the run
  // whatever its name; in a named folder and every real folder below it,
  // each entry whose name matches the masks is one.
  // st: what path named when it was queued (nullptr: nothing).
  void AddNamed(const std::string& path, const struct stat* st);
  // Whether path is spelled exactly as a path the front end named.
  bool IsNamed(const std::string& path) const;
  // Whether file is a text file this run wrote.
  bool IsOutput(FileIdentity file) const;

  // The rules, asked right before document's text file takes its place:
  // empty (and the place is the document's from now on), or why not.
  std::string Admit(const std::string& document, const OutputSlot& slot, std::string_view masks);
  void Placed(const std::string& document, const OutputSlot& slot, bool written, FileIdentity file);

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
  // The document whose text a place holds: where its path lies in
  // claimants_ (the block in the high half, the offset in the low one).
  using Claim = std::uint64_t;
  // Whether the folder open as fd is a named folder or lies below one.
  bool InNamedFolder(int folder_fd) const;
  // The path of the document a claim names.
  std::string_view ClaimantOf(Claim claim) const;
  // Keeps document's path among the claimants: where it lies.
  Claim KeepClaimant(std::string_view document);

  mutable std::mutex lock_;
  PathDigestSet named_paths_;
  std::set<FileIdentity> named_files_;
  std::set<FileIdentity> named_folders_;
  std::unordered_map<Place, Claim, PlaceHash> claims_;  // a place and the document whose text it holds
  // The claimants' paths, each ended by a NUL, one after the other in
  // blocks that never move: a run of a million documents keeps them in
  // about the bytes they take.
  std::vector<std::unique_ptr<char[]>> claimants_;
  std::size_t block_used_ = 0, block_size_ = 0;
  std::set<FileIdentity> outputs_;
};

// The gate one conversion of a run writes through.
class DocumentGate : public OutputGate {
 public:
  DocumentGate(std::shared_ptr<RunOutputs> run, std::string document, std::string masks)
      : run_(std::move(run)), document_(std::move(document)), masks_(std::move(masks)) {}
  std::string Admit(const OutputSlot& slot) override { return run_->Admit(document_, slot, masks_); }
  void Placed(const OutputSlot& slot, bool written, FileIdentity file) override {
    run_->Placed(document_, slot, written, file);
  }

 private:
  std::shared_ptr<RunOutputs> run_;
  std::string document_;
  std::string masks_;
};

}  // namespace quarn

// What one run knows about its documents and the text files it writes, so
// that no text file of the run replaces one of the run's own documents and
// no two documents of the run write the same text file.  Shared by the
// workers of one run (each conversion asks through a DocumentGate) and fed
// by the front end's thread as it names paths; every method is thread-safe.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>

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
  using Place = std::pair<FileIdentity, std::string>;  // folder and name
  // Whether the folder open as fd is a named folder or lies below one.
  bool InNamedFolder(int folder_fd) const;

  mutable std::mutex lock_;
  PathDigestSet named_paths_;
  std::set<FileIdentity> named_files_;
  std::set<FileIdentity> named_folders_;
  std::map<Place, std::string> claims_;  // a place and the document whose text it holds
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

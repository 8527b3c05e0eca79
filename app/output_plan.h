// Where the command line's batch puts each text file (beside its document,
// or in a tree of its own that mirrors the named folders), and which
// documents it leaves alone because their text files are up to date.
// Read-only once made, so both workers use one plan at once.
#pragma once

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "convert/outcome.h"

namespace quarn {

class OutputPlan {
 public:
  // output_dir empty: each text file beside its document.  named: the files
  // and folders named for the run, spelled as they were named.
  OutputPlan(std::string output_dir, const std::vector<std::string>& named, bool update);

  // The text file of document: beside it, or in the output folder at the
  // document's path relative to the file or folder named for it.
  std::string OutputFor(const std::string& document) const;
  // Makes the folders that out needs inside the output folder: empty, or why not.
  std::string MakeFolders(const std::string& out) const;
  // With update: a skipped result when out exists, is newer than document
  // and is not another document's text.
  std::optional<ConvertResult> UpToDate(const std::string& document, const std::string& out) const;

  bool update() const { return update_; }

 private:
  // The part of document below the file or folder named for it.
  std::string RelativePath(const std::string& document) const;

  std::string dir_;
  std::unordered_set<std::string> named_;
  bool update_;
};

}  // namespace quarn

// Where the command line's batch puts each text file (beside its document,
// or in a tree of its own that mirrors the named folders), and which
// documents it leaves alone because their text files are up to date.
// Read-only once made, so both workers use one plan at once.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "app/path_list.h"
#include "convert/outcome.h"
#include "process/path_digest.h"

namespace quarn {

class OutputPlan {
 public:
  // output_dir empty: each text file beside its document.  paths: the files
  // and folders named on the command line (the first named_count) and those
  // read from a list (the rest), each spelled as it was given.
  OutputPlan(std::string output_dir, const PathList& paths, std::size_t named_count, bool update);

  // The text file of document: beside it, or in the output folder.  There a
  // document of a path named on the command line goes at its path relative
  // to that file or folder; one of a listed path keeps its whole path as
  // listed (a leading "/" or "./" left out), so a list from find mirrors the
  // tree it came from.  Empty, and *why set, when a listed path climbs out
  // with "..".
  std::string OutputFor(const std::string& document, std::string* why) const;
  // Makes the folders that out needs inside the output folder: empty, or why not.
  std::string MakeFolders(const std::string& out) const;
  // With update, when out exists and is newer than document: skipped, or
  // failed when out holds another document's text (that one keeps it).
  // known: the document's stat when the caller has it already (null: looked up).
  std::optional<ConvertResult> UpToDate(const std::string& document, const std::string& out,
                                        const struct stat* known = nullptr) const;

  bool update() const { return update_; }

 private:
  // The part of document its place in the output folder is made of.
  std::string RelativePath(const std::string& document) const;

  std::string dir_;
  SortedPathDigests named_;
  SortedPathDigests listed_;
  bool update_;
};

}  // namespace quarn

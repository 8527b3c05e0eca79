#include "app/output_plan.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "app/main.h"
#include "convert/text_file.h"

namespace quarn {
namespace {

std::string_view FileName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool Newer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// The document whose text file path is, as recorded when it was written:
// empty when the file system keeps no such record; nullopt when the file
// carries none (it was not written by this program).
std::optional<std::string> OriginOf(const std::string& path) {
  char value[4096];
  const ssize_t n = ::getxattr(path.c_str(), kOriginAttribute, value, sizeof value);
  if (n >= 0) return std::string(value, static_cast<std::size_t>(n));
  if (errno == ENOTSUP || errno == ERANGE) return std::string();
  return std::nullopt;
}

}  // namespace

OutputPlan::OutputPlan(std::string output_dir, const PathList& paths, std::size_t named_count, bool update)
    : dir_(std::move(output_dir)), update_(update) {
  named_.reserve(named_count);
  listed_.reserve(paths.size() - named_count);
  PathList::Cursor at;
  std::string_view path;
  for (std::size_t i = 0; paths.Next(&at, &path); ++i) (i < named_count ? named_ : listed_).insert(path);
  named_.Seal();
  listed_.Seal();
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

std::string OutputPlan::RelativePath(const std::string& document) const {
  // A named file stands for itself: its text file takes its name.
  if (named_.contains(document)) return std::string(FileName(document));
  if (listed_.contains(document)) return document;
  // Entries of a named folder are spelled as the folder was, then "/" (none
  // more when the folder was named with its own slash) and the rest: the
  // nearest named folder up the path is the one the walk came from.
  for (std::size_t slash = document.rfind('/'); slash != std::string::npos; slash = document.rfind('/', slash - 1)) {
    const std::string_view folder = std::string_view(document).substr(0, slash);
    const std::string_view with_slash = std::string_view(document).substr(0, slash + 1);
    if (named_.contains(folder) || named_.contains(with_slash)) return document.substr(slash + 1);
    if (listed_.contains(folder) || listed_.contains(with_slash)) return document;
    if (slash == 0) break;
  }
  return std::string(FileName(document));
}

std::string OutputPlan::OutputFor(const std::string& document, std::string* why) const {
  if (dir_.empty()) return OutputPathFor(document);
  // The place below the output folder, without empty and "." steps.
  std::string rel;
  const std::string whole = RelativePath(document);
  for (std::size_t at = 0; at < whole.size();) {
    std::size_t end = whole.find('/', at);
    if (end == std::string::npos) end = whole.size();
    const std::string_view step = std::string_view(whole).substr(at, end - at);
    if (step == "..") {
      *why = "its text file has no place in the output folder: the path climbs out of it with \"..\"";
      return {};
    }
    if (!step.empty() && step != ".") rel.append(rel.empty() ? "" : "/").append(step);
    at = end + 1;
  }
  return (dir_ == "/" ? dir_ : dir_ + "/") + OutputPathFor(rel);
}

std::string OutputPlan::MakeFolders(const std::string& out) const {
  if (dir_.empty()) return {};
  const std::size_t last = out.rfind('/');
  if (last == std::string::npos || last == 0) return {};
  struct stat st {};
  if (::stat(out.substr(0, last).c_str(), &st) == 0) return {};
  // Each missing folder from the top down; one made by the other worker
  // meanwhile is as good.
  for (std::size_t slash = out.find('/', 1); slash != std::string::npos && slash <= last;
       slash = out.find('/', slash + 1)) {
    const std::string folder = out.substr(0, slash);
    if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
      return "cannot make the folder \"" + folder + "\": " + std::strerror(errno);
  }
  return {};
}

std::optional<ConvertResult> OutputPlan::UpToDate(const std::string& document, const std::string& out,
                                                  const struct stat* known) const {
  if (!update_) return std::nullopt;
  struct stat in {}, text {};
  if (known) in = *known;
  else if (::stat(document.c_str(), &in) != 0) return std::nullopt;
  if (!S_ISREG(in.st_mode)) return std::nullopt;
  if (::stat(out.c_str(), &text) != 0 || !S_ISREG(text.st_mode)) return std::nullopt;
  if (!Newer(text.st_mtim, in.st_mtim)) return std::nullopt;
  // The mark of the run that wrote the text file names the document it was
  // written for; when that is this document, as named now, the text file is
  // this document's (its origin, written with the mark, is this name), which
  // is the common case and needs no more look-ups.
  RunMark mark;
  const bool marked = ReadRunMark(out, &mark) && !mark.document.empty();
  if (!marked || mark.document != document) {
    // A text file this program wrote for another document (a.rtf beside
    // a.md) stays that document's: the one that held it first keeps it, run
    // after run.
    const std::optional<std::string> origin = OriginOf(out);
    if (origin && !origin->empty() && *origin != FileName(document)) {
      ConvertResult taken = ConvertResult::Failed("not written: \"" + out + "\" holds the text of \"" + *origin +
                                                  "\", and is newer than this document");
      taken.input_bytes = static_cast<std::uint64_t>(in.st_size);
      return taken;
    }
    // The same for a document of the same name in another folder, as the
    // mark names it (when that path still names a file here): two named
    // folders may map their a.md to one text file.
    struct stat holder {};
    if (marked && ::stat(mark.document.c_str(), &holder) == 0 &&
        (holder.st_dev != in.st_dev || holder.st_ino != in.st_ino)) {
      ConvertResult taken = ConvertResult::Failed("not written: \"" + out + "\" holds the text of \"" + mark.document +
                                                  "\", and is newer than this document");
      taken.input_bytes = static_cast<std::uint64_t>(in.st_size);
      return taken;
    }
  }
  // Newer, but of another state of the document (changed while it was read,
  // or replaced by a copy with an older time): read again.
  if (const std::string source = ReadSourceState(out); !source.empty() && source != SourceStateValue(in))
    return std::nullopt;
  ConvertResult skipped = ConvertResult::Skipped("its text file is newer than the document");
  skipped.output = out;
  skipped.input_bytes = static_cast<std::uint64_t>(in.st_size);
  return skipped;
}

}  // namespace quarn

// Writing a conversion's text file: all of it or nothing, never over the
// document being converted, and in a run only where the run allows it.
// Called from the workers and the command line at once; the only shared state
// is the table of named temporary files that signal handlers remove.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quarn {

// Raised when the output file cannot be created or fully written.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Which file a name or a descriptor stands for; zero for none.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool valid() const { return dev != 0 || ino != 0; }
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
  friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};
inline FileIdentity IdentityOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// The place a finished text file is about to take, as found at that moment.
struct OutputSlot {
  std::string path;          // the output path as given
  int folder_fd = -1;        // open on the folder that holds it, while the question is asked
  FileIdentity folder;       // that folder
  std::string name;          // the last component of path
  bool exists = false;       // the name holds something now (a link counts, even a dangling one)
  FileIdentity existing;     // what it holds, links followed (zero when that cannot be told)
  bool written_by_us = false;  // what it holds is a text file this program wrote
};

// The run's say over where text files go.  Admit is asked right before a
// file takes its name; Placed follows every Admit that said yes.
class OutputGate {
 public:
  virtual ~OutputGate() = default;
  // Empty: go ahead, the slot is this document's from now on.  Otherwise why
  // the file may not go there (the file is then not written).
  virtual std::string Admit(const OutputSlot& slot) = 0;
  // Whether the file did take its name, and which file it is.
  virtual void Placed(const OutputSlot& slot, bool written, FileIdentity file) = 0;
  // The run's mark to write with the text file (kRunAttribute); empty: none.
  virtual std::string Mark() const { return {}; }
  // Placed, told also whether the file carries both its origin and the
  // run's mark (the file system may keep no extended attributes).
  virtual void Placed(const OutputSlot& slot, bool written, FileIdentity file, bool marked) {
    (void)marked;
    Placed(slot, written, file);
  }
  // The document's state (stat) as the run found it just before it handed
  // the document over, so that nobody asks the file system again; null
  // when it is not known.
  virtual const struct stat* DocumentState() const { return nullptr; }
};

struct SaveOptions {
  FileIdentity input;        // the document's open file: its text never replaces it
  std::string origin;        // the document's file name, recorded with the text file
  std::string source;        // SourceStateValue of the document as it was opened, recorded with it
  OutputGate* gate = nullptr;
};

enum class Saved {
  kWritten,
  kSameFile,  // the output name holds the document itself: nothing written
  kRefused,   // the gate said no: nothing written
};

struct SaveResult {
  Saved outcome = Saved::kWritten;
  std::string reason;
};

// Writes text to out_path, all of it or nothing.  A regular file is written
// through an unnamed temporary file that takes its name only once the text is
// whole (a named hidden one where the file system has none, removed again by
// RemoveTemporaryTextFiles), so an existing file is replaced atomically and a
// stop at any moment leaves either the old file or the new one.  A symbolic
// link is followed; a pipe or a device is written in place.  Throws FileError
// with "Cannot create file \"<absolute path>\". <reason>" (or "Cannot write
// file ...").
SaveResult SaveTextFile(const std::string& out_path, std::string_view text, const SaveOptions& options);
void SaveTextFile(const std::string& out_path, std::string_view text);

// The extended attribute that marks a text file this program wrote; its value
// is the name of the document it came from.  File systems without extended
// attributes simply keep no mark.
inline constexpr const char* kOriginAttribute = "user.quarn.origin";
bool WrittenByUs(const std::string& path);

// The extended attribute that records the document's size and modification
// time as they were when its reading began: "<bytes>:<seconds>.<nanoseconds>".
// A text file newer than its document is still out of date when the document
// no longer matches it: it changed while it was read, or a copy that keeps
// modification times (rsync -t, cp -p, an unpacked archive) replaced it with
// an older time than the text file's.
inline constexpr const char* kSourceAttribute = "user.quarn.source";
std::string SourceStateValue(const struct stat& document);
// The record path carries (links followed); empty when it carries none.
std::string ReadSourceState(const std::string& path);

// The extended attribute that names the run that wrote a text file and the
// document whose text it holds: "<run>:<document path as the run named it>",
// the run being 16 hexadecimal digits.  A run reads it back to tell its own
// text files from an earlier run's without keeping a record of each.
inline constexpr const char* kRunAttribute = "user.quarn.run";
struct RunMark {
  std::string run;
  std::string document;
};
std::string RunMarkValue(std::string_view run, std::string_view document);
// The mark path carries (links followed); false when it carries none.
bool ReadRunMark(const std::string& path, RunMark* mark);

// Whether name has the form of the named temporary files text is written to
// on file systems without unnamed ones: ".NAME.<12 hex digits>~".
bool IsTemporaryTextName(std::string_view name);

// 64 random bits from the kernel (for names and run numbers that must not
// repeat between processes); cheap enough to call on every start.
std::uint64_t RandomBits();

// Removes every named temporary file being written at this moment.
// Async-signal-safe: meant for the handlers of INT, TERM and HUP.
void RemoveTemporaryTextFiles();

// Tests only: false makes every write take the named temporary file route.
void UseUnnamedTemporaryFiles(bool use);

}  // namespace quarn

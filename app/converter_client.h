// The program's side of one converter process: starts it when the first
// document comes, hands it one document at a time, holds it to the time and
// memory limits while it reads, and replaces it after a crash, a limit, or a
// document it was not allowed to read.  A ConverterClient belongs to one
// thread (a worker, or the main thread of the command line); the process it
// starts is ended and reaped when the client goes, so none is left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/converter_limits.h"
#include "app/main.h"

namespace quarn {

struct ConverterSettings {
  // The program to start in converter mode.
  std::string program = "/proc/self/exe";
  // Fork instead of starting the program again: cheaper, and sound only
  // while the process has a single thread (the command line's one document).
  bool fork_without_exec = false;
  ConverterLimits limits = DefaultConverterLimits();
  // The folders named for the run (RequestedFolders: those from the index
  // given on), each of which a new converter may read with all it holds.
  // None when empty.
  std::function<std::vector<std::string>(std::size_t from)> requested_folders;
  // Up to n paths the run takes next (NextPaths): a new converter may read
  // these documents too, so that along a long list of files it serves the
  // next ones without being replaced, while its start costs the same
  // whatever the list's length.  None when empty.
  std::function<std::vector<std::string>(std::size_t n)> next_paths;
  // How many of those: a converter is replaced once every so many documents
  // along a list, and its start never grows with the list.
  std::size_t next_documents = 4096;
  // The shared count of idle workers (ShareSpareWorkers), handed to a
  // started converter; -1: none.
  int spare_workers_fd = -1;
  // The run's conversion settings, sent with every request.
  std::vector<std::string> options;
};

class ConverterClient {
 public:
  // stop_requested, when given, is asked while a document is read: true
  // ends the converter at once and the document is not converted.
  explicit ConverterClient(ConverterSettings settings, std::function<bool()> stop_requested = {});
  ~ConverterClient();
  ConverterClient(const ConverterClient&) = delete;
  ConverterClient& operator=(const ConverterClient&) = delete;

  // The document's text, read by the converter process.  Every failure of
  // the process comes back as a failed document with its reason.
  DocumentText Read(const DocumentInput& input);

  // The running converter's process id, or 0 (for tests).
  pid_t pid() const { return pid_; }
  // The Landlock version the running converter applied (0: none; known
  // once it has answered its first document).
  int landlock_abi() const { return landlock_abi_; }

 private:
  enum class Wait { kReady, kClosed, kTimeout, kStopped, kMemory };
  bool Start(std::string* why);
  // Ends the process (SIGKILL when it still runs), reaps it and removes its
  // scratch folder; returns its wait status, or -1 when there was none.
  int End();
  bool Alive() const;
  bool Covers(const std::string& canonical) const;
  Wait WaitReadable(std::chrono::steady_clock::time_point deadline, bool timed);
  Wait ReadExact(void* buffer, std::size_t n, std::chrono::steady_clock::time_point deadline, bool timed);
  DocumentText Failed(std::string reason);
  // Why the converter ended with status.  document: the document it was
  // reading (its open file) and its size when the reading began, so that a
  // file cut short under a reader that maps it is told from a crash.
  std::string DeathReason(int status, int document = -1, off_t size_before = -1) const;
  bool OverMemory() const;

  ConverterSettings settings_;
  std::function<bool()> stop_requested_;
  // Adds the run's folders named since the last look to folder_roots_.
  void TakeRequestedFolders();

  std::set<std::string> roots_;  // canonical paths of documents the running converter may read
  // The canonical paths of the run's named folders, none inside another.
  std::set<std::string> folder_roots_;
  std::size_t folders_seen_ = 0;  // the run's named folders looked at
  std::vector<std::string> system_roots_;  // what every converter may read, found once
  pid_t pid_ = 0;
  int channel_ = -1;
  int statm_ = -1;  // the converter's /proc/PID/statm, for its memory
  int landlock_abi_ = 0;
  bool ready_pending_ = false;  // the converter's answer to its set-up is still to come
  std::string scratch_;
  bool swept_scratch_ = false;  // abandoned scratch folders were looked for
};

// The canonical path of what fd has open (or of path when that cannot be
// told), symbolic links resolved: what the kernel checks when the file is opened.
std::string CanonicalPathOf(int fd, const std::string& path);

}  // namespace quarn

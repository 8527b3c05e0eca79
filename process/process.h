// The work queue of the window and of the terminal's batch mode: one queue of
// paths (files and folders), the processing state, and two worker threads
// that take paths, expand folders breadth-first and convert files.  Front
// ends call it from the main thread; the workers call back only through the
// ProgressNotify interface and never touch a front end's objects.  Every
// shared item below lives under QueueLock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "convert/outcome.h"
#include "convert/text_file.h"

namespace quarn {

enum ProcessState { psIdle = 0, psStarting = 1, psRunning = 2, psStopping = 3, psFinished = 4 };

// How progress reaches a front end.  PostProgress is called from worker
// threads (and from the thread that starts a run), never with QueueLock held;
// it must only post (queue an event, wake a loop) and return at once.  The
// front end then reads the shared values with ReadProgress.
class ProgressNotify {
 public:
  virtual ~ProgressNotify() = default;
  virtual void PostProgress() = 0;
};

// The workers of a run: the window always has two; the command line's batch
// may ask for another number.
inline constexpr int kDefaultWorkers = 2;
inline constexpr int kMaxWorkers = 256;

// What a front end passes with each request.
struct TProcessParams {
  ProgressNotify* NotifyWindow = nullptr;
  std::string MaskList = "*.*";  // masks separated by ";", ending at the first "|"
  // Keep a record of each document as it ends, for TakeEndedDocuments (the
  // notify target is posted to after each).
  bool KeepDocumentLog = false;
  // The workers of a run this request starts (1 to kMaxWorkers).
  int Workers = kDefaultWorkers;
  // Every worker stays until the run ends: one that finds the queue empty
  // while another holds a path (a folder being listed adds entries) waits
  // for more instead of leaving, so a folder walk keeps them all busy.
  // Without it only the first worker waits, and the others leave at the
  // first empty queue.
  bool WorkersWait = false;
  // A file whose name the masks leave out (under "*.*": no dot in it) is
  // taken all the same when this says so; empty: the masks alone decide.
  // The batch takes the documents their content names: a mailbox named
  // Inbox, a mail folder's numbered messages.
  std::function<bool(const std::string& path)> TakeUnmatched;
};

// One document of a run that could not be converted, and why.
struct RunFailure {
  std::string path;
  std::string reason;
};

// The counts of one run, kept from its start until the next run starts.
struct RunReport {
  std::uint64_t run = 0;    // number of the run (1 for the first)
  int written = 0;          // text files written
  int without_text = 0;     // documents that yielded no text (no file written)
  int failed = 0;           // documents that could not be converted
  int same_file = 0;        // documents that are their own text file
  int skipped = 0;          // documents left alone: their text files were up to date
  int read_by_ocr = 0;      // written documents with text read by OCR
  int ocr_pages = 0;        // their pages (or pictures) read by OCR
  std::vector<RunFailure> failures;     // every failure, in the order they happened
  std::vector<RunFailure> without_text_reasons;  // why each document had no text
  std::string error;        // why the run could not be carried out (no worker thread), else empty
};

// One document of a run as it ended: its result, and how long it took.
struct EndedDocument {
  std::string path;
  ConvertResult result;
  std::int64_t milliseconds = 0;
};

// The values a front end shows, copied under QueueLock.
struct ProgressSnapshot {
  std::string CurrentPath;  // empty: the run ended (or the queue was found empty)
  int TakenCount = 0;
  int QueuedCount = 0;
  ProcessState State = psIdle;
  std::uint64_t Run = 0;  // number of the current (or last) run
};

// Guards the queue, the counters, the state, the notify target, the masks and
// the run reports.  Held only for short sections; never while converting,
// listing a folder or posting, and never together with PdfLock.
extern std::mutex QueueLock;

void InitProcessing();
// Stops the workers (bounded wait), then forgets the notify target.  True
// when every worker thread has returned; false when one is still converting a
// document, in which case the program must end without running static
// destructors (see quarn.cpp).
bool DoneProcessing();

// Forgets target as the notify target if it is the current one, and waits
// for a PostProgress to it that is in flight.  A front end calls this before
// its notify object is destroyed; afterwards no worker calls it again.
void DetachNotify(ProgressNotify* target);

ProcessState GetProcessState();
void SetProcessState(ProcessState state);
// What Stop and Esc do: psRunning becomes psStopping, any other state stays.
// True when a stop was asked for.
bool RequestStop();

// Adds one path.  With params: the notify target and masks are taken from
// them and the workers are started if they are not running.
void QueuePath(const std::string& path, const TProcessParams* params = nullptr);
void QueuePath(const std::string& path, const TProcessParams& params);

// Files a front end names ahead of queuing them (a long list fed to the
// queue as it empties): documents of the next run, or of the one running,
// from now on, which no text file of the run replaces.
void NameFiles(const std::vector<FileIdentity>& files);
// While set, the run's workers wait for more paths instead of ending the run
// when the queue is empty: a front end feeds a long list as the queue
// empties, and clears it after its last path.  Cleared when a run ends.
void SetMoreToCome(bool more);

// Starts a run with the workers of the last request's params (two by default).
void StartWorkers();
// Asks the run to stop and waits up to 99 x 100 ms for it to end.
void StopWorkers();

bool MatchesMaskList(std::string_view name, std::string_view mask_list);

// Copies of the shared values, taken under QueueLock.
ProgressSnapshot ReadProgress();
// The report of the current run, or of the last one once it has ended.
RunReport ReadRunReport();
// The same without a copy; call with QueueLock held.
const RunReport& RunReportLocked();
// The documents of the current run that ended since the last call, in the
// order they ended (only for a run started with KeepDocumentLog).  Documents
// given up by a stop are not among them.
std::vector<EndedDocument> TakeEndedDocuments();
// Worker threads that have not yet returned, of any run.
int WorkersAlive();
// Waits until the run `run` has ended (finished, idle, or followed by a newer
// run) or the timeout has passed; true when it has ended.  The last progress
// message of a run comes just before its end, so a front end that sees the
// run stopping waits here rather than for a message that will not come.
bool WaitRunEnded(std::uint64_t run, std::chrono::milliseconds timeout);

// The conversion the workers run for each file, set by the program's start-up
// (the queue knows nothing of how a document is converted).  The gated form
// is handed the gate that applies the run's rules to the text file.
using FileConverter = std::function<ConvertResult(const std::string& path)>;
using GatedFileConverter = std::function<ConvertResult(const std::string& path, OutputGate& gate)>;

// True once the worker that asks should give up the document in hand: its
// run was asked to stop, or has ended.  Cheap enough to ask a few times a
// second; callable from that worker's thread only.
using StopQuery = std::function<bool()>;
// Makes the conversion of one worker thread.  Each worker calls it once,
// when it takes its first file, and keeps what it returns (with whatever
// that owns, such as a converter process) until the worker ends, so a
// conversion need not be shareable between threads.
using FileConverterFactory = std::function<GatedFileConverter(StopQuery stop_requested)>;
// Each sets what the workers run, replacing what any of them set before, and
// returns that (as a factory; empty when nothing was set).  Set only while no
// run is active.  A conversion set as one function is shared by both workers,
// so it must be safe to call from two threads at once.  Without any, every
// document of a run fails with a reason.
FileConverterFactory SetFileConverter(FileConverter converter);
FileConverterFactory SetGatedFileConverter(GatedFileConverter converter);
FileConverterFactory SetFileConverterFactory(FileConverterFactory factory);

// The folders among the paths queued from outside the queue (by a front
// end, not found by a worker in a folder) for the current run, and for the
// next one while none runs, in the order they came, from the from-th on (a
// caller that keeps what it had asks only for the new ones).  Forgotten when
// a run ends.
std::vector<std::string> RequestedFolders(std::size_t from = 0);
// Up to max paths of the queue, the next to be taken first.
std::vector<std::string> NextPaths(std::size_t max);

}  // namespace quarn

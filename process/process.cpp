#include "process/process.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "process/process_testing.h"
#include "process/run_outputs.h"

namespace quarn {

// A worker that is still converting when the program ends may take this lock
// after main has returned; a mutex without a destructor stays usable then.
static_assert(std::is_trivially_destructible_v<std::mutex>);
std::mutex QueueLock;

namespace {

// Held while a front end is being posted to, so that DetachNotify can wait
// for a post in flight.  Taken before QueueLock, never after it.
std::mutex NotifyLock;

// A path waiting in the queue, with its place in the order of queuing.
struct PendingPath {
  std::string path;
  std::uint64_t order = 0;
  bool named = false;  // queued by a front end, not found in a folder
};

// While this many files wait, a worker of a command-line batch takes the
// next file before an older folder: listing folders ahead of their files
// would bring the whole tree into the queue at once (a breadth-first walk of
// a million files holds a million paths).  Below it, and always for the
// window's runs, paths are taken strictly in the order queued.
constexpr std::size_t kFilesAhead = 4096;

// What the workers of one run share and keep for as long as they live.
struct RunContext {
  std::uint64_t run = 0;
  int workers = kDefaultWorkers;
  bool workers_wait = false;  // every worker waits for work while another holds a path
  std::function<bool(const std::string&)> take_unmatched;  // TProcessParams::TakeUnmatched
  FileConverterFactory make_converter;
  std::shared_ptr<RunOutputs> outputs;
};

// The shared state, guarded by QueueLock.  Allocated once and never freed, so
// a worker still converting a document at the end of the program never finds
// it destroyed under its feet.
struct Shared {
  // Waiting paths, newest at the front, the oldest at the back: real folders
  // apart from files (and everything else), so that a folder can wait while
  // files go first.
  std::deque<PendingPath> pending_files;
  std::deque<PendingPath> pending_folders;
  std::uint64_t queued_order = 0;
  bool more_to_come = false;  // a front end is still feeding the run
  std::string current_path;
  int taken = 0;
  int queued = 0;
  ProgressNotify* notify = nullptr;
  std::string masks = "*.*";
  ProcessState state = psIdle;
  std::uint64_t run = 0;  // number of the latest run; a worker of an older one leaves
  int busy = 0;           // workers of the latest run holding a path they took
  int alive = 0;          // worker threads, of any run, that have not returned
  RunReport report;
  bool keep_log = false;             // the current run keeps a document log
  int workers = kDefaultWorkers;     // the workers of the next run (and of the current one)
  bool workers_wait = false;
  std::function<bool(const std::string&)> take_unmatched;
  std::vector<EndedDocument> ended;  // its documents that ended, not yet taken
  std::vector<std::string> requested_folders;  // folders queued by front ends for this run
  // The documents and text files of the current run, or of the next one
  // while none runs; a fresh one once a run has ended.
  std::shared_ptr<RunOutputs> outputs = std::make_shared<RunOutputs>();
  FileConverterFactory converter;
  ThreadLauncher launcher;
  int stop_steps = 99;
  std::chrono::milliseconds stop_step{100};
  // Signalled when the queue, the state, a worker's work or a thread's life ends.
  std::condition_variable changed;
};

Shared& S() {
  static Shared* shared = new Shared;
  return *shared;
}

bool PendingEmptyLocked() { return S().pending_files.empty() && S().pending_folders.empty(); }

void ClearPendingLocked() {
  S().pending_files.clear();
  S().pending_folders.clear();
}

void PushPendingLocked(std::string path, bool folder, bool named) {
  Shared& s = S();
  (folder ? s.pending_folders : s.pending_files).push_front({std::move(path), ++s.queued_order, named});
}

// Removes and returns the next path to take: the oldest, or with files_first
// a file before an older folder while many files wait.  Call with QueueLock
// held and the queue not empty.
PendingPath TakeNextLocked(bool files_first) {
  Shared& s = S();
  std::deque<PendingPath>& files = s.pending_files;
  std::deque<PendingPath>& folders = s.pending_folders;
  const bool folder =
      !folders.empty() &&
      (files.empty() || (folders.back().order < files.back().order && (!files_first || files.size() < kFilesAhead)));
  std::deque<PendingPath>& from = folder ? folders : files;
  PendingPath next = std::move(from.back());
  from.pop_back();
  return next;
}

// Up to max waiting paths in the order of queuing, the oldest first.
std::vector<std::string> PendingInOrderLocked(std::size_t max) {
  const Shared& s = S();
  std::vector<std::string> paths;
  auto f = s.pending_files.rbegin(), d = s.pending_folders.rbegin();
  while (paths.size() < max && (f != s.pending_files.rend() || d != s.pending_folders.rend())) {
    const bool folder = f == s.pending_files.rend() || (d != s.pending_folders.rend() && d->order < f->order);
    paths.push_back(folder ? (d++)->path : (f++)->path);
  }
  return paths;
}

bool IsIdleOrFinished(ProcessState state) { return state == psIdle || state == psFinished; }

// The workers' cores: while a worker holds no path, a conversion on another
// may use its core for a second thread.
void ShareIdleCoresLocked(const RunContext& ctx) { SetSpareWorkers(ctx.workers - S().busy); }

// The worker's run is still the latest one and has not ended.
bool RunLiveLocked(const RunContext& ctx) {
  const Shared& s = S();
  return ctx.run == s.run && !IsIdleOrFinished(s.state);
}

void Post() {
  std::lock_guard notify_hold(NotifyLock);
  ProgressNotify* target;
  {
    std::lock_guard hold(QueueLock);
    target = S().notify;
  }
  if (target) target->PostProgress();
}

// Empties the queue and the counters at the end of a run; the caller then
// posts once more and sets psFinished.
void ClearRunLocked() {
  Shared& s = S();
  s.state = psStopping;
  ClearPendingLocked();
  s.more_to_come = false;
  s.requested_folders.clear();
  s.current_path.clear();
  s.taken = 0;
  s.queued = 0;
  s.outputs = std::make_shared<RunOutputs>();
  s.changed.notify_all();
}

void FinishRun(std::uint64_t run) {
  Post();
  std::lock_guard hold(QueueLock);
  Shared& s = S();
  // A request that arrived meanwhile may have begun a new run; that one is
  // not ours to finish.
  if (s.run == run && s.state == psStopping) {
    s.state = psFinished;
    s.changed.notify_all();
  }
}

// Counts a document's result in the run's report; true when it was put in
// the document log.
bool RecordLocked(const RunContext& ctx, const std::string& path, const ConvertResult& result,
                  std::int64_t milliseconds) {
  Shared& s = S();
  if (ctx.run != s.run) return false;
  // A document given up by a stop is left as it was: the summary tells
  // what was done, and it was not.
  if (result.abandoned) return false;
  if (s.keep_log) s.ended.push_back({path, result, milliseconds});
  RunReport& r = s.report;
  switch (result.outcome) {
    case Outcome::kWritten:
      ++r.written;
      if (result.recognized_pages > 0) {
        ++r.read_by_ocr;
        r.ocr_pages += static_cast<int>(result.recognized_pages);
      }
      break;
    case Outcome::kSameFile: ++r.same_file; break;
    case Outcome::kNoText:
      ++r.without_text;
      r.without_text_reasons.push_back({path, result.reason});
      break;
    case Outcome::kSkipped: ++r.skipped; break;
    case Outcome::kFailed:
      ++r.failed;
      r.failures.push_back({path, result.reason});
      break;
  }
  return s.keep_log;
}

void Record(const RunContext& ctx, const std::string& path, const ConvertResult& result,
            std::int64_t milliseconds = 0) {
  bool logged;
  {
    std::lock_guard hold(QueueLock);
    logged = RecordLocked(ctx, path, result, milliseconds);
  }
  // The front end shows the document at once rather than with the next one.
  if (logged) Post();
}

// Queues an entry found while listing a folder.  False when the listing is
// to stop: the run was asked to stop, ended, or a newer run has begun.
bool QueueFromWorker(const RunContext& ctx, std::string path, bool folder) {
  std::lock_guard hold(QueueLock);
  Shared& s = S();
  if (!RunLiveLocked(ctx) || s.state == psStopping) return false;
  PushPendingLocked(std::move(path), folder, false);
  ++s.queued;
  s.changed.notify_all();
  return true;
}

bool ListingGoesOn(const RunContext& ctx) {
  std::lock_guard hold(QueueLock);
  return RunLiveLocked(ctx) && S().state != psStopping;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// Whether a file (name, at path) is a document of the run: its name matches
// the masks, or the run takes it by its content all the same.
bool Taken(const RunContext& ctx, std::string_view name, const std::string& path, const std::string& masks) {
  return MatchesMaskList(name, masks) || (ctx.take_unmatched && ctx.take_unmatched(path));
}

// Queues every entry of a folder: hidden ones too, every real sub-folder, and
// the other entries whose names match the masks (or that the run takes).  A symbolic link to a
// folder is left out, so a link back up the tree cannot make the walk
// endless; a link to a file is queued like the file.
void ListFolder(const RunContext& ctx, const std::string& folder, const std::string& masks) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) {
    Record(ctx, folder, ConvertResult::Failed("cannot list the folder: " + std::string(std::strerror(errno))));
    return;
  }
  const std::string prefix = !folder.empty() && folder.back() == '/' ? folder : folder + "/";
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0)
        Record(ctx, folder, ConvertResult::Failed("cannot list the whole folder: " + std::string(std::strerror(errno))));
      return;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // A text file being written (or left behind by a program that was
    // killed) is never a document.
    if (IsTemporaryTextName(name)) continue;
    std::string path = prefix + std::string(name);
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0) type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    bool wanted;
    if (type == DT_DIR) {
      wanted = true;
    } else if (type == DT_LNK) {
      struct stat st {};
      const bool to_folder = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      wanted = !to_folder && Taken(ctx, name, path, masks);
    } else {
      wanted = Taken(ctx, name, path, masks);
    }
    if (wanted ? !QueueFromWorker(ctx, std::move(path), type == DT_DIR) : !ListingGoesOn(ctx)) return;
  }
}

// Whether the worker of ctx should give up the document in hand.
bool StopAskedFor(const RunContext& ctx) {
  std::lock_guard hold(QueueLock);
  return !RunLiveLocked(ctx) || S().state == psStopping;
}

// The worker's conversion, made when it first needs one.
class WorkerConversion {
 public:
  explicit WorkerConversion(std::shared_ptr<const RunContext> ctx) : ctx_(std::move(ctx)) {}
  ConvertResult operator()(const std::string& path, OutputGate& gate) {
    if (!convert_) {
      std::shared_ptr<const RunContext> ctx = ctx_;
      convert_ = ctx_->make_converter([ctx] { return StopAskedFor(*ctx); });
      if (!convert_) return ConvertResult::Failed("no conversion is set up");
    }
    return convert_(path, gate);
  }

 private:
  std::shared_ptr<const RunContext> ctx_;
  GatedFileConverter convert_;
};

// Why a symbolic link that cannot be followed is no document.
std::string BrokenLinkReason(int err) {
  if (err == ELOOP) return "a symbolic link that loops: following it leads back to itself";
  if (err == ENOENT || err == ENOTDIR) return "a dangling symbolic link: what it points to does not exist";
  return "cannot follow the symbolic link: " + std::string(std::strerror(err));
}

std::string UnreachableReason(int err) {
  if (err == ENAMETOOLONG) return "cannot read: its path is longer than the system takes";
  return "cannot read: " + std::string(std::strerror(err));
}

// state: the document's stat, as the worker just found it.
void Convert(const RunContext& ctx, WorkerConversion& convert, const std::string& path, const std::string& masks,
             const struct stat& state) {
  ConvertResult result;
  const auto start = std::chrono::steady_clock::now();
  try {
    DocumentGate gate(ctx.outputs, path, masks, &state);
    result = convert(path, gate);
  } catch (const std::exception& e) {
    result = ConvertResult::Failed(std::string("unexpected error: ") + e.what());
  } catch (...) {
    result = ConvertResult::Failed("unexpected error");
  }
  const auto took = std::chrono::steady_clock::now() - start;
  Record(ctx, path, result, std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
}

// named: the path came from a front end, not from a folder.
void Handle(const RunContext& ctx, WorkerConversion& convert, const std::string& path, bool named,
            const std::string& masks) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      if (MatchesMaskList(path, masks)) Record(ctx, path, ConvertResult::Failed(BrokenLinkReason(err)));
      return;
    }
    if (err == ENOENT || err == ENOTDIR) return;  // gone meanwhile: dropped without notice
    // There, but out of reach (a path longer than the system takes, a
    // folder that may be listed but not entered): a folder or a document
    // the run cannot read, which must not pass in silence.
    Record(ctx, path, ConvertResult::Failed(UnreachableReason(err)));
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    ListFolder(ctx, path, masks);
    return;
  }
  // A named path is matched whole; an entry of a walk that the masks leave
  // out is here because its listing took it by its content already.
  if (!MatchesMaskList(path, masks) && !(named ? Taken(ctx, path, path, masks) : bool(ctx.take_unmatched))) return;
  if (!S_ISREG(st.st_mode)) {
    // Pipes, devices and sockets are no documents, and reading one could
    // block the worker for ever: refused at once, with what it is.
    Record(ctx, path, ConvertResult::Failed(NotADocumentReason(st.st_mode)));
    return;
  }
  // Text files of this run, and those an earlier run wrote, are outputs,
  // not documents, when the walk comes across them; a path the front end
  // named is converted whatever it is.
  if (!named && (ctx.outputs->IsOutput(IdentityOf(st)) || WrittenByUs(path))) return;
  Convert(ctx, convert, path, masks, st);
}

// second: any worker but the first (worker A), which ends the run.
void WorkerMain(std::shared_ptr<const RunContext> ctx, bool second) {
  Shared& s = S();
  bool ends_run = false;  // worker A has cleared the run and must finish it
  {
    // Ends (with its converter process, if it has one) before the run is
    // finished below, so that no converter outlives a finished run.
    WorkerConversion convert(ctx);
    std::unique_lock hold(QueueLock);
    // A stop asked for before worker A began stays asked for.
    if (!second && ctx->run == s.run && s.state == psStarting) {
      s.state = psRunning;
      s.changed.notify_all();
    }
    for (;;) {
      PendingPath next;
      for (;;) {
        if (!RunLiveLocked(*ctx)) goto leave;
        if (s.state == psStopping) {
          if (!second) {
            ClearRunLocked();
            ends_run = true;
          }
          goto leave;
        }
        if (!PendingEmptyLocked()) {
          next = TakeNextLocked(ctx->workers_wait);
          break;
        }
        // The queue is empty.  Worker B ends here (unless the run's workers
        // wait for work while another lists a folder); worker A ends the run
        // only once no other worker holds a path, since a folder being listed
        // may still add entries and a document being converted still counts.
        if (s.busy == 0) s.current_path.clear();
        if (second && (!ctx->workers_wait || s.busy == 0) && !s.more_to_come) goto leave;
        if (s.busy == 0 && !s.more_to_come) {
          ClearRunLocked();
          ends_run = true;
          goto leave;
        }
        s.changed.wait(hold);
      }
      const std::string& path = next.path;
      s.current_path = path;
      ++s.taken;
      ++s.busy;
      ShareIdleCoresLocked(*ctx);
      const std::string masks = s.masks;
      hold.unlock();
      Post();
      try {
        Handle(*ctx, convert, path, next.named, masks);
      } catch (const std::exception& e) {  // out of memory while queuing, and the like
        Record(*ctx, path, ConvertResult::Failed(std::string("unexpected error: ") + e.what()));
      }
      hold.lock();
      if (ctx->run == s.run) --s.busy;
      ShareIdleCoresLocked(*ctx);
      s.changed.notify_all();
    }
  }
leave:
  const std::uint64_t run = ctx->run;
  if (ends_run) FinishRun(run);
  ctx.reset();
  std::lock_guard hold(QueueLock);
  --s.alive;
  s.changed.notify_all();
}

// Begins a run unless one is starting or running: the counters of what is
// shown start again, the report starts empty.
std::shared_ptr<const RunContext> BeginRunLocked() {
  Shared& s = S();
  if (s.state == psStarting || s.state == psRunning) return nullptr;
  s.state = psStarting;
  s.current_path.clear();
  s.taken = 0;
  s.busy = 0;
  ++s.run;
  s.report = RunReport{};
  s.report.run = s.run;
  s.ended.clear();
  auto ctx = std::make_shared<RunContext>();
  ctx->run = s.run;
  ctx->workers = s.workers;
  ctx->workers_wait = s.workers_wait;
  ctx->take_unmatched = s.take_unmatched;
  ctx->outputs = s.outputs;
  if (s.converter) {
    ctx->make_converter = s.converter;
  } else {
    // The program sets its conversion at start-up; without one, every
    // document fails with a reason instead of being dropped.
    ctx->make_converter = [](const StopQuery&) -> GatedFileConverter {
      return [](const std::string&, OutputGate&) { return ConvertResult::Failed("no conversion is set up"); };
    };
  }
  s.changed.notify_all();
  return ctx;
}

void DefaultLaunch(std::function<void()> body) { std::thread(std::move(body)).detach(); }

bool Launch(const std::shared_ptr<const RunContext>& ctx, bool second, std::string* why) {
  ThreadLauncher launcher;
  {
    std::lock_guard hold(QueueLock);
    launcher = S().launcher;
    ++S().alive;
  }
  try {
    std::function<void()> body = [ctx, second] { WorkerMain(ctx, second); };
    if (launcher) {
      launcher(std::move(body));
    } else {
      DefaultLaunch(std::move(body));
    }
    return true;
  } catch (const std::exception& e) {
    *why = e.what();
  }
  std::lock_guard hold(QueueLock);
  --S().alive;
  S().changed.notify_all();
  return false;
}

void StartRun(const std::shared_ptr<const RunContext>& ctx) {
  std::string why;
  if (!Launch(ctx, false, &why)) {
    // Without worker A nothing would ever end the run: end it here and tell
    // the front end, which finds the reason in the report.
    {
      std::lock_guard hold(QueueLock);
      Shared& s = S();
      if (s.run != ctx->run) return;
      s.report.error = "cannot start a worker thread: " + why;
      ClearRunLocked();
    }
    FinishRun(ctx->run);
    return;
  }
  // Without the others, worker A carries the run alone (or with those that
  // could be started).
  for (int i = 1; i < ctx->workers; ++i) {
    std::this_thread::yield();
    if (!Launch(ctx, true, &why)) break;
  }
}

// Waits in steps until the run is idle or finished; returns the steps waited.
int WaitForEnd(int steps, std::chrono::milliseconds step) {
  for (int i = 0; i < steps; ++i) {
    if (IsIdleOrFinished(GetProcessState())) return i;
    std::this_thread::sleep_for(step);
  }
  return steps;
}

}  // namespace

std::string TakeLastPath() {
  if (PendingEmptyLocked()) return {};
  return TakeNextLocked(false).path;
}

void InitProcessing() {
  std::lock_guard hold(QueueLock);
  Shared& s = S();
  s.state = psIdle;
  ClearPendingLocked();
  s.more_to_come = false;
  s.current_path.clear();
  s.taken = 0;
  s.queued = 0;
  s.busy = 0;
  s.report = RunReport{};
  s.requested_folders.clear();
  s.outputs = std::make_shared<RunOutputs>();
  s.changed.notify_all();
}

bool DoneProcessing() {
  int steps;
  std::chrono::milliseconds step;
  {
    std::lock_guard hold(QueueLock);
    steps = S().stop_steps;
    step = S().stop_step;
  }
  int waited = 0;
  {
    std::unique_lock hold(QueueLock);
    Shared& s = S();
    if (!IsIdleOrFinished(s.state)) {
      s.state = psStopping;
      s.changed.notify_all();
      hold.unlock();
      waited = WaitForEnd(steps, step);
    }
  }
  {
    std::lock_guard notify_hold(NotifyLock);
    std::lock_guard hold(QueueLock);
    S().notify = nullptr;
  }
  // Worker B, or a worker of a stopped run, may still be finishing its
  // document: give it what is left of the wait.
  std::unique_lock hold(QueueLock);
  Shared& s = S();
  const auto left = step * (steps > waited ? steps - waited : 0);
  s.changed.wait_for(hold, left, [&] { return s.alive == 0; });
  return s.alive == 0;
}

void DetachNotify(ProgressNotify* target) {
  std::lock_guard notify_hold(NotifyLock);
  std::lock_guard hold(QueueLock);
  if (S().notify == target) S().notify = nullptr;
}

ProcessState GetProcessState() {
  std::lock_guard hold(QueueLock);
  return S().state;
}

void SetProcessState(ProcessState state) {
  std::lock_guard hold(QueueLock);
  S().state = state;
  S().changed.notify_all();
}

bool RequestStop() {
  // Test and set under one hold: a run that ends between a separate read
  // and write would otherwise be left at psStopping with no worker to finish it.
  std::lock_guard hold(QueueLock);
  if (S().state != psRunning) return false;
  S().state = psStopping;
  S().changed.notify_all();
  return true;
}

void QueuePath(const std::string& path, const TProcessParams* params) {
  std::shared_ptr<const RunContext> start;
  // Looked at before the lock is taken: the run must know what its named
  // paths are before any worker can take one.
  struct stat named {};
  const bool found = !path.empty() && ::stat(path.c_str(), &named) == 0;
  {
    std::lock_guard hold(QueueLock);
    Shared& s = S();
    if (params) {
      s.notify = params->NotifyWindow;
      s.masks = params->MaskList;
      s.keep_log = params->KeepDocumentLog;
      s.workers = std::clamp(params->Workers, 1, kMaxWorkers);
      s.workers_wait = params->WorkersWait;
      s.take_unmatched = params->TakeUnmatched;
    }
    if (path.empty()) return;
    // A request while a stopped run winds down begins the next run at once:
    // the stopped run's waiting paths and counts go now, under the same hold,
    // so that its worker A cannot clear this path or end the new run.
    if (params && s.state == psStopping) {
      ClearPendingLocked();
      s.requested_folders.clear();
      s.queued = 0;
      s.outputs = std::make_shared<RunOutputs>();
    }
    if (found) s.outputs->AddNamed(named);
    PushPendingLocked(path, found && S_ISDIR(named.st_mode), true);
    if (found && S_ISDIR(named.st_mode)) s.requested_folders.push_back(path);
    ++s.queued;
    s.changed.notify_all();
    if (params) start = BeginRunLocked();
  }
  if (start) StartRun(start);
}

void QueuePath(const std::string& path, const TProcessParams& params) { QueuePath(path, &params); }

void NameFiles(const std::vector<FileIdentity>& files) {
  std::lock_guard hold(QueueLock);
  S().outputs->AddNamedFiles(files);
}

void SetMoreToCome(bool more) {
  std::lock_guard hold(QueueLock);
  S().more_to_come = more;
  S().changed.notify_all();
}

void StartWorkers() {
  std::shared_ptr<const RunContext> start;
  {
    std::lock_guard hold(QueueLock);
    start = BeginRunLocked();
  }
  if (start) StartRun(start);
}

void StopWorkers() {
  int steps;
  std::chrono::milliseconds step;
  {
    std::lock_guard hold(QueueLock);
    Shared& s = S();
    if (IsIdleOrFinished(s.state)) return;
    s.state = psStopping;
    s.changed.notify_all();
    steps = s.stop_steps;
    step = s.stop_step;
  }
  // Threads are never killed: a worker still converting goes on with its
  // document and leaves afterwards.
  WaitForEnd(steps, step);
}

ProgressSnapshot ReadProgress() {
  std::lock_guard hold(QueueLock);
  const Shared& s = S();
  return {s.current_path, s.taken, s.queued, s.state, s.run};
}

RunReport ReadRunReport() {
  std::lock_guard hold(QueueLock);
  return S().report;
}

const RunReport& RunReportLocked() { return S().report; }

std::vector<EndedDocument> TakeEndedDocuments() {
  std::vector<EndedDocument> taken;
  std::lock_guard hold(QueueLock);
  taken.swap(S().ended);
  return taken;
}

int WorkersAlive() {
  std::lock_guard hold(QueueLock);
  return S().alive;
}

bool WaitRunEnded(std::uint64_t run, std::chrono::milliseconds timeout) {
  std::unique_lock hold(QueueLock);
  Shared& s = S();
  return s.changed.wait_for(hold, timeout, [&] { return s.run != run || IsIdleOrFinished(s.state); });
}

FileConverterFactory SetFileConverter(FileConverter converter) {
  FileConverterFactory factory;
  if (converter)
    factory = [converter](const StopQuery&) -> GatedFileConverter {
      return [converter](const std::string& path, OutputGate&) { return converter(path); };
    };
  return SetFileConverterFactory(std::move(factory));
}

FileConverterFactory SetGatedFileConverter(GatedFileConverter converter) {
  FileConverterFactory factory;
  if (converter) factory = [converter](const StopQuery&) { return converter; };
  return SetFileConverterFactory(std::move(factory));
}

FileConverterFactory SetFileConverterFactory(FileConverterFactory factory) {
  std::lock_guard hold(QueueLock);
  std::swap(S().converter, factory);
  return factory;
}

std::vector<std::string> RequestedFolders(std::size_t from) {
  std::lock_guard hold(QueueLock);
  const std::vector<std::string>& all = S().requested_folders;
  if (from >= all.size()) return {};
  return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
}

std::vector<std::string> NextPaths(std::size_t max) {
  std::lock_guard hold(QueueLock);
  return PendingInOrderLocked(max);
}

void SetThreadLauncher(ThreadLauncher launcher) {
  std::lock_guard hold(QueueLock);
  S().launcher = std::move(launcher);
}

void SetStopWait(int steps, std::chrono::milliseconds step) {
  std::lock_guard hold(QueueLock);
  S().stop_steps = steps;
  S().stop_step = step;
}

void SetRunRecords(std::size_t placed_claims_kept, bool mark) {
  std::lock_guard hold(QueueLock);
  S().outputs->SetPlacedClaimsKept(placed_claims_kept);
  S().outputs->SetMarking(mark);
}

std::deque<std::string> ReadPendingPaths() {
  std::lock_guard hold(QueueLock);
  const std::vector<std::string> oldest_first = PendingInOrderLocked(SIZE_MAX);
  return {oldest_first.rbegin(), oldest_first.rend()};
}

}  // namespace quarn

// Hooks for the queue's tests: the queue's contents, the thread launcher and
// the length of the stop wait.  Not for front ends.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace quarn {

// Starts body on a new thread that nobody joins; throws std::system_error
// when no thread can be started.  The default uses std::thread and detaches.
using ThreadLauncher = std::function<void(std::function<void()> body)>;
void SetThreadLauncher(ThreadLauncher launcher);  // empty: the default

// StopWorkers waits `steps` times `step` at most (99 x 100 ms by default).
void SetStopWait(int steps, std::chrono::milliseconds step);

// The queue, newest first: the next path to take is the last one.
std::deque<std::string> ReadPendingPaths();

// For the next run (or the one running): how many claims of marked text
// files stay in memory, and whether text files are marked at all (false: as
// on a file system without extended attributes).
void SetRunRecords(std::size_t placed_claims_kept, bool mark);

// Removes and returns the next path to take (the oldest, but a file before
// an older folder while thousands of files wait), or "" when the queue is
// empty.  Call with QueueLock held.
std::string TakeLastPath();

}  // namespace quarn

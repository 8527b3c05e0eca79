// What the program does when it is told to stop by a signal.  By default
// INT, TERM and HUP remove the named temporary files being written and then
// end the program as the signal would have.  The batch mode instead takes
// INT and TERM as a request to stop cleanly: the main thread polls
// StopSignal and winds the run down; a second signal ends it at once.
// Installed on the main thread; the handlers run on whichever thread the
// signal reaches and only touch lock-free atomics and async-signal-safe calls.
#pragma once

namespace quarn {

// The default: temporary files removed, then the signal's own end.
void InstallCleanupHandlers();

// The batch mode's handlers for INT and TERM (HUP keeps the default), and
// for PIPE: output that nobody reads any more stops the run too.
void InstallStopHandlers();

// The signal that asked the batch to stop (SIGINT, SIGTERM, SIGPIPE), or 0.
int StopSignal();

}  // namespace quarn

// The converter process: the program started again in an internal mode (or
// forked while it is still single-threaded) to read documents for a worker.
// It confines itself before it reads any document, then answers one request
// after another on its channel and never writes an output file; the program
// that started it writes the text.  It ends when the channel ends or its
// parent dies.
#pragma once

#include <sys/types.h>

namespace quarn {

// The first argument that starts the program as a converter process; the
// second is the parent's process id.  Not part of the documented command line.
inline constexpr const char* kConverterMode = "--internal-converter";
// The file descriptor of the channel in a converter started by exec.
inline constexpr int kConverterChannel = 3;
// Where a started converter finds the shared count of idle workers, when the
// program hands it one.
inline constexpr int kSpareWorkersChannel = 4;

namespace wire {
struct Setup;
}

// Serves conversions on channel for the process `parent`, and ends the process
// (status 0 when the channel ended, non-zero when the set-up failed).  A
// forked converter is handed its set-up; one started anew reads it from the
// channel.
[[noreturn]] void RunConverterProcess(int channel, pid_t parent, const wire::Setup* setup = nullptr);

// main's part: when args name the converter mode, runs it and does not return.
void RunConverterProcessIfAsked(int argc, char** argv);

}  // namespace quarn

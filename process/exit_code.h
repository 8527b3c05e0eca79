// The exit statuses of the program, in one place: the command line, the
// batch mode, the window and the main sequence all end with one of these.
#pragma once

namespace quarn {

enum class ExitCode : int {
  kOk = 0,      // the text was written (batch: every document was written)
  kFailed = 1,  // the input could not be read, the output not written, or an unexpected error
  kUsage = 2,   // the command line was not understood, or this build has no window
  kNoText = 3,  // no text could be extracted, nothing written (batch: some had none, none failed)
  kStopped = 128,  // plus the signal's number: the batch was stopped by SIGINT (130) or SIGTERM (143)
};

constexpr int Status(ExitCode code) { return static_cast<int>(code); }

}  // namespace quarn

// The terminal's batch mode: every path named goes through the work queue and
// its two workers, as from the window; progress is shown on standard error.
// Runs on the main thread after the start-up's set-up.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/path_list.h"
#include "process/process.h"

namespace quarn {

struct BatchOptions {
  // One JSON object a line on standard output for each document as it ends.
  bool jsonl = false;
  // The workers that convert at once (1 to kMaxWorkers).
  int jobs = kDefaultWorkers;
};

// Converts the documents in paths (files and folders); returns the exit status.
// A long list goes to the queue a few thousand paths at a time, as it empties.
int RunBatch(PathList paths, const BatchOptions& options = {});

// One document's line of --jsonl output, without its line end.
std::string DocumentJson(const EndedDocument& document);

// s as a JSON string, quotes included.  Valid UTF-8 stands as it is (control
// characters, '"' and '\\' escaped); each byte that is not part of valid UTF-8
// becomes a lone low surrogate "\\udcXX" (XX the byte), which no valid text
// holds, so the bytes can always be told back.
std::string JsonString(std::string_view s);

// A path (or a message that holds paths) made fit for one line of a
// terminal: control characters, bytes that are not valid in the locale's
// character set and a backslash are shown as escapes ("\n", "\x1b", "\\").
std::string PrintablePath(std::string_view path);

// The progress line: "File 3 of 10  30%  " and the current path, shortened in
// the middle to fit width columns (the line never reaches the last column,
// so the terminal does not wrap it).
std::string ProgressLine(const ProgressSnapshot& progress, int width, bool utf8_terminal);

}  // namespace quarn

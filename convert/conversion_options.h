// The settings every conversion of a run shares (text recognition on or off,
// its languages, its time limit per page), and how many idle workers a
// conversion may borrow for work it can split.  The settings are set once at
// start-up, before any conversion, and only read afterwards, from any thread;
// they are a plain value so that they can travel with a conversion request.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace quarn {

struct ConversionOptions {
  // Read pictures and the pages of PDFs that hold no text by OCR.
  bool ocr = true;
  // Tesseract's language list: names of installed language data joined by
  // "+", as in "eng+deu".
  std::string ocr_languages = "eng";
  // A page whose recognition runs longer than this is given up.
  int ocr_page_seconds = 120;
};

// The settings as "name=value" fields, to travel with a request to another
// process, and back; unknown or malformed fields are ignored.
std::vector<std::string> EncodeConversionOptions(const ConversionOptions& options);
ConversionOptions DecodeConversionOptions(const std::vector<std::string>& fields);

// The languages when none are named on the command line: QUARN_OCR_LANG, or "eng".
std::string DefaultOcrLanguages();

// Installs the settings.  Call once on the main thread before any conversion
// starts and before other threads run: it also caps Tesseract's OpenMP
// threads at one per engine (OMP_THREAD_LIMIT, unless the environment sets
// it already), since the workers already keep every core busy and OpenMP's
// own threads would only fight them.
void SetConversionOptions(const ConversionOptions& options);

// The installed settings (the defaults until SetConversionOptions runs).
const ConversionOptions& CurrentConversionOptions();

// Workers that are idle right now and whose core a conversion may use for a
// second thread (the OCR of a long scan's pages).  The queue sets it as its
// workers take and finish work; a conversion reads it between pages.  One
// while nothing sets it, so that a single conversion from the command line
// may use both cores.
int SpareWorkers();
void SetSpareWorkers(int count);
// Points the count at another place, such as memory shared with a parent
// process that runs the queue.  nullptr returns to the process's own count.
// Call only while no conversion runs.
void BindSpareWorkers(std::atomic<int>* count);
// Called each time a unit of a long conversion's work ends (a page read by
// OCR, from whichever thread read it; a member of an archive, a message of a
// mailbox), so that whoever watches the conversion's time can tell long work
// from a hang.  Set on the main thread before any conversion; empty: none.
void SetProgressHook(std::function<void()> hook);
void NoteProgress();

// Moves the count into memory that processes started later can share: a
// memory file whose descriptor comes back (kept open for the life of the
// process; -1 when the system refuses, and the count stays private).  Forked
// processes share it at once; a started one calls AttachSpareWorkers with the
// descriptor it was handed.  Call on the main thread before any worker runs.
int ShareSpareWorkers();
bool AttachSpareWorkers(int fd);

}  // namespace quarn

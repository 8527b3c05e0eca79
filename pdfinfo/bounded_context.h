// A MuPDF context with bounded memory and time, for every call of the PDF
// text library that opens a document: each allocation MuPDF makes in it is
// counted against a byte limit, and once a deadline has passed every
// allocation fails, so that a hostile document costs at most those limits.
#pragma once

extern "C" {
#include <mupdf/fitz.h>
}

#include <cstddef>

namespace quarn::pdf {

// The coarse monotonic clock in nanoseconds, as deadlines are kept.
long long NowNs();

// What a context may allocate and until when, and what it has used.
struct Budget {
  std::size_t used = 0;
  std::size_t limit = 0;
  long long deadline_ns = 0;  // 0: none
  unsigned calls = 0;         // allocations under a deadline; the clock is read at every 64th
  bool expired = false;       // the deadline passed: every allocation fails from then on
  bool exhausted = false;     // an allocation was refused for the memory limit
  fz_cookie* cookie = nullptr;  // the page run in progress, asked to abort when time is up
};

// How a caller words a failure that was the limits' doing rather than the
// document's.
struct LimitReasons {
  const char* too_long;
  const char* too_much_memory;
};

// Owns the context; MuPDF's warnings and errors are swallowed.  Used by one
// thread at a time.
class BoundedContext {
 public:
  // memory_limit bytes at most; a deadline time_limit_ms from now (0: none
  // until StartClock); store_size bytes for MuPDF's store of decoded fonts,
  // images and the like.
  BoundedContext(std::size_t memory_limit, long long time_limit_ms, std::size_t store_size, LimitReasons reasons);
  ~BoundedContext();
  BoundedContext(const BoundedContext&) = delete;
  BoundedContext& operator=(const BoundedContext&) = delete;

  // nullptr when MuPDF could not set the context up.
  fz_context* get() const { return ctx_; }
  Budget& budget() { return budget_; }

  // A new deadline time_limit_ms from now, with no limit reached yet.
  void StartClock(long long time_limit_ms);
  // No deadline until the clock is started again.
  void StopClock() { budget_.deadline_ns = 0; }

  // Why the last failure happened when the cause was a limit; nullptr when
  // no limit was reached.
  const char* LimitReason() const;

 private:
  Budget budget_;
  LimitReasons reasons_;
  fz_alloc_context alloc_{};
  fz_context* ctx_ = nullptr;
};

}  // namespace quarn::pdf

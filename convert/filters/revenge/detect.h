// Format detection through a Document Liberation library, guarded: some
// detectors read deep into a damaged file and may throw, which counts as
// "not this format".  Reentrant.
#pragma once

#include <librevenge-stream/librevenge-stream.h>

namespace quarn::revenge {

// detect() with exceptions turned into fallback; the stream is rewound
// afterwards, ready for the library's parse call.
template <class Detect, class Result>
Result Guarded(librevenge::RVNGInputStream& input, Detect&& detect, Result fallback) {
  Result r = fallback;
  try {
    r = detect();
  } catch (...) {
    r = fallback;
  }
  input.seek(0, librevenge::RVNG_SEEK_SET);
  return r;
}

}  // namespace quarn::revenge

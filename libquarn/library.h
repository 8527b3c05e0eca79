// The one conversion of a single document behind libquarn's C functions and
// the command line's "quarn FILE [OUT]": options read, the converter chosen,
// the text written, and the outcome put into a quarn_result.
#pragma once

#include <functional>
#include <optional>

#include "app/main.h"
#include "libquarn/quarn.h"

namespace quarn {

// How a call reads its document and where its text goes.
struct CallRoute {
  // Fork the converter from this process instead of starting the program
  // file again: cheaper, and sound only while the process has a single
  // thread (the command line's one document).  The library never does.
  bool fork_converter = false;
  // When set, reads the document in place of a converter process (the
  // command line's internal measure of what isolation costs).
  DocumentReader reader;
  // When set, tried first: the text it gives is the document's; nothing
  // sends the document to the converter process, started only then.
  std::function<std::optional<DocumentText>(const DocumentInput& input)> read_here;
  // >= 0: the text goes to this descriptor as it stands, and out is unused.
  int out_fd = -1;
  // The text goes to result->text, and out is unused.
  bool to_memory = false;
};

// Converts path as route says, fills *result (every field; the caller frees
// it with quarn_result_free) and returns its outcome.  Never throws.
int ConvertDocument(const char* path, const char* out, const quarn_options* options, quarn_result* result,
                    const CallRoute& route);

// The reason a result gives when the output named is the document itself.
inline constexpr const char* kSameFileReason = "the output is the document itself; nothing written";

}  // namespace quarn

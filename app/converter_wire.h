// The messages between the program and a converter process, over one stream
// socket: the set-up and its answer once, then one request and one reply per
// document.  Both ends are the same program, but what a converter sends is
// treated as hostile: every frame and field is checked before it is used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/outcome.h"

namespace quarn::wire {

enum class Kind : std::uint32_t { kSetup = 1, kReady = 2, kRequest = 3, kReply = 4, kProgress = 5 };
// A converter sends kProgress frames (no fields) while it reads a document, one
// for each page read by OCR, so that long work is told from a hang.

// Every frame: this header, then `size` bytes of fields.
struct FrameHeader {
  std::uint32_t magic;
  std::uint32_t kind;
  std::uint64_t size;
};
inline constexpr std::uint32_t kMagic = 0x564E4351;  // "QCNV"

// Largest frame accepted from a converter (the text of a reply follows its
// frame and is bounded on its own).
inline constexpr std::uint64_t kMaxConverterFrame = std::uint64_t{1} << 20;
// Largest frame the program sends (a set-up names every requested path).
inline constexpr std::uint64_t kMaxProgramFrame = std::uint64_t{1} << 30;

// What the program tells a new converter before it confines itself.
struct Setup {
  std::uint64_t memory_limit = 0;       // bytes; 0: none
  std::vector<std::string> read_roots;  // documents' files and folders it may read
  std::string scratch;                  // its private temporary folder, or empty
  bool one_document = false;            // end after the first reply
};

// The converter's answer to the set-up: at once when it could not confine
// itself, otherwise just before its first reply (one wake-up, not two).
struct Ready {
  std::string error;     // empty when confined and ready
  int landlock_abi = 0;  // the Landlock version applied; 0: none
};

struct Request {
  std::string path;
  std::vector<std::string> options;  // the run's conversion settings, "name=value"
};

// The reply's text (text_size bytes) follows its frame on the socket.
struct Reply {
  Outcome outcome = Outcome::kFailed;
  std::string reason;
  std::uint64_t text_size = 0;
  std::uint64_t recognized_pages = 0;
  // The converter came close to its memory limit: a failure is the limit's
  // doing, and the process should be replaced before the next document.
  bool memory_exhausted = false;
  std::string reader;  // what read the document (a filter's name), when known
  std::int64_t pages = -1;  // the document's pages, when known; -1: not known
};

// The whole frame (header and fields) of each message.
std::string Encode(const Setup& m);
std::string Encode(const Ready& m);
std::string Encode(const Request& m);
std::string Encode(const Reply& m);
std::string EncodeProgress();

// Reads the fields of a frame of the right kind; false for anything
// malformed: a field that runs past the end, a number of the wrong size, an
// outcome out of range.  Unknown fields are skipped.
bool Decode(std::string_view fields, Setup* m);
bool Decode(std::string_view fields, Ready* m);
bool Decode(std::string_view fields, Request* m);
bool Decode(std::string_view fields, Reply* m);

// A header that is sound for kind `want` and at most max_size bytes of fields.
bool HeaderFits(const FrameHeader& h, Kind want, std::uint64_t max_size);

}  // namespace quarn::wire

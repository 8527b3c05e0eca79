// The bytes of a package's XML part on their way to the parser.  Writers of
// documents put bytes no XML may hold into their parts (a NUL or a vertical
// tab from a spreadsheet cell, Latin-1 text pasted into a UTF-8 part); the
// parser stops at the first, and all that follows in the part is lost.  The
// cleaner turns each into text the parser takes: a control character into a
// space, a byte that begins or continues no UTF-8 character into the
// Windows-1252 character it most likely was.  Parts that declare another
// encoding, or are UTF-16 or UTF-32, pass unchanged, as do well-formed ones.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

class XmlBytesCleaner {
 public:
  // Appends the cleaned form of the next bytes of the part to out; at_end
  // says that no more follow (an unfinished character is then cleaned too).
  void Clean(std::string_view bytes, bool at_end, std::string& out);

 private:
  enum class Mode { kUndecided, kClean, kAsIs };
  void Decide(std::string_view start);
  Mode mode_ = Mode::kUndecided;
  std::string carry_;  // an unfinished character at the end of the bytes so far
};

}  // namespace quarn

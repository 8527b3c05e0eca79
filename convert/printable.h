// Paths and messages made safe to show on a terminal or in a window: every
// control character, every byte that is not valid in the character set and
// every character that reorders the text around it is written as a visible
// escape ("\n", "\t", "\\", "\x1b"), so a crafted file name can neither drive
// the terminal nor hide, and the original bytes can be read back from what
// is shown.  Pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarn {

// One character as shown, and the terminal columns it takes.
struct ShownChar {
  std::string text;
  int width = 1;
};

// The characters of text as shown; utf8 says how to read bytes of 0x80 and
// above (else each is one character of a single-byte character set).
std::vector<ShownChar> ShownChars(std::string_view text, bool utf8);

// text as shown, in one string.  The second form reads text in the
// character set of the program's locale.
std::string PrintableText(std::string_view text, bool utf8);
std::string PrintableText(std::string_view text);

}  // namespace quarn

// Conversion of the filters' UTF-16 text to the program's character set (the
// locale's, chosen once at start-up; the C locale counts as UTF-8).  This is
// the only place where UTF-16 becomes code-page text.  A converter object
// belongs to one document on one thread.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace quarn {

// The character set text files are written in: nl_langinfo(CODESET) of the
// locale set at start-up, with ASCII ("ANSI_X3.4-1968") read as UTF-8.
const std::string& SystemCodeSet();
bool IsUtf8CodeSet(std::string_view codeset);

// Takes the environment's character set (LC_CTYPE) and nothing else of its
// locale: numbers, dates and the like in a document's text keep one form on
// every machine ("22.00", "Tue, 03 Jul 2007"), whatever language the user
// reads.  Called when a process starts, before any thread; a converter forked
// from a window that took the whole locale takes this one instead.
void UseEnvironmentCharacterSet();

// Converts UTF-16 to the target character set, piece by piece.  A high
// surrogate at the end of one piece waits for the low surrogate at the start
// of the next; a lone surrogate and any character the target cannot hold
// become one space.
class Utf16ToCodePage {
 public:
  explicit Utf16ToCodePage(const std::string& codeset = SystemCodeSet());
  ~Utf16ToCodePage();
  Utf16ToCodePage(const Utf16ToCodePage&) = delete;
  Utf16ToCodePage& operator=(const Utf16ToCodePage&) = delete;

  // Appends the conversion of units to out.
  void Append(std::u16string_view units, std::string& out);
  // Ends the current run: a waiting high surrogate becomes a space.
  void Flush(std::string& out);

  // The most bytes one UTF-16 unit can need in the target: the room to
  // reserve is units * MaxBytesPerUnit().
  std::size_t MaxBytesPerUnit() const { return utf8_ ? 3 : 4; }

 private:
  void AppendCodePoint(char32_t cp, std::string& out);
  bool utf8_;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
  char16_t pending_high_ = 0;
};

// Appends cp to out as UTF-8; a surrogate or a value past U+10FFFF becomes U+FFFD.
void AppendUtf8(char32_t cp, std::string& out);

// Appends UTF-16LE bytes as UTF-8; an unpaired surrogate becomes U+FFFD.
void AppendUtf16Le(std::string_view bytes, std::string& out);

// UTF-8 to the system character set (unmappable characters become spaces);
// a copy when the system character set is UTF-8.
std::string Utf8ToCodePage(std::string_view utf8, const std::string& codeset = SystemCodeSet());

}  // namespace quarn

// Character sets of text-like documents: guessing which one a document is
// written in, and decoding it to UTF-8 block by block.  Used by the plain-text
// and HTML filters and by every filter that meets text of unknown or declared
// encoding (e-mail bodies, e-book chapters).  Everything here is reentrant;
// each object belongs to one document on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "convert/charset.h"

namespace quarn {

// Where the bytes of a document come from, read front to back; detection
// reads the source once and rewinds it for the decoding pass.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes into buf; 0 at the end.  Throws std::runtime_error
  // when the source cannot be read.
  virtual std::size_t Read(char* buf, std::size_t n) = 0;
  // Back to the first byte; false when that is impossible.
  virtual bool Rewind() = 0;
  // How many bytes there are, when that is known before reading them.
  virtual std::optional<std::uint64_t> Size() const { return std::nullopt; }
};

// A buffer for reading src in blocks of at most `most` bytes: the whole of a
// source smaller than that (and one byte more, to find its end), so that a
// short text does not map and release a buffer of a megabyte.
std::size_t ReadBufferFor(const ByteSource& src, std::size_t most);

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  std::size_t Read(char* buf, std::size_t n) override;
  bool Rewind() override {
    pos_ = 0;
    return true;
  }
  std::optional<std::uint64_t> Size() const override { return bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

class FileSource : public ByteSource {
 public:
  FileSource() = default;
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  // Opens path read-only; false (with errno set) when it cannot be opened.
  bool Open(const std::string& path);
  std::size_t Read(char* buf, std::size_t n) override;
  bool Rewind() override;
  std::optional<std::uint64_t> Size() const override;

 private:
  int fd_ = -1;
};

// How a document's character set was found.
struct CharsetGuess {
  std::string charset;      // an iconv name: "UTF-8", "UTF-16LE", "WINDOWS-1252", ...
  std::size_t bom = 0;      // bytes of byte-order mark to skip
  std::string how;          // "byte-order mark", "declared", "valid UTF-8", "detected", ...
  bool binary = false;      // the bytes are no text at all; why says so
  std::string why;
};

struct DetectOptions {
  // A character set the caller was told (an e-mail part's Content-Type):
  // trusted after a byte-order mark, before any detection, except a
  // single-byte one over bytes that are valid UTF-8 beyond ASCII.
  std::string_view hint;
  // Finds the document's own declaration (an HTML <meta charset>) in its
  // first bytes; returns the label or empty.  Not consulted for UTF-16/32.
  std::string (*declared)(std::string_view head) = nullptr;
};

// Guesses the character set of src: byte-order mark; the hint; UTF-16 or
// UTF-32 by their NUL patterns; the document's own declaration; valid UTF-8
// throughout; uchardet; windows-1252.  A single-byte hint or declaration
// gives way to UTF-8 where the bytes are valid UTF-8 beyond ASCII; a
// declaration of UTF-8 to detection where they are not UTF-8.  Bytes with many NULs that are no
// UTF-16/32 come back as binary.  Rewinds src before it returns.
CharsetGuess DetectCharset(ByteSource& src, const DetectOptions& options = {});

// s with its ASCII capitals made small (names, tags, media types, header
// fields: the bytes beyond ASCII are left as they are).
std::string LowerAscii(std::string_view s);

// True when bytes are UTF-8 throughout (no sequence cut at the end).
bool IsValidUtf8(std::string_view bytes);

// Appends a byte of 0x80 and above as windows-1252 has it, in UTF-8 (the
// replacement character for the five bytes it leaves undefined).
void AppendWindows1252(unsigned char b, std::string& out);

// Whether the first bytes of a file leave no doubt that it is text in some
// character set: a Unicode byte-order mark, or no NUL and hardly any other
// control bytes besides white space.
bool LooksLikeText(std::string_view head);

// Whether the first bytes of something said to be text are binary data:
// many NUL bytes, or control bytes besides white space (the test the text
// filter itself applies).
bool LooksLikeBinary(std::string_view head);

// True for an iconv name of a character set of one byte a character
// ("WINDOWS-1252", "ISO-8859-5", "KOI8-R", "MACINTOSH", ...).
bool IsSingleByteCharset(std::string_view charset);

// The character set to read bytes in when they are labelled with charset (an
// e-mail part's Content-Type): the label, except a UTF-8 that the bytes are
// not: text written in the sender's own code page and labelled UTF-8 on the
// way.  Then the character set is found from the bytes.  UTF-8 with a few
// damaged characters (more valid multi-byte sequences than invalid bytes)
// keeps its label.  The other way round, bytes labelled with a single-byte
// code page that are valid UTF-8 with letters beyond ASCII are UTF-8.
std::string LabelledCharset(std::string_view bytes, std::string_view charset);

// The iconv name for a charset label as documents and mail headers write it
// ("latin1", "x-sjis", "utf8", "ks_c_5601-1987"), following what browsers do
// (ISO-8859-1 and ASCII are read as windows-1252); empty when this system
// cannot decode it.
std::string CharsetForLabel(std::string_view label);

// Decodes one character set to UTF-8 block by block.  A sequence cut by a
// block boundary waits for the next block; bytes that are not valid in the
// character set become U+FFFD and decoding goes on after them.
class TextDecoder {
 public:
  // charset as CharsetForLabel returns it.  Throws std::runtime_error when
  // the system cannot decode it.
  explicit TextDecoder(const std::string& charset);
  ~TextDecoder();
  TextDecoder(const TextDecoder&) = delete;
  TextDecoder& operator=(const TextDecoder&) = delete;

  // Appends the UTF-8 of bytes to out.
  void Decode(std::string_view bytes, std::string& out);
  // Ends the input: a sequence still waiting becomes U+FFFD.
  void Finish(std::string& out);

 private:
  enum class Kind { kUtf8, kUtf16LE, kUtf16BE, kUtf32LE, kUtf32BE, kSingleByte, kIconv };
  void DecodeIconv(std::string_view bytes, std::string& out);
  bool BuildByteTable(const std::string& charset);
  Kind kind_;
  // For single-byte character sets: the UTF-8 of every byte (empty: not a
  // character), so that 100 MB of windows-1252 costs a table look-up a byte.
  std::unique_ptr<std::string[]> table_;
  bool ascii_compatible_ = true;  // bytes below 0x80 are ASCII
  void* cd_ = nullptr;  // iconv_t for kIconv
  std::string tail_;    // bytes of an incomplete sequence from the last block
};

// Whole-buffer convenience: bytes in charset (empty: detected) as UTF-8.
std::string DecodeToUtf8(std::string_view bytes, std::string_view charset = {});


}  // namespace quarn

// MOBI books (Mobipocket, and the Kindle books that share its format): the
// text records of the Palm database, decompressed (stored or PalmDoc's
// LZ77), stripped of their trailing index entries and read as the HTML they
// are; Kindle books of the newer kind (KF8) as the files their text flow
// holds.  Text records are stored, compressed with PalmDoc's LZ77 or with
// Mobipocket's Huffman dictionary (HUFF and CDIC records); books protected
// against copying are refused with that reason.  Reentrant.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// Whether the first bytes of a file are those of a MOBI book.
bool IsMobiHead(std::string_view head);

// Reads the book at path into sink.
ExtractResult ExtractMobi(const std::string& path, TextSink& sink);

// PalmDoc's LZ77 decompression of one record; at most max_out bytes are
// written (a hostile record cannot ask for more).
std::string PalmDocDecompress(std::string_view in, std::size_t max_out = 65536);

// Mobipocket's Huffman dictionary compression: a HUFF record holds the code
// tables, the CDIC records after it the phrases the codes stand for, each
// either as it is or itself compressed with the same codes.  A text record
// is a stream of codes, most significant bit first.
class HuffDictionary {
 public:
  // Reads the tables and the phrases; empty on success, else what is wrong.
  // The records must outlive the dictionary.
  std::string Load(std::string_view huff, const std::vector<std::string_view>& cdics);
  // Appends the text of one record (at most max_out bytes); false when its
  // codes or the phrases they name are damaged.
  bool Unpack(std::string_view data, std::string& out, std::size_t max_out = 1 << 20);

 private:
  struct Lookup {
    std::uint8_t length = 0;  // bits of the code, or the least it may have
    bool whole = false;       // the first 8 bits settle the code
    std::uint64_t max = 0;
  };
  struct Phrase {
    std::string_view packed;  // the phrase as stored
    std::string text;         // once unpacked
    enum class State { kPacked, kBusy, kDone } state = State::kPacked;
    bool literal = false;
  };
  bool Unpack(std::string_view data, std::string& out, std::size_t max_out, int depth);
  std::array<Lookup, 256> first_{};
  std::array<std::uint64_t, 33> min_{}, max_{};
  std::vector<Phrase> phrases_;
  std::size_t unpacked_bytes_ = 0;  // of all phrases unpacked, a budget against bombs
};

// The files of a KF8 book's text flow, each rebuilt as one HTML document:
// the flow holds each file's skeleton (up to its </html>) followed by the
// fragments of its body, which are put back before the skeleton's </body>.
std::vector<std::string> Kf8Files(std::string_view flow);

// The size of the trailing entries a text record carries after its text,
// as the book's extra-data flags announce them.
std::size_t TrailingEntriesSize(std::string_view record, std::uint16_t flags);

}  // namespace quarn

#include "convert/filters/ole/lzfu.h"

#include <array>
#include <cstdint>

namespace quarn {

namespace {

// Every stream starts with this text already in the dictionary.
constexpr std::string_view kPrebuf =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript "
    "\\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n\\par "
    "\\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";

uint32_t Le32(std::string_view s, std::size_t off) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[off])) |
         static_cast<uint32_t>(static_cast<unsigned char>(s[off + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[off + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[off + 3])) << 24;
}

}  // namespace

std::optional<std::string> DecompressRtf(std::string_view stream, std::size_t max_bytes) {
  if (stream.size() < 16) return std::nullopt;
  const uint32_t raw_size = Le32(stream, 4);
  const uint32_t type = Le32(stream, 8);
  if (raw_size > max_bytes) return std::nullopt;
  std::string_view data = stream.substr(16);
  if (type == 0x414C454D) return std::string(data.substr(0, raw_size));  // "MELA": stored as it is
  if (type != 0x75465A4C) return std::nullopt;                           // "LZFu"
  std::array<char, 4096> dict{};
  std::size_t write = 0;
  for (char c : kPrebuf) dict[write++] = c;
  std::string out;
  out.reserve(raw_size);
  std::size_t in = 0;
  while (in < data.size() && out.size() < raw_size) {
    const unsigned control = static_cast<unsigned char>(data[in++]);
    for (int bit = 0; bit < 8 && out.size() < raw_size; ++bit) {
      if (!(control & (1u << bit))) {
        if (in >= data.size()) return out;
        char c = data[in++];
        out.push_back(c);
        dict[write] = c;
        write = (write + 1) % dict.size();
        continue;
      }
      if (in + 2 > data.size()) return out;
      const unsigned ref = static_cast<unsigned char>(data[in]) << 8 | static_cast<unsigned char>(data[in + 1]);
      in += 2;
      std::size_t offset = ref >> 4;
      const std::size_t length = (ref & 0xF) + 2;
      if (offset == write) return out;  // the end marker
      for (std::size_t i = 0; i < length && out.size() < raw_size; ++i) {
        char c = dict[offset];
        offset = (offset + 1) % dict.size();
        out.push_back(c);
        dict[write] = c;
        write = (write + 1) % dict.size();
      }
    }
  }
  return out;
}

}  // namespace quarn

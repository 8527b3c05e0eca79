#include "convert/filters/common/scanned_pictures.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace quarn {

namespace {

// Whether a character outside ASCII is part of a word: punctuation, signs,
// arrows, shapes, private-use glyphs, pictographs and the replacement
// character are not.
bool IsWordCharacter(char32_t c) {
  if (c < 0xC0) return c == 0xAA || c == 0xB5 || c == 0xBA;
  if (c == 0xD7 || c == 0xF7) return false;
  if (c >= 0x2000 && c <= 0x2BFF) return false;
  if (c >= 0x3000 && c <= 0x303F) return false;
  if (c >= 0xE000 && c <= 0xF8FF) return false;
  if (c >= 0xFE00 && c <= 0xFE0F) return false;
  if (c >= 0xFFF0 && c <= 0xFFFF) return false;
  if (c >= 0x1F000 && c <= 0x1FAFF) return false;
  return true;
}

std::uint32_t Le16(std::string_view s, std::size_t at) {
  return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}
std::uint32_t Le32(std::string_view s, std::size_t at) {
  return Le16(s, at) | Le16(s, at + 2) << 16;
}

void PutLe32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

bool HasWords(const TextSink& text) {
  for (const std::string& chunk : text.chunks())
    if (HasWords(chunk)) return true;
  return false;
}

bool HasWords(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char b = *p++;
    if (b < 0x80) {
      if (std::isalnum(b)) return true;
      continue;
    }
    const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t c = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : b & 0x1F;
    for (int i = 0; i < extra && p < end && (*p & 0xC0) == 0x80; ++i, ++p) c = (c << 6) | (*p & 0x3F);
    if (extra > 0 && IsWordCharacter(c)) return true;
  }
  return false;
}

std::optional<std::pair<int, int>> PictureSize(std::string_view b) {
  auto be16 = [&](std::size_t at) { return static_cast<unsigned char>(b[at]) << 8 | static_cast<unsigned char>(b[at + 1]); };
  auto be32 = [&](std::size_t at) { return static_cast<std::uint32_t>(be16(at)) << 16 | be16(at + 2); };
  auto sized = [](std::int64_t w, std::int64_t h) -> std::optional<std::pair<int, int>> {
    if (w <= 0 || h <= 0 || w > (1 << 30) || h > (1 << 30)) return std::nullopt;
    return std::pair<int, int>(static_cast<int>(w), static_cast<int>(h));
  };
  if (b.size() >= 24 && b.substr(0, 8) == "\x89PNG\r\n\x1a\n" && b.substr(12, 4) == "IHDR")
    return sized(be32(16), be32(20));
  if (b.size() >= 10 && (b.substr(0, 6) == "GIF87a" || b.substr(0, 6) == "GIF89a")) return sized(Le16(b, 6), Le16(b, 8));
  if (b.size() >= 26 && b.substr(0, 2) == "BM") {
    const std::int64_t h = static_cast<std::int32_t>(Le32(b, 22));
    return sized(static_cast<std::int32_t>(Le32(b, 18)), h < 0 ? -h : h);
  }
  if (b.size() >= 4 && b.substr(0, 2) == "\xFF\xD8") {
    // Segments up to the frame header that gives the size.
    for (std::size_t at = 2; at + 4 <= b.size();) {
      if (static_cast<unsigned char>(b[at]) != 0xFF) return std::nullopt;
      const unsigned marker = static_cast<unsigned char>(b[at + 1]);
      if (marker == 0xFF) {
        ++at;
        continue;
      }
      if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
        at += 2;
        continue;
      }
      const std::size_t length = be16(at + 2);
      if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
        if (at + 9 > b.size()) return std::nullopt;
        return sized(be16(at + 7), be16(at + 5));
      }
      if (length < 2) return std::nullopt;
      at += 2 + length;
    }
  }
  return std::nullopt;
}

bool MayBeAScan(std::string_view bytes) {
  const auto size = PictureSize(bytes);
  if (!size) return true;
  return std::max(size->first, size->second) >= 600 && std::min(size->first, size->second) >= 150;
}

bool RecognizePicture(std::string_view bytes, std::string_view name, PrivateFolder& folder, TextSink& sink) {
  if (bytes.empty() || sink.full() || !MayBeAScan(bytes)) return false;
  TextSink member = MemberSink(sink);
  ExtractMemberBytes(folder, name, bytes, member);
  if (!sink.AppendRecognizedPage(member.Joined())) return false;
  // A picture of several pages (a TIFF) counts each.
  if (member.recognized_pages() > 1) sink.CountRecognizedPages(member.recognized_pages() - 1);
  return true;
}

std::vector<OfficeArtPicture> FindOfficeArtPictures(std::string_view stream, std::size_t max_pictures) {
  // A BLIP record: version 0, an instance that says how many 16-byte ids
  // follow the header, a type, a length; then a tag byte and the file.
  std::vector<OfficeArtPicture> found;
  for (std::size_t at = 0; at + 8 <= stream.size() && found.size() < max_pictures;) {
    const std::uint32_t ver_instance = Le16(stream, at), type = Le16(stream, at + 2);
    if ((ver_instance & 0xF) != 0 || type < 0xF01D || (type > 0xF01F && type != 0xF029 && type != 0xF02A)) {
      ++at;
      continue;
    }
    const std::uint32_t instance = ver_instance >> 4;
    std::uint32_t one_id = 0;
    const char* extension = "";
    switch (type) {
      case 0xF01D:
      case 0xF02A:
        one_id = instance == 0x46A || instance == 0x46B ? 0x46A : 0x6E2;
        extension = ".jpg";
        break;
      case 0xF01E: one_id = 0x6E0; extension = ".png"; break;
      case 0xF01F: one_id = 0x7A8; extension = ".bmp"; break;
      default: one_id = 0x6E4; extension = ".tif"; break;
    }
    const std::uint64_t length = Le32(stream, at + 4);
    const std::size_t header = 8 + 16 + (instance == one_id + 1 ? 16 : 0) + 1;
    if ((instance != one_id && instance != one_id + 1) || length + 8 > stream.size() - at || length + 8 <= header) {
      ++at;
      continue;
    }
    OfficeArtPicture p;
    p.offset = at + header;
    p.size = static_cast<std::size_t>(length + 8 - header);
    p.dib = type == 0xF01F;
    p.extension = extension;
    std::string_view file = stream.substr(p.offset, p.size);
    const bool signed_right =
        (type == 0xF01E && file.substr(0, 4) == "\x89PNG") ||
        ((type == 0xF01D || type == 0xF02A) && file.substr(0, 2) == "\xFF\xD8") ||
        (type == 0xF029 && (file.substr(0, 4) == std::string_view("II*\0", 4) ||
                            file.substr(0, 4) == std::string_view("MM\0*", 4))) ||
        (type == 0xF01F && file.size() >= 40 && (Le32(file, 0) == 40 || Le32(file, 0) == 108 || Le32(file, 0) == 124));
    if (!signed_right) {
      ++at;
      continue;
    }
    found.push_back(p);
    at += static_cast<std::size_t>(length + 8);
  }
  return found;
}

std::string OfficeArtPictureFile(std::string_view stream, const OfficeArtPicture& picture) {
  std::string_view file = stream.substr(picture.offset, picture.size);
  if (!picture.dib) return std::string(file);
  // A bitmap file starts where the DIB does, after a 14-byte file header that
  // says where the pixels begin: past the info header and the colour table.
  const std::uint32_t info = Le32(file, 0);
  const std::uint32_t bits = Le16(file, 14), compression = Le32(file, 16), used = Le32(file, 32);
  if (bits == 0 || bits > 32) return {};
  std::uint64_t colours = used != 0 ? used : bits <= 8 ? (1u << bits) : 0;
  if (colours > 256) return {};
  std::uint64_t masks = info == 40 && (compression == 3 || compression == 6) ? (compression == 3 ? 12 : 16) : 0;
  const std::uint64_t pixels = 14 + info + masks + colours * 4;
  if (pixels >= 14 + file.size()) return {};
  std::string out = "BM";
  PutLe32(out, static_cast<std::uint32_t>(14 + file.size()));
  PutLe32(out, 0);
  PutLe32(out, static_cast<std::uint32_t>(pixels));
  out.append(file);
  return out;
}

std::size_t RecognizeOfficeArtPictures(std::string_view stream, PrivateFolder& folder, TextSink& sink,
                                       std::size_t max) {
  std::size_t read = 0;
  for (const OfficeArtPicture& picture : FindOfficeArtPictures(stream, max)) {
    if (sink.full() || read == max) break;
    const std::string bytes = OfficeArtPictureFile(stream, picture);
    if (bytes.empty()) continue;
    ++read;
    RecognizePicture(bytes, std::string("picture") + picture.extension, folder, sink);
  }
  return read;
}

}  // namespace quarn

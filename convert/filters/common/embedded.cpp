#include "convert/filters/common/embedded.h"

#include <algorithm>
#include <cstdint>

#include "convert/filters/members.h"

namespace quarn {

namespace {

// Embedded objects larger than this are not read.
constexpr std::size_t kMaxObjectBytes = std::size_t{256} << 20;

uint32_t Le32At(std::string_view s, std::size_t at) {
  if (at > s.size() || s.size() - at < 4) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A NUL-terminated string at *at, which moves past it; nullopt when it runs
// past the end.
std::optional<std::string_view> CString(std::string_view s, std::size_t* at) {
  std::size_t end = s.find('\0', *at);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view v = s.substr(*at, end - *at);
  *at = end + 1;
  return v;
}

}  // namespace

bool EmbeddingTooDeep(const TextSink& sink) { return sink.nesting().depth >= ContainerLimits{}.max_depth; }

bool ExtractEmbedded(std::string_view bytes, TextSink& sink, std::string_view name) {
  if (bytes.empty() || bytes.size() > kMaxObjectBytes || sink.full() || EmbeddingTooDeep(sink)) return false;
  // A picture is shown, not read: OCR of every logo would cost seconds each.
  if (IsPictureAttachment(bytes)) return false;
  // Without a name the content decides; ".bin" finds no filter by itself
  // and keeps unrecognised bytes from being read as plain text.
  PrivateFolder folder;
  TextSink member = MemberSink(sink);
  ExtractMemberBytes(folder, name.empty() ? std::string_view("object.bin") : name, bytes, member);
  bool wrote = false;
  for (const std::string& chunk : member.chunks()) {
    if (chunk.empty()) continue;
    sink.Append(chunk);
    sink.EndLine();
    wrote = true;
  }
  sink.CountRecognizedPages(member.recognized_pages());
  return wrote;
}

std::optional<Ole1Object> ParseOle1Object(std::string_view b) {
  // OLEVersion, FormatID (2: embedded), then length-prefixed strings: the
  // class name, the topic and item names, then the native data's size.
  if (b.size() < 12 || Le32At(b, 4) != 2) return std::nullopt;
  std::size_t at = 8;
  Ole1Object object;
  for (int field = 0; field < 3; ++field) {
    uint32_t n = Le32At(b, at);
    at += 4;
    if (n > b.size() - std::min(at, b.size())) return std::nullopt;
    if (field == 0) {
      std::string_view name = b.substr(at, n);
      while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
      object.class_name = std::string(name);
    }
    at += n;
  }
  uint32_t size = Le32At(b, at);
  at += 4;
  if (at > b.size() || size > b.size() - at) return std::nullopt;
  object.native = b.substr(at, size);
  return object;
}

std::optional<PackagedFile> ParsePackage(std::string_view native) {
  // A 16-bit mark (2), the label and the original path as C strings, the
  // type (3: the file itself is embedded), the temporary path with its
  // length, then the file's size and bytes.
  if (native.size() < 2 || native[0] != 2 || native[1] != 0) return std::nullopt;
  std::size_t at = 2;
  std::optional<std::string_view> label = CString(native, &at);
  std::optional<std::string_view> path = label ? CString(native, &at) : std::nullopt;
  if (!path) return std::nullopt;
  if (Le32At(native, at) >> 16 != 3) return std::nullopt;
  at += 4;
  uint32_t temp_length = Le32At(native, at);
  at += 4;
  if (at > native.size() || temp_length > native.size() - at) return std::nullopt;
  at += temp_length;
  uint32_t size = Le32At(native, at);
  at += 4;
  if (at > native.size() || size > native.size() - at) return std::nullopt;
  PackagedFile file;
  file.name = std::string(!label->empty() ? *label : *path);
  file.bytes = native.substr(at, size);
  return file;
}

}  // namespace quarn

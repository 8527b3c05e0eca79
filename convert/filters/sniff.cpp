#include "convert/filters/sniff.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "convert/filters/builtin.h"
#include "convert/filters/module.h"

namespace quarn {

namespace {

constexpr std::size_t kHeadBytes = 4096;

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

// Skips a byte-order mark and leading white space.
std::string_view SkipBomAndSpace(std::string_view s) {
  if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  return s;
}

bool LooksLikeHtml(std::string_view head) {
  std::string l = LowerAscii(head.substr(0, 1024));
  for (std::string_view tag : {"<!doctype html", "<html", "<head", "<body", "<meta ", "<title"})
    if (l.find(tag) != std::string::npos) return true;
  return false;
}

bool LooksLikeMail(std::string_view head) {
  // A message starts with header fields; demand two well-known ones among the first lines.
  int known = 0;
  std::size_t pos = 0;
  for (int line = 0; line < 30 && pos < head.size(); ++line) {
    std::size_t end = head.find('\n', pos);
    std::string_view l = head.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (l.empty() || l == "\r") break;
    std::string low = LowerAscii(l.substr(0, 40));
    for (std::string_view h : {"from:", "to:", "subject:", "date:", "message-id:", "mime-version:", "received:",
                               "return-path:"})
      if (low.rfind(h, 0) == 0) ++known;
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return known >= 2;
}

// The part names inside zips and compound files are read by the modules that
// read those containers; they are loaded only when such a file turns up.
std::string ZipFilter(const std::string& path) {
  const FilterModule* m = LoadFilterModule("package");
  return m && m->zip_filter ? m->zip_filter(path) : std::string();
}

std::vector<std::string> CompoundRootNames(const std::string& path) {
  const FilterModule* m = LoadFilterModule("ole");
  return m && m->compound_names ? m->compound_names(path) : std::vector<std::string>{};
}

std::uint32_t Le32(std::string_view s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

// "P1" to "P6", then the width, the height and (but for bitmaps) the
// largest value as decimal numbers, separated by white space or comments.
bool LooksLikePnm(std::string_view head) {
  if (head.size() < 4 || head[0] != 'P' || head[1] < '1' || head[1] > '6') return false;
  const int wanted = head[1] == '1' || head[1] == '4' ? 2 : 3;
  int numbers = 0;
  std::size_t i = 2;
  while (numbers < wanted) {
    bool space = false;
    while (i < head.size()) {
      const char c = head[i];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++i;
      } else if (c == '#') {
        const std::size_t end = head.find('\n', i);
        if (end == std::string_view::npos) return false;
        i = end + 1;
      } else {
        break;
      }
      space = true;
    }
    if (!space || i >= head.size() || head[i] < '0' || head[i] > '9') return false;
    while (i < head.size() && head[i] >= '0' && head[i] <= '9') ++i;
    ++numbers;
  }
  return i < head.size() && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n');
}

}  // namespace

bool LooksLikePicture(std::string_view head) {
  auto starts = [&](std::string_view sig) { return head.substr(0, sig.size()) == sig; };
  if (starts("\x89PNG\r\n\x1A\n") || starts("\xFF\xD8\xFF") || starts("GIF87a") || starts("GIF89a") ||
      starts(std::string_view("II*\0", 4)) || starts(std::string_view("MM\0*", 4)) ||
      starts(std::string_view("\0\0\0\x0CjP  \r\n\x87\n", 12)) || starts("\xFF\x4F\xFF\x51"))
    return true;
  if (head.size() >= 12 && starts("RIFF") && head.substr(8, 4) == "WEBP") return true;
  // "BM" alone opens too many text files: the bitmap's reserved bytes are
  // zero and its information header has one of the known sizes.
  if (head.size() >= 26 && starts("BM") && Le32(head, 6) == 0) {
    const std::uint32_t info = Le32(head, 14);
    if (info == 12 || info == 40 || info == 52 || info == 56 || info == 64 || info == 108 || info == 124) return true;
  }
  return LooksLikePnm(head);
}

Sniffed SniffContent(const std::string& path) {
  Sniffed r;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    r.kind = ContentKind::kUnreadable;
    return r;
  }
  std::string head(kHeadBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  if (head.empty()) {
    r.kind = ContentKind::kEmpty;
    return r;
  }
  if (head.size() >= 8 && std::memcmp(head.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0) {
    r.kind = ContentKind::kCompoundFile;
    for (const std::string& name : CompoundRootNames(path)) {
      std::string lower = LowerAscii(name);
      if (lower == "worddocument") r.filter = "doc";
      else if ((lower == "workbook" || lower == "book") && r.filter.empty()) r.filter = "xls";
      else if (lower == "powerpoint document" && r.filter.empty()) r.filter = "ppt";
      else if (name == "EncryptedPackage") r.encrypted_package = true;
    }
    return r;
  }
  if (head.size() >= 4 && head.compare(0, 4, "PK\x03\x04") == 0) {
    r.kind = ContentKind::kZip;
    r.filter = ZipFilter(path);
    return r;
  }
  if (LooksLikePicture(head)) {
    r.kind = ContentKind::kImage;
    r.filter = "image";
    return r;
  }
  if (head.find("%PDF-") != std::string::npos && head.find("%PDF-") < 1024) {
    r.kind = ContentKind::kPdf;
    r.filter = "pdf";
    return r;
  }
  std::string_view body = SkipBomAndSpace(head);
  if (body.substr(0, 5) == "{\\rtf") {
    r.kind = ContentKind::kRtf;
    r.filter = "rtf";
    return r;
  }
  if (body.substr(0, 5) == "<?xml") {
    // XHTML is XML, but it reads best as a web page; any other XML, even
    // with <title> or <head> elements of its own, is plain XML.
    std::string l = LowerAscii(body.substr(0, 1024));
    bool xhtml = l.find("<!doctype html") != std::string::npos;
    for (std::size_t at = l.find("<html"); !xhtml && at != std::string::npos; at = l.find("<html", at + 1)) {
      char next = at + 5 < l.size() ? l[at + 5] : '>';
      xhtml = next == '>' || next == ' ' || next == '\t' || next == '\r' || next == '\n';  // not <html:b>
    }
    r.kind = xhtml ? ContentKind::kHtml : ContentKind::kXml;
    r.filter = xhtml ? "html" : "xml";
    return r;
  }
  if (LooksLikeHtml(body)) {
    r.kind = ContentKind::kHtml;
    r.filter = "html";
    return r;
  }
  if (body.substr(0, 5) == "<?xml") {
    r.kind = ContentKind::kXml;
    r.filter = "xml";
    return r;
  }
  if (LooksLikeMail(body)) {
    r.kind = ContentKind::kMail;
    r.filter = "eml";
    return r;
  }
  return r;
}

std::optional<std::string> RedirectFor(const std::string& path, std::string_view self) {
  Sniffed s = SniffContent(path);
  if (s.filter.empty() || s.filter == self || !FindBuiltinFilter(s.filter)) return std::nullopt;
  // XML is a container for many formats (XHTML, Office 2003 XML, flat ODF):
  // only hand over to the plain XML filter when self cannot read XML at all.
  if (s.kind == ContentKind::kXml && (self == "html" || self == "odf" || self == "docx" || self == "xlsx"))
    return std::nullopt;
  return s.filter;
}

std::optional<ExtractResult> ExtractRedirected(const std::string& path, std::string_view self, TextSink& sink) {
  std::optional<std::string> other = RedirectFor(path, self);
  if (!other) return std::nullopt;
  return ExtractWithBuiltin(*other, path, sink);
}

}  // namespace quarn

#include "convert/filters/sniff.h"

#include <algorithm>
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

// A message starts with its header block: every line up to the first empty
// one is a header field ("Name: value", the name printable ASCII) or the
// continuation of one (white space first), and at least two are fields
// every message has.  An mbox separator line ("From ...") may come first.
// A page that merely quotes header lines further down is no message.
bool LooksLikeMail(std::string_view head) {
  if (head.substr(0, 5) == "From ") {
    std::size_t nl = head.find('\n');
    if (nl == std::string_view::npos) return false;
    head.remove_prefix(nl + 1);
  }
  int known = 0, fields = 0;
  std::size_t pos = 0;
  while (pos < head.size()) {
    std::size_t end = head.find('\n', pos);
    if (end == std::string_view::npos) break;  // a line cut by the end of the head: undecided
    std::string_view l = head.substr(pos, end - pos);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    pos = end + 1;
    if (l.empty()) break;  // the end of the header block
    if (l[0] == ' ' || l[0] == '\t') {
      if (fields == 0) return false;
      continue;
    }
    std::size_t colon = l.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon > 76) return false;
    for (char c : l.substr(0, colon))
      if (c <= ' ' || c >= 127) return false;
    ++fields;
    std::string low = LowerAscii(l.substr(0, colon + 1));
    for (std::string_view h : {"from:", "to:", "subject:", "date:", "message-id:", "mime-version:", "received:",
                               "return-path:", "content-type:", "cc:", "reply-to:", "sender:"})
      if (low == h) ++known;
  }
  return known >= 2;
}

// Excel 2 to 4 files are their records, starting with a BOF record (type
// 0x0009, 0x0209 or 0x0409) of 4 to 16 bytes that names a worksheet,
// chart, macro sheet or workbook.
bool LooksLikeOldWorksheet(std::string_view head) {
  if (head.size() < 8 || head[0] != '\x09' || (head[1] != '\x00' && head[1] != '\x02' && head[1] != '\x04'))
    return false;
  const auto len = static_cast<unsigned char>(head[2]) | static_cast<unsigned char>(head[3]) << 8;
  const auto dt = static_cast<unsigned char>(head[6]) | static_cast<unsigned char>(head[7]) << 8;
  return len >= 4 && len <= 16 && (dt == 0x0010 || dt == 0x0020 || dt == 0x0040 || dt == 0x0100);
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

}  // namespace

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
  if (LooksLikeOldWorksheet(head)) {
    r.filter = "xls";
    return r;
  }
  if (head.size() >= 4 && head.compare(0, 4, "PK\x03\x04") == 0) {
    r.kind = ContentKind::kZip;
    r.filter = ZipFilter(path);
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
  // A header block makes a message, whatever HTML its body holds.
  if (LooksLikeMail(body)) {
    r.kind = ContentKind::kMail;
    r.filter = "eml";
    return r;
  }
  if (LooksLikeHtml(body)) {
    r.kind = ContentKind::kHtml;
    r.filter = "html";
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

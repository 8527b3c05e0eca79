#include "convert/filters/sniff.h"

#include "convert/filters/common/text_decode.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "convert/filters/builtin.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/module.h"

namespace quarn {

std::string_view AppleMailMessage(std::string_view bytes) {
  std::size_t digits = 0;
  while (digits < bytes.size() && digits < 12 && bytes[digits] >= '0' && bytes[digits] <= '9') ++digits;
  std::size_t at = digits;
  while (at < bytes.size() && (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\r')) ++at;
  if (digits == 0 || at >= bytes.size() || bytes[at] != '\n') return bytes;
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < digits; ++i) length = length * 10 + static_cast<unsigned>(bytes[i] - '0');
  std::string_view message = bytes.substr(at + 1);
  return message.substr(0, std::min<std::uint64_t>(length, message.size()));
}

namespace {

constexpr std::size_t kHeadBytes = 4096;

// Up to n bytes from offset at; fewer at the end of the file or on an error.
std::size_t ReadAt(int fd, char* buf, std::size_t n, off_t at) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t k = ::pread(fd, buf + got, n - got, at + static_cast<off_t>(got));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    got += static_cast<std::size_t>(k);
  }
  return got;
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
// Among messages, a web page saved with its pictures as one file (MHTML, a
// "Single File Web Page" whatever its name): the whole is multipart/related
// and nobody sent it (no recipient, no message id, no relay's trace).
struct MailHead {
  bool mail = false;
  bool web_archive = false;
};

MailHead ReadMailHead(std::string_view head) {
  head = AppleMailMessage(head);
  if (head.substr(0, 5) == "From ") {
    std::size_t nl = head.find('\n');
    if (nl == std::string_view::npos) return {};
    head.remove_prefix(nl + 1);
  }
  int known = 0, fields = 0;
  std::string type;  // the Content-Type field, its continuation lines too
  bool mailed = false, in_type = false;
  std::size_t pos = 0;
  while (pos < head.size()) {
    std::size_t end = head.find('\n', pos);
    if (end == std::string_view::npos) break;  // a line cut by the end of the head: undecided
    std::string_view l = head.substr(pos, end - pos);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    pos = end + 1;
    if (l.empty()) break;  // the end of the header block
    if (l[0] == ' ' || l[0] == '\t') {
      if (fields == 0) return {};
      if (in_type) type += LowerAscii(l);
      continue;
    }
    std::size_t colon = l.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon > 76) return {};
    for (char c : l.substr(0, colon))
      if (c <= ' ' || c >= 127) return {};
    ++fields;
    std::string low = LowerAscii(l.substr(0, colon + 1));
    for (std::string_view h : {"from:", "to:", "subject:", "date:", "message-id:", "mime-version:", "received:",
                               "return-path:", "content-type:", "cc:", "reply-to:", "sender:"})
      if (low == h) ++known;
    in_type = low == "content-type:";
    if (in_type) type = LowerAscii(l);
    if (low == "to:" || low == "received:" || low == "message-id:" || low == "cc:") mailed = true;
  }
  if (known < 2) return {};
  return {true, !mailed && type.find("multipart/related") != std::string::npos};
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

namespace {

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// A mailbox starts with a separator line "From sender date" and a message's
// header fields right after it.
bool LooksLikeMbox(std::string_view head) {
  if (!StartsWith(head, "From ")) return false;
  std::size_t nl = head.find('\n');
  if (nl == std::string_view::npos) return false;
  std::string_view next = head.substr(nl + 1);
  std::size_t colon = next.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon > 76) return false;
  for (char c : next.substr(0, colon))
    if (c <= ' ' || c >= 127) return false;
  return true;
}

// The signatures of the archive and compression formats the archive filter reads.
bool LooksLikeArchive(std::string_view h) {
  static constexpr std::string_view kMagic[] = {
      {"7z\xBC\xAF\x27\x1C", 6},       // 7z
      {"Rar!\x1A\x07", 6},               // RAR 4 and 5
      {"\x1F\x8B", 2},                   // gzip
      {"BZh", 3},                         // bzip2
      {"\xFD" "7zXZ\x00", 6},            // xz
      {"\x28\xB5\x2F\xFD", 4},           // zstd
      {"\x04\x22\x4D\x18", 4},           // lz4
      {"LZIP", 4},                        // lzip
      {"070701", 6}, {"070702", 6}, {"070707", 6},  // cpio
      {"!<arch>\n", 8},                   // ar
      {"MSCF\0\0\0\0", 8},               // cabinet
  };
  for (std::string_view m : kMagic)
    if (StartsWith(h, m)) return true;
  if (h.size() >= 2 && static_cast<unsigned char>(h[0]) == 0xC7 && static_cast<unsigned char>(h[1]) == 0x71)
    return true;  // binary cpio
  // tar: "ustar" at offset 257 (POSIX and GNU).
  return h.size() >= 262 && h.substr(257, 5) == "ustar";
}

// The root element's name of an XML document (without a namespace prefix),
// after the prolog, comments and the document type declaration.
std::string_view RootElement(std::string_view s) {
  for (int guard = 0; guard < 64; ++guard) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
      s.remove_prefix(1);
    if (s.substr(0, 4) == "<!--") {
      std::size_t end = s.find("-->");
      if (end == std::string_view::npos) return {};
      s.remove_prefix(end + 3);
    } else if (s.substr(0, 2) == "<?" || s.substr(0, 2) == "<!") {
      std::size_t end = s.find('>');
      if (end == std::string_view::npos) return {};
      s.remove_prefix(end + 1);
    } else {
      break;
    }
  }
  if (s.size() < 2 || s.front() != '<') return {};
  s.remove_prefix(1);
  std::size_t end = s.find_first_of(" \t\r\n/>");
  if (end == std::string_view::npos) return {};
  std::string_view name = s.substr(0, end);
  if (std::size_t colon = name.find(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
  return name;
}

// A flat Office package (every part of a Word or PowerPoint document in one
// XML file): the filter of the document its parts make, told by the main
// part's name, which its first part (the package's relationships) gives.
std::string_view FlatPackageFilter(std::string_view body) {
  if (body.find("http://schemas.microsoft.com/office/2006/xmlPackage") == std::string_view::npos) return {};
  if (body.find("ppt/presentation.xml") != std::string_view::npos) return "pptx";
  if (body.find("xl/workbook.xml") != std::string_view::npos) return "xlsx";
  return "docx";
}

// XML formats that have a reader of their own, by their root element.
std::string_view XmlFormatFilter(std::string_view root) {
  if (root == "FictionBook") return "ebook";
  if (root == "svg") return "svg";
  if (root == "abiword") return "abiword";
  if (root == "VisioDocument") return "visio";
  return {};
}

bool At(std::string_view head, std::size_t offset, std::string_view magic) {
  return head.size() >= offset + magic.size() && head.substr(offset, magic.size()) == magic;
}

// Binary formats recognised by their first bytes.
std::string_view BinaryFormatFilter(std::string_view head) {
  using std::literals::string_view_literals::operator""sv;
  if (At(head, 0, "\xFFWPC")) return head.size() > 9 && head[9] == 0x16 ? "wpg" : "wordperfect";
  if (At(head, 0, "AT&TFORM")) return "djvu";
  if (At(head, 0, "SQLite format 3\0"sv)) return "sqlite";
  // Access: the engine's name (Jet for Access 97 to 2003, ACE for 2007 and
  // later) after the first page's number.
  if (At(head, 0, "\0\1\0\0"sv) && (At(head, 4, "Standard Jet DB\0"sv) || At(head, 4, "Standard ACE DB\0"sv)))
    return "access";
  // Outlook Express's files (version 5 and 6 folders and their kin), and
  // version 4's mail folders.
  if (At(head, 0, "\xCF\xAD\x12\xFE") || At(head, 0, "JMF6")) return "dbx";
  // A crawler's web archive: a record's version line, or the first line of
  // the older ARC format.
  if (At(head, 0, "WARC/1.") || At(head, 0, "WARC/0.") || At(head, 0, "filedesc://")) return "warc";
  if (LooksLikePostScript(head)) return "postscript";
  // A document in its signature (CMS signed data), in DER or PEM.
  if (At(head, 0, "\x30") && head.substr(0, 24).find("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02"sv) !=
                                   std::string_view::npos)
    return "signed";
  if (At(head, 0, "-----BEGIN CMS-----") || At(head, 0, "-----BEGIN PKCS7-----")) return "signed";
  // Palm databases name their type and creator at offset 60, after a name
  // of up to 31 characters padded with NULs (which no text file has).
  if (head.size() >= 78 && head.substr(0, 32).find('\0') != std::string_view::npos) {
    for (std::string_view palm : {"BOOKMOBI", "TEXtREAd", "PNRdPPrs", "DataPlkr", "TEXtTlDc", "zTXTGPlm"})
      if (At(head, 60, palm)) return "ebook";
  }
  if ((At(head, 0, "RIFF") || At(head, 0, "RIFX")) && (At(head, 8, "CDR") || At(head, 8, "cdr") || At(head, 8, "CMX1")))
    return "corel";
  if (At(head, 0, "\0\0"sv) && (At(head, 2, "IIXPR") || At(head, 2, "MMXPR"))) return "quark";
  // Lotus 1-2-3 and Quattro: a beginning-of-file record naming the version.
  for (std::string_view lotus : {"\0\0\x02\0\x04\x04"sv, "\0\0\x02\0\x06\x04"sv, "\0\0\x02\0\x20\x51"sv,
                                 "\0\0\x02\0\x21\x51"sv, "\0\0\x1A\0\0\x10\x04\0"sv, "\0\0\x1A\0\x02\x10\x04\0"sv})
    if (At(head, 0, lotus)) return "works";
  // Write and Word for DOS.
  if (At(head, 0, "\x31\xBE\0\0"sv) || At(head, 0, "\x32\xBE\0\0"sv)) return "works";
  // Word for the Macintosh, versions 4 and 5.
  if (At(head, 0, "\xFE\x37\0\x1C"sv) || At(head, 0, "\xFE\x37\0\x23"sv)) return "mac";
  // ClarisWorks starts with its version in four binary bytes.
  auto binary = [](char c) { return static_cast<unsigned char>(c) < 9; };
  if (At(head, 4, "BOBO") && std::any_of(head.begin(), head.begin() + 4, binary)) return "mac";
  return {};
}

std::string_view AfterBlankLines(std::string_view s) {
  while (!s.empty() && (s.front() == '\r' || s.front() == '\n' || s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  return s;
}

}  // namespace

Sniffed SniffHead(std::string_view head) {
  Sniffed r;
  if (head.empty()) {
    r.kind = ContentKind::kEmpty;
    return r;
  }
  if (StartsWith(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
    r.kind = ContentKind::kCompoundFile;
    return r;
  }
  if (StartsWith(head, "PK\x03\x04") || StartsWith(head, "PK\x05\x06")) {
    r.kind = ContentKind::kZip;
    return r;
  }
  if (LooksLikePicture(head)) {
    r.kind = ContentKind::kImage;
    r.filter = LooksLikeHeif(head) ? "heif" : "image";
    return r;
  }
  if (head.find("%PDF-") != std::string_view::npos && head.find("%PDF-") < 1024) {
    r.kind = ContentKind::kPdf;
    r.filter = "pdf";
    return r;
  }
  auto set = [&r](ContentKind kind, const char* filter) {
    r.kind = kind;
    r.filter = filter;
    return r;
  };
  if (StartsWith(head, "!BDN")) return set(ContentKind::kOutlookData, "pst");
  if (StartsWith(head, "\x78\x9F\x3E\x22")) return set(ContentKind::kTnef, "tnef");
  if (StartsWith(head, "ITSF\x03\x00\x00\x00")) return set(ContentKind::kHelp, "chm");
  if (std::string_view binary = BinaryFormatFilter(head); !binary.empty()) {
    r.filter = binary;
    return r;
  }
  if (LooksLikeArchive(head)) return set(ContentKind::kArchive, "archive");
  if (LooksLikeOldWorksheet(head)) {
    r.filter = "xls";
    return r;
  }
  std::string_view body = SkipBomAndSpace(head);
  std::string_view root = RootElement(body);
  if (std::string_view flat = root == "package" ? FlatPackageFilter(body) : std::string_view(); !flat.empty()) {
    r.kind = ContentKind::kXml;
    r.filter = flat;
    return r;
  }
  if (std::string_view xml = XmlFormatFilter(root); !xml.empty()) {
    r.kind = ContentKind::kXml;
    r.filter = xml;
    return r;
  }
  if (body.substr(0, 5) == "{\\rtf") return set(ContentKind::kRtf, "rtf");
  if (body.substr(0, 5) == "<?xml") {
    // XHTML is XML, but it reads best as a web page; any other XML, even
    // with <title> or <head> elements of its own, is plain XML.
    std::string l = LowerAscii(body.substr(0, 1024));
    bool xhtml = l.find("<!doctype html") != std::string::npos;
    for (std::size_t at = l.find("<html"); !xhtml && at != std::string::npos; at = l.find("<html", at + 1)) {
      char next = at + 5 < l.size() ? l[at + 5] : '>';
      xhtml = next == '>' || next == ' ' || next == '\t' || next == '\r' || next == '\n';  // not <html:b>
    }
    return xhtml ? set(ContentKind::kHtml, "html") : set(ContentKind::kXml, "xml");
  }
  // Header fields first: a message (or a saved web archive) holds HTML parts
  // early on, while a page never starts with two header fields.
  if (LooksLikeMbox(body)) return set(ContentKind::kMbox, "mbox");
  if (const MailHead mail = ReadMailHead(body); mail.mail)
    return set(ContentKind::kMail, mail.web_archive ? "mhtml" : "eml");
  if (LooksLikeHtml(body)) return set(ContentKind::kHtml, "html");
  std::string upper(AfterBlankLines(body).substr(0, 16));
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  // A calendar, or one entry of a calendar saved on its own.
  for (std::string_view begin : {"BEGIN:VCALENDAR", "BEGIN:VEVENT", "BEGIN:VTODO", "BEGIN:VJOURNAL"})
    if (StartsWith(upper, begin)) return set(ContentKind::kCalendar, "ics");
  if (StartsWith(upper, "BEGIN:VCARD")) return set(ContentKind::kVcard, "vcf");
  return r;
}

bool LooksLikePostScript(std::string_view head) {
  using std::literals::string_view_literals::operator""sv;
  if (At(head, 0, "\xC5\xD0\xD3\xC6"sv)) return true;  // DOS EPS: a binary header, then the program
  // A printer job: the "universal exit" and PJL lines, then the language.
  if (At(head, 0, "\x1B%-12345X")) {
    const std::size_t language = head.find("@PJL ENTER LANGUAGE");
    return language != std::string_view::npos &&
           head.substr(language, 40).find("POSTSCRIPT") != std::string_view::npos;
  }
  if (!At(head, 0, "%!")) return false;
  const std::string_view first = head.substr(0, head.find_first_of("\r\n"));
  if (first.find("Font") != std::string_view::npos) return false;  // a font program
  return first == "%!" || first.substr(0, 4) == "%!PS";
}

bool LooksLikeHeif(std::string_view head) {
  // An ISO media file's first box, "ftyp": its size, a major brand, a
  // version and the brands it is compatible with.  Videos of the same family
  // (MP4, QuickTime) name other brands.
  if (head.size() < 16 || head.substr(4, 4) != "ftyp") return false;
  const std::uint32_t size = static_cast<std::uint32_t>(static_cast<unsigned char>(head[0])) << 24 |
                             static_cast<std::uint32_t>(static_cast<unsigned char>(head[1])) << 16 |
                             static_cast<std::uint32_t>(static_cast<unsigned char>(head[2])) << 8 |
                             static_cast<unsigned char>(head[3]);
  if (size < 16 || size > 4096 || size % 4 != 0) return false;
  auto picture_brand = [](std::string_view brand) {
    for (std::string_view b : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "mif2", "msf1", "avif", "avis"})
      if (brand == b) return true;
    return false;
  };
  if (picture_brand(head.substr(8, 4))) return true;
  const std::size_t end = std::min<std::size_t>(size, head.size());
  for (std::size_t at = 16; at + 4 <= end; at += 4)
    if (picture_brand(head.substr(at, 4))) return true;
  return false;
}

bool LooksLikePicture(std::string_view head) {
  if (LooksLikeHeif(head)) return true;
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
  // A plain descriptor rather than a stream: most documents are sniffed, and
  // a stream's buffer and locale cost more than the few bytes read.
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};  // a pipe's opening never waits
  if (file.fd < 0) {
    r.kind = ContentKind::kUnreadable;
    return r;
  }
  std::string head(kHeadBytes, '\0');
  head.resize(ReadAt(file.fd, head.data(), head.size(), 0));
  r = SniffHead(head);
  if (r.kind == ContentKind::kCompoundFile) {
    const std::vector<std::string> names = CompoundRootNames(path);
    for (const std::string& name : names) {
      std::string lower = LowerAscii(name);
      if (lower == "worddocument") r.filter = "doc";
      else if ((lower == "workbook" || lower == "book") && r.filter.empty()) r.filter = "xls";
      else if (lower == "powerpoint document" && r.filter.empty()) r.filter = "ppt";
      else if (name == "EncryptedPackage") r.encrypted_package = true;
      else if (name == "\tDRMContent") r.rights_managed = true;
      else if (r.filter.empty() && (lower == "__properties_version1.0" || lower.rfind("__substg1.0_", 0) == 0))
        r.filter = "msg";
    }
    // An Office 2007 and later document, encrypted.
    if (r.encrypted_package && r.filter.empty()) r.filter = "ooxml-encrypted";
    // The compound files of other suites, by their main stream.
    for (const std::string& name : names) {
      if (!r.filter.empty()) break;
      if (name == "VisioDocument") r.filter = "visio";
      else if (name == "Quill") r.filter = "publisher";
      else if (name.rfind("Star", 0) == 0 && name.find("Document") != std::string::npos) r.filter = "staroffice";
      else if (name == "MN0" || name == "NativeContent_MAIN") r.filter = "works";
      else if (name == "PerfectOffice_MAIN") r.filter = "wordperfect";
    }
  } else if (r.kind == ContentKind::kZip) {
    r.filter = ZipFilter(path);
  } else if (r.kind == ContentKind::kUnknown && head.size() == kHeadBytes) {
    // ISO 9660 names itself at the start of the volume descriptors, 32 KiB in.
    char id[5] = {};
    if (ReadAt(file.fd, id, sizeof id, 32769) == sizeof id && std::string_view(id, sizeof id) == "CD001") {
      r.kind = ContentKind::kArchive;
      r.filter = "archive";
    }
  }
  r.text = r.kind == ContentKind::kUnknown && r.filter.empty() && LooksLikeText(head);
  return r;
}

std::optional<std::string> RedirectFor(const std::string& path, std::string_view self) {
  Sniffed s = SniffContent(path);
  // Text under an office document's name: values separated by commas or tabs
  // that a program exported as a "spreadsheet", notes saved as a "document";
  // and under the name .dat, which TNEF streams share with every program's
  // data (an export of records); and under a mailbox's name when no message
  // starts it (notes, a message quoted after some prose).
  static constexpr std::string_view kOfficeFilters[] = {"doc",  "xls", "ppt",  "docx",
                                                        "xlsx", "xlsb", "pptx", "tnef", "mbox"};
  if (s.text && std::find(std::begin(kOfficeFilters), std::end(kOfficeFilters), self) != std::end(kOfficeFilters))
    return std::string("text");
  if (s.filter.empty() || s.filter == self || !FindBuiltinFilter(s.filter)) return std::nullopt;
  // XML is a container for many formats (XHTML, Office 2003 XML, flat ODF):
  // only hand over to the plain XML filter when self cannot read XML at all
  // (Office 2003 XML named .docx or .xlsx, as some programs export it, is
  // read as XML).
  if (s.kind == ContentKind::kXml && (self == "html" || self == "odf")) return std::nullopt;
  // A zip that is no known package may still be a format that self reads
  // from a zip of its own making; only filters that never read zips hand it
  // to the archive filter.
  if (s.kind == ContentKind::kZip && s.filter == "archive") {
    static constexpr std::string_view kNoZipReaders[] = {"text", "pdf",  "rtf",  "html", "xml", "doc", "xls", "ppt",
                                                         "eml",  "msg",  "mbox", "tnef", "pst", "chm", "ics", "vcf",
                                                         "mhtml", "image"};
    if (std::find(std::begin(kNoZipReaders), std::end(kNoZipReaders), self) == std::end(kNoZipReaders))
      return std::nullopt;
  }
  return s.filter;
}

std::optional<ExtractResult> ExtractRedirected(const std::string& path, std::string_view self, TextSink& sink) {
  std::optional<std::string> other = RedirectFor(path, self);
  if (!other) return std::nullopt;
  return ExtractWithBuiltin(*other, path, sink);
}

}  // namespace quarn

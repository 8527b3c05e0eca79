#include "convert/filters/text_filter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "convert/filter.h"

#include "convert/filters/builtin.h"
#include "convert/filters/sniff.h"
#include "convert/filters/common/text_decode.h"

namespace quarn {

namespace {

constexpr std::size_t kBlockBytes = 1024 * 1024;

// Content that is plainly another format: the filter that reads it, or a
// refusal when there is none.  Text-based formats (HTML, XML, mail) stay
// here: a .txt, .md or source file may well hold markup that is meant to be
// read as it is.
std::optional<ExtractResult> OtherFormat(const std::string& path, TextSink& sink) {
  Sniffed s = SniffContent(path);
  const char* what = nullptr;
  switch (s.kind) {
    case ContentKind::kCompoundFile: what = "an OLE2 compound file"; break;
    case ContentKind::kZip: what = "a zip container"; break;
    case ContentKind::kPdf: what = "a PDF document"; break;
    case ContentKind::kRtf: what = "an RTF document"; break;
    case ContentKind::kArchive: what = "an archive or compressed file"; break;
    case ContentKind::kOutlookData: what = "an Outlook data file"; break;
    case ContentKind::kTnef: what = "a TNEF stream"; break;
    case ContentKind::kHelp: what = "a compiled help file"; break;
    case ContentKind::kImage: what = "a picture"; break;
    case ContentKind::kUnknown:
      // A binary format known by its first bytes alone (Excel 2 to 4).
      if (s.filter.empty()) return std::nullopt;
      what = "a binary document";
      break;
    default: return std::nullopt;
  }
  if (!s.filter.empty() && FindBuiltinFilter(s.filter)) return ExtractWithBuiltin(s.filter, path, sink);
  // RTF without its filter is still readable text.
  if (s.kind == ContentKind::kRtf) return std::nullopt;
  return ExtractResult::UnknownFormat(std::string(what) + ", not plain text");
}

// A page a web server made, saved under its script's name: a copy of a
// site holds index.php, news.php and the like as the HTML they served.  A
// whole HTML document (it starts with its doctype or <html>) with no script
// code in its first 64 KB is read as the page; PHP source, which has "<?"
// for its code, stays text.
bool IsServedPage(const std::string& path) {
  if (LowerAscii(ExtensionOf(path)) != ".php") return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string head(64 * 1024, '\0');
  const ssize_t n = ::pread(fd, head.data(), head.size(), 0);
  ::close(fd);
  if (n <= 0) return false;
  head.resize(static_cast<std::size_t>(n));
  if (head.find("<?") != std::string::npos) return false;
  std::string_view s(head);
  if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  const std::string start = LowerAscii(s.substr(0, 14));
  return start.starts_with("<!doctype html") || start.starts_with("<html");
}

class TextFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto other = OtherFormat(path, sink)) return *other;
    if (IsServedPage(path) && FindBuiltinFilter("html")) return ExtractWithBuiltin("html", path, sink);
    FileSource src;
    if (!src.Open(path)) return ExtractResult::Failed(std::string("cannot open the document: ") + std::strerror(errno));
    CharsetGuess guess = DetectCharset(src);
    if (guess.binary) return ExtractResult::UnknownFormat(guess.why);

    TextDecoder decoder(guess.charset);
    // EBCDIC ends its lines with NL, which decodes to U+0085.
    const bool ebcdic = guess.charset == "IBM037" || guess.charset == "IBM500";
    // Left uninitialised: read() fills it, and a small file touches only the
    // pages it needs instead of a zeroed megabyte.
    const std::size_t buffer_size = ReadBufferFor(src, kBlockBytes);
    auto buffer = std::make_unique_for_overwrite<char[]>(buffer_size);
    std::string text;
    std::size_t skip = guess.bom;
    for (;;) {
      std::string_view block(buffer.get(), src.Read(buffer.get(), buffer_size));
      text.clear();
      if (block.empty()) {
        decoder.Finish(text);
      } else {
        std::string_view bytes = block;
        std::size_t s = std::min(skip, bytes.size());
        bytes.remove_prefix(s);
        skip -= s;
        decoder.Decode(bytes, text);
      }
      if (ebcdic)
        for (std::size_t at = 0; (at = text.find("\xC2\x85", at)) != std::string::npos;) text.replace(at, 2, "\n");
      sink.Append(text);
      if (sink.full())
        return ExtractResult::Incomplete("the text was cut at " + std::to_string(sink.limit() >> 20) + " MiB");
      if (block.empty()) break;
    }
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateTextFilter() { return std::make_unique<TextFilter>(); }

}  // namespace quarn

#include "convert/filters/archive/warc_filter.h"

#include <archive.h>
#include <archive_entry.h>
#include <brotli/decode.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/conversion_options.h"
#include "convert/filters/common/item_lines.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

struct ReaderFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;

// A record's header lines may take this much; real ones take a few hundred bytes.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The file's bytes as a stream, decompressed when the whole file is
// compressed (.warc.gz is a gzip member per record, which reads as one).
class Stream {
 public:
  explicit Stream(archive* a) : a_(a) {}

  // The next line without its line end; false at the end of the stream.
  bool Line(std::string& line) {
    line.clear();
    for (;;) {
      if (pos_ == buf_.size() && !Fill()) return !line.empty();
      const std::size_t nl = buf_.find('\n', pos_);
      const std::size_t end = nl == std::string::npos ? buf_.size() : nl;
      if (line.size() < kMaxHeaderBytes) line.append(buf_, pos_, std::min(end - pos_, kMaxHeaderBytes - line.size()));
      pos_ = nl == std::string::npos ? buf_.size() : nl + 1;
      if (nl != std::string::npos) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
    }
  }

  // Takes n bytes, appending them to out unless it is null; the bytes taken.
  std::uint64_t Take(std::uint64_t n, std::string* out) {
    std::uint64_t taken = 0;
    while (taken < n) {
      if (pos_ == buf_.size() && !Fill()) break;
      const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - taken, buf_.size() - pos_));
      if (out) out->append(buf_, pos_, k);
      pos_ += k;
      taken += k;
    }
    return taken;
  }

  bool failed() const { return failed_; }

 private:
  bool Fill() {
    if (ended_) return false;
    buf_.resize(256 * 1024);
    const la_ssize_t n = archive_read_data(a_, buf_.data(), buf_.size());
    if (n <= 0) {
      failed_ = n < 0;
      ended_ = true;
      buf_.clear();
      pos_ = 0;
      return false;
    }
    buf_.resize(static_cast<std::size_t>(n));
    pos_ = 0;
    return true;
  }

  archive* a_;
  std::string buf_;
  std::size_t pos_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// The value of a header field among lines "Name: value" (names in any case).
std::string Field(const std::vector<std::pair<std::string, std::string>>& fields, std::string_view name) {
  for (const auto& [n, v] : fields)
    if (n == name) return v;
  return {};
}

void AddField(std::vector<std::pair<std::string, std::string>>& fields, std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return;
  fields.emplace_back(LowerAscii(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1))));
}

bool Gunzip(std::string_view in, std::string& out, std::uint64_t max) {
  Reader a(archive_read_new());
  if (!a || archive_read_support_filter_gzip(a.get()) != ARCHIVE_OK ||
      archive_read_support_format_raw(a.get()) != ARCHIVE_OK ||
      archive_read_open_memory(a.get(), in.data(), in.size()) != ARCHIVE_OK)
    return false;
  archive_entry* entry = nullptr;
  if (archive_read_next_header(a.get(), &entry) != ARCHIVE_OK) return false;
  std::string block(64 * 1024, '\0');
  for (;;) {
    const la_ssize_t n = archive_read_data(a.get(), block.data(), block.size());
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(block.data(), static_cast<std::size_t>(n));
    if (out.size() > max) return false;
  }
}

// A body sent with "Content-Encoding: deflate": zlib's wrapping as the
// standard says, or the bare deflate stream some servers send instead.
bool Inflate(std::string_view in, std::string& out, std::uint64_t max) {
  for (int window : {15 + 32, -15}) {
    out.clear();
    z_stream z{};
    if (inflateInit2(&z, window) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size(), UINT32_MAX));
    std::string block(64 * 1024, '\0');
    int r = Z_OK;
    while (r == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(block.data());
      z.avail_out = static_cast<uInt>(block.size());
      r = inflate(&z, Z_NO_FLUSH);
      out.append(block.data(), block.size() - z.avail_out);
      if (out.size() > max) r = Z_MEM_ERROR;
      if (r == Z_OK && z.avail_in == 0 && z.avail_out != 0) r = Z_BUF_ERROR;  // cut short
    }
    inflateEnd(&z);
    if (r == Z_STREAM_END) return true;
  }
  return false;
}

// A body sent with "Content-Encoding: br".
bool Unbrotli(std::string_view in, std::string& out, std::uint64_t max) {
  BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
  if (!state) return false;
  std::size_t in_left = in.size();
  const auto* next_in = reinterpret_cast<const std::uint8_t*>(in.data());
  std::string block(64 * 1024, '\0');
  BrotliDecoderResult r = BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
  while (r == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
    std::size_t out_left = block.size();
    auto* next_out = reinterpret_cast<std::uint8_t*>(block.data());
    r = BrotliDecoderDecompressStream(state, &in_left, &next_in, &out_left, &next_out, nullptr);
    out.append(block.data(), block.size() - out_left);
    if (out.size() > max) r = BROTLI_DECODER_RESULT_ERROR;
  }
  BrotliDecoderDestroyInstance(state);
  return r == BROTLI_DECODER_RESULT_SUCCESS;
}

// Content that is no document: what a page shows or runs, not what it says.
bool NotADocument(std::string_view type) {
  for (std::string_view prefix : {"image/", "video/", "audio/", "font/", "application/font", "model/"})
    if (type.substr(0, prefix.size()) == prefix) return true;
  for (std::string_view t : {"text/css", "text/javascript", "application/javascript", "application/x-javascript",
                             "application/ecmascript", "application/wasm", "application/x-shockwave-flash",
                             "application/vnd.ms-fontobject", "application/x-font-woff", "application/ocsp-response",
                             "text/dns"})
    if (type == t) return true;
  return false;
}

// Types that say only "bytes to save": downloads of documents are often
// served so, as are programs and data.
bool JustBytes(std::string_view type) {
  for (std::string_view t : {"application/octet-stream", "binary/octet-stream", "application/x-download",
                             "application/download", "application/force-download", "application/unknown"})
    if (type == t) return true;
  return false;
}

// The URI's path's last part, or "index" for a folder's address.
std::string NameFromUri(std::string_view uri) {
  const std::size_t scheme = uri.find("://");
  std::string_view rest = scheme == std::string_view::npos ? uri : uri.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("?#"));
  const std::size_t slash = rest.find('/');
  std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  const std::size_t last = path.rfind('/');
  std::string_view base = last == std::string_view::npos ? path : path.substr(last + 1);
  std::string name(base.empty() ? std::string_view("index") : base);
  for (char& c : name)
    if (c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) c = '_';
  return name.size() > 120 ? name.substr(name.size() - 120) : name;
}

class WarcReader {
 public:
  WarcReader(Stream& in, TextSink& sink, const ContainerLimits& limits)
      : in_(in), sink_(sink), limits_(limits) {}

  void Read() {
    std::string line;
    bool synced = true;
    while (!sink_.full() && !stopped_) {
      if (!in_.Line(line)) break;
      if (line.empty()) continue;
      if (line.rfind("filedesc://", 0) == 0) arc_ = true;
      if (arc_) {
        ArcRecord(line);
        continue;
      }
      if (line.rfind("WARC/", 0) != 0) {
        // Not where a record starts: damage; the next record is found by its first line.
        if (synced) ++damaged_;
        synced = false;
        continue;
      }
      synced = true;
      ++records_;
      Record();
    }
    if (in_.failed()) ++damaged_;
  }

  std::size_t documents() const { return documents_; }
  std::size_t records() const { return records_; }
  std::size_t damaged() const { return damaged_; }
  std::size_t undecoded() const { return undecoded_; }
  std::size_t failures() const { return failures_; }
  bool stopped() const { return stopped_; }

 private:
  // A record of the ARC format: its line ("address IP date type length",
  // version 2 with more fields before the length, which comes last), then
  // length bytes.  The first record describes the file.
  void ArcRecord(const std::string& line) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0; at < line.size();) {
      const std::size_t space = line.find(' ', at);
      const std::size_t end = space == std::string::npos ? line.size() : space;
      if (end > at) fields.emplace_back(line.data() + at, end - at);
      at = end + 1;
    }
    std::uint64_t length = 0;
    bool number = fields.size() >= 5 && !fields.back().empty() && fields.back().size() <= 18;
    for (char c : number ? fields.back() : std::string_view())
      if (c < '0' || c > '9') number = false;
      else length = length * 10 + static_cast<std::uint64_t>(c - '0');
    if (!number) {
      ++damaged_;
      return;  // the next line that parses is the next record
    }
    ++records_;
    const std::string uri(fields.front());
    const bool http = uri.rfind("http://", 0) == 0 || uri.rfind("https://", 0) == 0;
    std::string block;
    if (!TakeBlock(length, http, &block)) return;
    std::string media(fields[3]), payload;
    if (block.rfind("HTTP/", 0) == 0) {
      if (!HttpPayload(block, &media, &payload)) return;
    } else {
      payload = std::move(block);  // early crawls kept the body alone
    }
    Document(uri, LowerAscii(media == "no-type" ? std::string() : media), payload);
    NoteProgress();
  }

  // Takes the next length bytes, a record's block: into *block when they
  // hold a document and may be read (not larger than a member may be, not
  // past the number of documents an archive may give), else passed over.
  bool TakeBlock(std::uint64_t length, bool document, std::string* block) {
    if (!document || length > limits_.max_member_bytes) {
      in_.Take(length, nullptr);
      return false;
    }
    if (++sink_.budget().members > limits_.max_members) {
      stopped_ = true;
      return false;
    }
    if (in_.Take(length, block) < length) ++damaged_;
    return true;
  }

  void Record() {
    std::vector<std::pair<std::string, std::string>> fields;
    std::string line;
    std::size_t header_bytes = 0;
    while (in_.Line(line) && !line.empty() && header_bytes < kMaxHeaderBytes) {
      header_bytes += line.size();
      AddField(fields, line);
    }
    const std::string length_text = Field(fields, "content-length");
    std::uint64_t length = 0;
    bool number = !length_text.empty();
    for (char c : length_text) {
      if (c < '0' || c > '9' || length > (UINT64_MAX - 9) / 10) {
        number = false;
        break;
      }
      length = length * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!number) {
      ++damaged_;
      return;
    }
    const std::string type = LowerAscii(Field(fields, "warc-type"));
    const bool response = type == "response" && LowerAscii(Field(fields, "content-type")).rfind("application/http", 0) == 0;
    const bool resource = type == "resource";
    std::string block;
    if (!TakeBlock(length, response || resource, &block)) return;
    std::string uri(Trim(Field(fields, "warc-target-uri")));
    if (uri.size() >= 2 && uri.front() == '<' && uri.back() == '>') uri = uri.substr(1, uri.size() - 2);
    // The crawler's own notes (its arguments, its log, name lookups) are no
    // documents of the site.
    if (resource && (uri.rfind("metadata:", 0) == 0 || uri.rfind("dns:", 0) == 0)) return;
    std::string media = LowerAscii(Field(fields, "content-type"));
    std::string payload;
    if (response) {
      if (!HttpPayload(block, &media, &payload)) return;
    } else {
      payload = std::move(block);
    }
    if (media.empty()) media = LowerAscii(Field(fields, "warc-identified-payload-type"));
    Document(uri, media, payload);
    // A web archive of many pages is long work, not a hang.
    NoteProgress();
  }

  // The payload of a successful response, its transfer and content
  // encodings undone; false for other responses and for payloads that
  // cannot be decoded.
  bool HttpPayload(std::string_view block, std::string* media, std::string* payload) {
    // The header ends at a blank line (CR LF, or LF alone from careless servers).
    std::size_t end = block.find("\r\n\r\n");
    std::size_t body = end == std::string_view::npos ? std::string_view::npos : end + 4;
    if (const std::size_t lf = block.find("\n\n"); lf != std::string_view::npos && lf < end) {
      end = lf;
      body = lf + 2;
    }
    if (body == std::string_view::npos) return false;
    const std::string_view head = block.substr(0, end);
    const std::size_t first_end = head.find('\n');
    const std::string_view status = head.substr(0, first_end);
    const std::size_t space = status.find(' ');
    if (status.rfind("HTTP/", 0) != 0 || space == std::string_view::npos) return false;
    const std::string_view code = status.substr(space + 1, 3);
    if (code.size() != 3 || code[0] != '2') return false;  // redirects, errors: no document
    std::vector<std::pair<std::string, std::string>> fields;
    for (std::size_t at = first_end == std::string_view::npos ? head.size() : first_end + 1; at < head.size();) {
      std::size_t nl = head.find('\n', at);
      if (nl == std::string_view::npos) nl = head.size();
      AddField(fields, head.substr(at, nl - at));
      at = nl + 1;
    }
    *media = LowerAscii(Field(fields, "content-type"));
    std::string_view bytes = block.substr(body);
    std::string joined;
    // Crawlers that keep the bytes as sent keep their chunks; others keep
    // the payload whole and rename the field, so the field has the last word.
    if (LowerAscii(Field(fields, "transfer-encoding")).find("chunked") != std::string::npos && Unchunk(bytes, joined))
      bytes = joined;
    const std::string coding = LowerAscii(Field(fields, "content-encoding"));
    if (coding == "gzip" || coding == "x-gzip") {
      if (!Gunzip(bytes, *payload, limits_.max_member_bytes)) {
        // Bytes that are no gzip stream were decoded by the crawler already.
        if (bytes.substr(0, 2) == "\x1F\x8B") {
          ++undecoded_;
          return false;
        }
        payload->assign(bytes);
      }
      return true;
    }
    if (coding == "deflate" || coding == "br") {
      if (!(coding == "br" ? Unbrotli : Inflate)(bytes, *payload, limits_.max_member_bytes)) {
        ++undecoded_;
        return false;
      }
      return true;
    }
    if (!coding.empty() && coding != "identity" && !bytes.empty()) {
      ++undecoded_;  // another encoding (compress, zstd): not undone here
      return false;
    }
    payload->assign(bytes);
    return true;
  }

  void Document(const std::string& uri, std::string_view media, std::string_view payload) {
    const std::string type(Trim(media.substr(0, media.find(';'))));
    if (payload.empty() || NotADocument(type)) return;
    // Bytes served without a type of their own are read when they plainly
    // are a document (a PDF, an office file); programs and data are passed over.
    if (JustBytes(type) && SniffHead(payload.substr(0, 4096)).filter.empty()) return;
    std::string name = NameFromUri(uri);
    // The type the server gave names the format; without one the address's
    // own name, else the content, decides.
    if (const std::string ext = ExtensionForMediaType(type); !ext.empty()) {
      const std::size_t dot = name.rfind('.');
      if (dot == std::string::npos || LowerAscii(name.substr(dot)) != ext) name += ext;
    }
    if (IsPictureAttachment(payload)) return;
    TextSink member = MemberSink(sink_);
    const ExtractResult r = ExtractMemberBytes(folder_, name, payload, member, limits_);
    if (r.status == ExtractResult::Status::kPassword) {
      Header(OneLine(uri.empty() ? name : uri) + " (password-protected)");
      return;
    }
    if (member.empty()) {
      if (r.status == ExtractResult::Status::kFailed) ++failures_;
      return;
    }
    ++documents_;
    Header(OneLine(uri.empty() ? name : uri));
    // The document's last chunk stays open, so that the blank line and the
    // next address join it (a new chunk would start with a space).
    const std::vector<std::string>& chunks = member.chunks();
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      if (i > 0) sink_.EndChunk();
      sink_.Append(chunks[i]);
    }
    sink_.EndLine();
    sink_.CountRecognizedPages(member.recognized_pages());
  }

  void Header(const std::string& line) {
    sink_.EndLine();
    if (!sink_.empty()) sink_.Append("\n");
    sink_.Line(line);
  }

  Stream& in_;
  TextSink& sink_;
  const ContainerLimits& limits_;
  PrivateFolder folder_;
  std::size_t documents_ = 0, records_ = 0, damaged_ = 0, undecoded_ = 0, failures_ = 0;
  bool stopped_ = false;
  bool arc_ = false;
};

class WarcFilter : public BuiltinFilter {
 public:
  explicit WarcFilter(const ContainerLimits& limits) : limits_(limits) {}

  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    // A compressed web archive comes from the archive filter and is read
    // through the decompression; anything else that is not one goes to its filter.
    if (SniffContent(path).kind != ContentKind::kArchive)
      if (auto r = ExtractRedirected(path, "warc", sink)) return *r;
    Reader a(archive_read_new());
    if (!a) return ExtractResult::Failed("out of memory");
    archive_read_support_format_raw(a.get());
    archive_read_support_format_empty(a.get());
    for (auto fn : {archive_read_support_filter_gzip, archive_read_support_filter_bzip2, archive_read_support_filter_xz,
                    archive_read_support_filter_zstd})
      fn(a.get());
    archive_entry* entry = nullptr;
    if (archive_read_open_filename(a.get(), path.c_str(), 256 * 1024) != ARCHIVE_OK ||
        archive_read_next_header(a.get(), &entry) != ARCHIVE_OK)
      return ExtractResult::Failed("the web archive cannot be read");
    Stream in(a.get());
    WarcReader reader(in, sink, limits_);
    reader.Read();
    if (reader.records() == 0)
      return ExtractResult::UnknownFormat("not a web archive: no WARC or ARC record was found in it");
    std::vector<std::string> notes;
    if (sink.full()) notes.push_back("the text was cut at the size limit");
    if (reader.stopped())
      notes.push_back("the archive holds more than " + std::to_string(limits_.max_members) +
                      " records of documents; the rest are left out");
    if (reader.damaged() > 0) notes.push_back(std::to_string(reader.damaged()) + " damaged record(s) were passed over");
    if (reader.undecoded() > 0)
      notes.push_back(std::to_string(reader.undecoded()) + " response(s) in an encoding that is not undone here");
    if (reader.failures() > 0) notes.push_back(std::to_string(reader.failures()) + " document(s) could not be read");
    if (reader.documents() == 0)
      return ExtractResult::Failed(notes.empty() ? "the web archive holds no documents with text" : notes.front());
    return ExtractResult::PartlyRead(notes);
  }

 private:
  ContainerLimits limits_;
};

}  // namespace

std::string ExtensionForMediaType(std::string_view type) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {"text/html", ".html"},
      {"application/xhtml+xml", ".xhtml"},
      {"text/plain", ".txt"},
      {"text/csv", ".csv"},
      {"text/markdown", ".md"},
      {"text/xml", ".xml"},
      {"application/xml", ".xml"},
      {"application/rss+xml", ".xml"},
      {"application/atom+xml", ".xml"},
      {"application/json", ".json"},
      {"application/pdf", ".pdf"},
      {"application/postscript", ".ps"},
      {"application/rtf", ".rtf"},
      {"text/rtf", ".rtf"},
      {"application/msword", ".doc"},
      {"application/vnd.ms-excel", ".xls"},
      {"application/vnd.ms-powerpoint", ".ppt"},
      {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", ".docx"},
      {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", ".xlsx"},
      {"application/vnd.openxmlformats-officedocument.presentationml.presentation", ".pptx"},
      {"application/vnd.oasis.opendocument.text", ".odt"},
      {"application/vnd.oasis.opendocument.spreadsheet", ".ods"},
      {"application/vnd.oasis.opendocument.presentation", ".odp"},
      {"application/epub+zip", ".epub"},
      {"message/rfc822", ".eml"},
      {"text/calendar", ".ics"},
      {"text/vcard", ".vcf"},
      {"text/x-vcard", ".vcf"},
      {"application/zip", ".zip"},
      {"application/x-gzip", ".gz"},
      {"application/gzip", ".gz"},
  };
  const std::string t = LowerAscii(Trim(type.substr(0, type.find(';'))));
  for (const auto& [name, ext] : kTypes)
    if (t == name) return std::string(ext);
  return {};
}

bool Unchunk(std::string_view body, std::string& out) {
  std::size_t at = 0;
  while (at < body.size()) {
    const std::size_t nl = body.find('\n', at);
    if (nl == std::string_view::npos) return false;
    std::uint64_t size = 0;
    std::size_t digits = 0;
    for (std::size_t i = at; i < nl; ++i, ++digits) {
      const char c = body[i];
      int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (v < 0) break;  // extensions after ";", or the line's end
      if (size > (UINT64_MAX >> 4)) return false;
      size = size << 4 | static_cast<std::uint64_t>(v);
    }
    if (digits == 0) return false;
    if (size == 0) return true;
    at = nl + 1;
    if (size > body.size() - at) {
      out.append(body.substr(at));
      return false;
    }
    out.append(body.substr(at, size));
    at += size;
    if (body.substr(at, 2) == "\r\n") at += 2;
    else if (body.substr(at, 1) == "\n") at += 1;
  }
  return true;
}

std::unique_ptr<BuiltinFilter> CreateWarcFilter(const ContainerLimits& limits) {
  return std::make_unique<WarcFilter>(limits);
}

}  // namespace quarn

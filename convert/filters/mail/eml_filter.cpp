#include "convert/filters/mail/eml_filter.h"

#include "convert/filters/markup/html_filter.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

#include "convert/filters/builtin.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Messages inside messages are followed this deep; a deeper one is named only.
constexpr int kMaxMessageDepth = 8;
// Attachments handed to other filters are written to a private file; larger
// ones are listed by name only.
constexpr std::size_t kMaxAttachmentBytes = std::size_t{64} << 20;

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

template <typename T>
struct GUnref {
  void operator()(T* object) const {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GUnref<T>>;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string ExtensionOfName(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : Lower(name.substr(dot));
}

// The built-in filter for an attachment's file name, or empty.
std::string FilterForName(std::string_view name) {
  std::string ext = ExtensionOfName(name);
  if (ext.empty()) return {};
  for (const BuiltinFilterInfo& f : BuiltinFilters())
    for (std::string_view e : f.extensions)
      if (e == ext) return std::string(f.name);
  return {};
}

// A private temporary file, removed when this goes.
class TempFile {
 public:
  explicit TempFile(std::string_view bytes) {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quarn-attachment-XXXXXX";
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) return;
    path_ = tmpl;
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    ok_ = done == bytes.size();
  }
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

// Hands an attachment's bytes to the built-in filter named, introduced by the
// attachment's name.  A message is parsed here, one level deeper, so that
// nesting stays bounded whatever the attachments are called.
void ExtractAttachment(std::string_view name, std::string_view bytes, int depth, TextSink& sink);

class MailWriter {
 public:
  MailWriter(TextSink& sink, int depth) : sink_(sink), depth_(depth) {}

  void Message(GMimeMessage* message) {
    Header("From", AddressList(g_mime_message_get_from(message)));
    Header("To", AddressList(g_mime_message_get_to(message)));
    Header("Cc", AddressList(g_mime_message_get_cc(message)));
    const char* date = g_mime_object_get_header(GMIME_OBJECT(message), "Date");
    Header("Date", date ? g_strstrip(std::string(date).data()) : "");
    const char* subject = g_mime_message_get_subject(message);
    Header("Subject", subject ? subject : "");
    sink_.EndChunk();
    if (GMimeObject* body = g_mime_message_get_mime_part(message)) Part(body);
  }

 private:
  void Header(std::string_view name, std::string value) {
    if (value.empty()) return;
    for (char& c : value)
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    sink_.Append(name);
    sink_.Append(": ");
    sink_.Line(value);
  }

  static std::string AddressList(InternetAddressList* list) {
    if (!list || internet_address_list_length(list) == 0) return {};
    char* text = internet_address_list_to_string(list, nullptr, FALSE);
    std::string out = text ? text : "";
    g_free(text);
    return out;
  }

  static std::string Content(GMimePart* part) {
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    if (!wrapper) return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(wrapper, mem.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return bytes ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) : std::string();
  }

  void Part(GMimeObject* object) {
    if (sink_.full()) return;
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* multi = GMIME_MULTIPART(object);
      int n = g_mime_multipart_get_count(multi);
      GMimeContentType* type = g_mime_object_get_content_type(object);
      if (type && g_mime_content_type_is_type(type, "multipart", "alternative") && n > 0) {
        // One rendering of the same text: the plain one when there is one.
        GMimeObject* chosen = nullptr;
        for (int i = 0; i < n && !chosen; ++i) {
          GMimeObject* child = g_mime_multipart_get_part(multi, i);
          GMimeContentType* ct = g_mime_object_get_content_type(child);
          if (ct && g_mime_content_type_is_type(ct, "text", "plain")) chosen = child;
        }
        Part(chosen ? chosen : g_mime_multipart_get_part(multi, n - 1));
        return;
      }
      for (int i = 0; i < n; ++i) Part(g_mime_multipart_get_part(multi, i));
      return;
    }
    if (GMIME_IS_MESSAGE_PART(object)) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      sink_.EndChunk();
      if (!inner) return;
      if (depth_ + 1 > kMaxMessageDepth) {
        sink_.Line("Attached message (not read: nested too deeply)");
        return;
      }
      sink_.Line("Attached message:");
      MailWriter(sink_, depth_ + 1).Message(inner);
      sink_.EndChunk();
      return;
    }
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    GMimeContentType* type = g_mime_object_get_content_type(object);
    const char* filename = g_mime_part_get_filename(part);
    std::string name = filename ? filename : "";
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    bool attachment = (disposition && g_mime_content_disposition_is_attachment(disposition)) || !name.empty();
    // GMime makes a text part of a "text" type without subtype but calls it
    // application/octet-stream; its content is still text.
    bool text = (type && g_mime_content_type_is_type(type, "text", "*")) || GMIME_IS_TEXT_PART(object);
    const char* charset = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    if (!attachment && text) {
      std::string bytes = Content(part);
      if (type && g_mime_content_type_is_type(type, "text", "html")) {
        MailHtmlToText(bytes, charset ? charset : "", sink_);
      } else {
        sink_.Append(DecodeCharset(bytes, charset ? charset : ""));
      }
      sink_.EndLine();
      sink_.EndChunk();
      return;
    }
    if (!attachment) return;  // an inline image or signature without a name
    sink_.EndChunk();
    sink_.Line("Attachment: " + (name.empty() ? std::string("(unnamed)") : name));
    if (text && !(type && g_mime_content_type_is_type(type, "text", "html"))) {
      sink_.Append(DecodeCharset(Content(part), charset ? charset : ""));
      sink_.EndLine();
    } else {
      ExtractAttachment(name, Content(part), depth_, sink_);
    }
    sink_.EndChunk();
  }

  TextSink& sink_;
  int depth_;
};

// Parses bytes (or the file at path when bytes is null) as one message.
GPtr<GMimeMessage> ParseMessage(GMimeStream* stream) {
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

bool LooksLikeMessage(std::string_view bytes) {
  if (bytes.rfind("From ", 0) == 0) {  // an mbox separator line
    std::size_t nl = bytes.find('\n');
    bytes = nl == std::string_view::npos ? std::string_view() : bytes.substr(nl + 1);
  }
  // The first line must be a header field: a name of printable characters, then ":".
  std::size_t colon = bytes.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon > 76) return false;
  for (char c : bytes.substr(0, colon))
    if (c <= ' ' || c >= 127) return false;
  return true;
}

void ReadMessageBytes(std::string bytes, int depth, TextSink& sink) {
  InitGMime();
  if (bytes.rfind("From ", 0) == 0) bytes.erase(0, std::min(bytes.size(), bytes.find('\n') + 1));
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GPtr<GMimeMessage> message = ParseMessage(stream.get());
  if (message) MailWriter(sink, depth).Message(message.get());
}

void ExtractAttachment(std::string_view name, std::string_view bytes, int depth, TextSink& sink) {
  if (bytes.empty() || bytes.size() > kMaxAttachmentBytes) return;
  TempFile tmp(bytes);
  if (!tmp.ok()) return;
  Sniffed what = SniffContent(tmp.path());
  std::string filter = what.filter.empty() ? FilterForName(name) : what.filter;
  if (what.kind == ContentKind::kMail || filter == "eml") {
    if (depth + 1 > kMaxMessageDepth || !LooksLikeMessage(bytes)) return;
    ReadMessageBytes(std::string(bytes), depth + 1, sink);
    return;
  }
  if (filter.empty() || filter == "text" || !FindBuiltinFilter(filter)) return;
  TextSink inner(sink.limit() - sink.size());
  ExtractResult r = ExtractWithBuiltin(filter, tmp.path(), inner);
  for (const std::string& chunk : inner.chunks()) {
    sink.Append(chunk);
    sink.EndLine();
  }
  if (r.status == ExtractResult::Status::kPassword) sink.Line("(password-protected)");
}

// Outlook .msg: the message's properties are streams named by property id
// and type ("__substg1.0_0037001F": the subject, UTF-16).
std::optional<std::string> MsgProperty(GsfInfile* dir, const char* id) {
  std::string base = std::string("__substg1.0_") + id;
  if (auto v = ReadCompoundStream(dir, (base + "001F").c_str(), 64 << 20)) {
    std::string out;
    AppendUtf16Le(*v, out);
    while (!out.empty() && out.back() == '\0') out.pop_back();
    return out;
  }
  if (auto v = ReadCompoundStream(dir, (base + "001E").c_str(), 64 << 20)) {
    while (!v->empty() && v->back() == '\0') v->pop_back();
    return DecodeCharset(*v, "windows-1252");
  }
  return std::nullopt;
}

ExtractResult ReadMsg(GsfInfile* msg, TextSink& sink) {
  auto header = [&](const char* label, const char* id) {
    if (auto v = MsgProperty(msg, id); v && !v->empty()) sink.Line(std::string(label) + ": " + *v);
  };
  header("From", "0C1A");
  header("To", "0E04");
  header("Cc", "0E03");
  header("Subject", "0037");
  sink.EndChunk();
  if (auto body = MsgProperty(msg, "1000"); body && !body->empty()) {
    sink.Append(*body);
  } else if (auto html = ReadCompoundStream(msg, "__substg1.0_10130102", 64 << 20)) {
    MailHtmlToText(*html, "", sink);
  }
  sink.EndLine();
  sink.EndChunk();
  int n = gsf_infile_num_children(msg);
  for (int i = 0; i < n && !sink.full(); ++i) {
    const char* entry = gsf_infile_name_by_index(msg, i);
    if (!entry || std::string_view(entry).rfind("__attach_version1.0_", 0) != 0) continue;
    std::unique_ptr<GsfInput, GObjectUnref> child(gsf_infile_child_by_index(msg, i));
    if (!child || !GSF_IS_INFILE(child.get())) continue;
    GsfInfile* attach = GSF_INFILE(child.get());
    std::optional<std::string> name = MsgProperty(attach, "3707");
    if (!name || name->empty()) name = MsgProperty(attach, "3704");
    sink.Line("Attachment: " + (name && !name->empty() ? *name : std::string("(unnamed)")));
    if (auto data = ReadCompoundStream(attach, "__substg1.0_37010102", kMaxAttachmentBytes))
      ExtractAttachment(name ? *name : "", *data, 1, sink);
    sink.EndChunk();
  }
  return ExtractResult::Ok();
}

class EmlFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "eml", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.kind == ContentKind::kCompoundFile) {
      CompoundFile file = OpenCompoundFile(path);
      if (file && ReadCompoundStream(file.get(), "__properties_version1.0", 1 << 20)) return ReadMsg(file.get(), sink);
      return ExtractResult::UnknownFormat("not an e-mail message: a compound file without message properties");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return ExtractResult::Failed("cannot open the message");
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (what.kind != ContentKind::kMail && !LooksLikeMessage(bytes))
      return ExtractResult::UnknownFormat("not an e-mail message: no header fields at the start");
    InitGMime();
    ReadMessageBytes(std::move(bytes), 0, sink);
    if (sink.empty()) return ExtractResult::Failed("the message has no readable headers or text");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    return ExtractResult::Ok();
  }
};

// Named character references common in mail.
struct Entity {
  std::string_view name;
  char32_t cp;
};
constexpr Entity kEntities[] = {{"amp", '&'},     {"lt", '<'},       {"gt", '>'},       {"quot", '"'},
                                {"apos", '\''},   {"nbsp", ' '},     {"copy", 0xA9},    {"reg", 0xAE},
                                {"hellip", 0x2026}, {"mdash", 0x2014}, {"ndash", 0x2013}, {"laquo", 0xAB},
                                {"raquo", 0xBB},  {"euro", 0x20AC},  {"rsquo", 0x2019}, {"lsquo", 0x2018},
                                {"rdquo", 0x201D}, {"ldquo", 0x201C}};

}  // namespace

void MailHtmlToText(std::string_view html_bytes, std::string_view charset, TextSink& sink) {
  // Mail HTML is read exactly like a web page, charset from the part first.
  ExtractHtmlText(html_bytes, charset, sink);
}

std::unique_ptr<BuiltinFilter> CreateEmlFilter() { return std::make_unique<EmlFilter>(); }

}  // namespace quarn

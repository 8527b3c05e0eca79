#include "convert/filters/mail/eml_filter.h"

#include "convert/filters/markup/html_filter.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <string>

#include "convert/filters/builtin.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/members.h"
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
  std::call_once(once, [] {
    g_mime_init();
    // Header text in 8-bit bytes, without encoded words, is read as UTF-8
    // when it is, else as windows-1252: its curly quotes and dashes are
    // what such headers hold, where ISO-8859-1 has invisible controls.
    const char* charsets[] = {"UTF-8", "windows-1252", nullptr};
    g_mime_parser_options_set_fallback_charsets(g_mime_parser_options_get_default(), charsets);
  });
}

template <typename T>
struct GUnref {
  void operator()(T* object) const {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GUnref<T>>;

// Hands an attachment's bytes to the filter its name or content calls for,
// one level deeper; a message is parsed here, so that its nesting stays
// bounded whatever the attachment is called.
void ExtractAttachment(std::string_view name, std::string_view bytes, int depth, TextSink& sink,
                       PrivateFolder& folder);

// Text sent as "format=flowed": a line that ends in a space was wrapped by
// the sending program and goes on in the next line of the same quote depth,
// so each paragraph becomes one line again; with "delsp=yes" that space was
// added for the wrap (inside a long word, or in scripts without spaces) and
// is dropped.  A space that starts a line (after its quote marks) was added
// to protect the line and goes; quote marks are kept, one "> " prefix per
// quoted paragraph.  The signature separator "-- " never flows.
std::string UnwrapFlowed(std::string_view text, bool delete_space) {
  std::string out;
  out.reserve(text.size());
  bool open = false;  // the last line flowed: its paragraph goes on
  std::size_t open_depth = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t depth = 0;
    while (depth < line.size() && line[depth] == '>') ++depth;
    line.remove_prefix(depth);
    if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    const bool flowed = !line.empty() && line.back() == ' ' && line != "-- ";
    if (open && depth != open_depth) {
      out += '\n';
      open = false;
    }
    if (!open && depth > 0) out.append(depth, '>').append(line.empty() ? "" : " ");
    if (flowed && delete_space) line.remove_suffix(1);
    out += line;
    open = flowed;
    open_depth = depth;
    if (!flowed) out += '\n';
  }
  if (open) out += '\n';
  return out;
}

bool ParameterIs(GMimeContentType* type, const char* name, const char* value) {
  const char* given = type ? g_mime_content_type_get_parameter(type, name) : nullptr;
  return given && g_ascii_strcasecmp(given, value) == 0;
}

// The words of an RFC 2047 encoded word's payload as bytes.
std::string EncodedWordBytes(char encoding, std::string_view payload) {
  if (encoding == 'B' || encoding == 'b') {
    gsize n = 0;
    std::string text(payload);
    guchar* bytes = g_base64_decode(text.c_str(), &n);
    std::string out(reinterpret_cast<const char*>(bytes), n);
    g_free(bytes);
    return out;
  }
  std::string out;
  for (std::size_t i = 0; i < payload.size(); ++i) {
    if (payload[i] == '_') {
      out.push_back(' ');
    } else if (payload[i] == '=' && i + 2 < payload.size() && g_ascii_isxdigit(payload[i + 1]) &&
               g_ascii_isxdigit(payload[i + 2])) {
      const int high = g_ascii_xdigit_value(payload[i + 1]), low = g_ascii_xdigit_value(payload[i + 2]);
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(payload[i]);
    }
  }
  return out;
}

// The raw value of a header with each encoded word labelled UTF-8 whose
// bytes are not (the sender's own code page, labelled wrongly on the way),
// or labelled with a character set this system does not know, relabelled
// with the code page of its bytes, where the decoder would drop or replace
// every such letter; empty when no word needs it.
std::string RelabelledHeader(GMimeObject* object, const char* name) {
  GMimeHeader* header = g_mime_header_list_get_header(g_mime_object_get_header_list(object), name);
  const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
  if (!raw) return {};
  // Each word is looked for within a bounded reach, so that a header of
  // many "=?" costs time in proportion to its length.
  constexpr std::size_t kMaxHeaderBytes = std::size_t{256} << 10, kMaxLabel = 64, kMaxWord = 4096;
  std::string text(raw);
  if (text.size() > kMaxHeaderBytes) return {};
  bool relabelled = false;
  for (std::size_t at = text.find("=?"); at != std::string::npos; at = text.find("=?", at + 2)) {
    const std::size_t q1 = text.find('?', at + 2);
    if (q1 == std::string::npos || q1 - at > kMaxLabel || q1 + 2 >= text.size() || text[q1 + 2] != '?') continue;
    std::string label = text.substr(at + 2, q1 - at - 2);
    label = label.substr(0, label.find('*'));  // RFC 2231 language
    const std::string known = CharsetForLabel(label);
    if (!known.empty() && known != "UTF-8") continue;
    const std::size_t payload = q1 + 3;
    const std::size_t payload_size = std::string_view(text).substr(payload, kMaxWord).find("?=");
    if (payload_size == std::string_view::npos) continue;
    const std::string bytes = EncodedWordBytes(text[q1 + 1], std::string_view(text).substr(payload, payload_size));
    // A label nobody knows ("x-unknown", a misspelling) is read as UTF-8
    // where the bytes are UTF-8, else in the commonest Western code page.
    const std::string charset = !known.empty()       ? LabelledCharset(bytes, "UTF-8")
                                : IsValidUtf8(bytes) ? std::string("UTF-8")
                                                     : std::string("windows-1252");
    if (charset == known) continue;
    text.replace(at + 2, q1 - at - 2, charset);
    relabelled = true;
  }
  return relabelled ? text : std::string();
}

class MailWriter {
 public:
  MailWriter(TextSink& sink, int depth) : sink_(sink), depth_(depth) {}

  void Message(GMimeMessage* message) {
    Header("From", Addresses(message, "From", g_mime_message_get_from(message)));
    Header("To", Addresses(message, "To", g_mime_message_get_to(message)));
    Header("Cc", Addresses(message, "Cc", g_mime_message_get_cc(message)));
    const char* date = g_mime_object_get_header(GMIME_OBJECT(message), "Date");
    Header("Date", date ? g_strstrip(std::string(date).data()) : "");
    std::string subject = RelabelledHeader(GMIME_OBJECT(message), "Subject");
    if (subject.empty()) {
      const char* decoded = g_mime_message_get_subject(message);
      subject = decoded ? decoded : "";
    } else {
      char* decoded = g_mime_utils_header_decode_text(nullptr, subject.c_str());
      subject = decoded ? g_strstrip(decoded) : "";
      g_free(decoded);
    }
    Header("Subject", subject);
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

  // An address header as the message's parser read it, or read again when
  // an encoded word in it had to be relabelled.
  static std::string Addresses(GMimeMessage* message, const char* name, InternetAddressList* parsed) {
    const std::string relabelled = RelabelledHeader(GMIME_OBJECT(message), name);
    if (relabelled.empty()) return AddressList(parsed);
    GPtr<InternetAddressList> list(internet_address_list_parse(nullptr, relabelled.c_str()));
    return AddressList(list.get());
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
    const char* label = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    if (!attachment && text) {
      std::string bytes = Content(part);
      const std::string charset = LabelledCharset(bytes, label ? label : "");
      if (type && g_mime_content_type_is_type(type, "text", "html")) {
        MailHtmlToText(bytes, charset, sink_);
      } else if (ParameterIs(type, "format", "flowed")) {
        sink_.Append(UnwrapFlowed(DecodeCharset(bytes, charset), ParameterIs(type, "delsp", "yes")));
      } else {
        sink_.Append(DecodeCharset(bytes, charset));
      }
      sink_.EndLine();
      sink_.EndChunk();
      return;
    }
    if (!attachment) return;  // an inline image or signature without a name
    sink_.EndChunk();
    sink_.Line("Attachment: " + (name.empty() ? std::string("(unnamed)") : name));
    if (text && !(type && g_mime_content_type_is_type(type, "text", "html"))) {
      const std::string bytes = Content(part);
      sink_.Append(DecodeCharset(bytes, LabelledCharset(bytes, label ? label : "")));
      sink_.EndLine();
    } else {
      ExtractAttachment(name, Content(part), depth_, sink_, folder_);
    }
    sink_.EndChunk();
  }

  TextSink& sink_;
  int depth_;
  PrivateFolder folder_;
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
  bytes = WrapLongLines(std::move(bytes));
  if (bytes.rfind("From ", 0) == 0) bytes.erase(0, std::min(bytes.size(), bytes.find('\n') + 1));
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GPtr<GMimeMessage> message = ParseMessage(stream.get());
  if (message) MailWriter(sink, depth).Message(message.get());
}

void ExtractAttachment(std::string_view name, std::string_view bytes, int depth, TextSink& sink,
                       PrivateFolder& folder) {
  if (bytes.empty() || bytes.size() > kMaxAttachmentBytes) return;
  if (SniffHead(bytes.substr(0, 4096)).kind == ContentKind::kMail) {
    if (depth + 1 > kMaxMessageDepth || !LooksLikeMessage(bytes)) return;
    ReadMessageBytes(std::string(bytes), depth + 1, sink);
    return;
  }
  if (IsPictureAttachment(bytes)) return;
  TextSink member = MemberSink(sink);
  ExtractResult r = ExtractMemberBytes(folder, name.empty() ? std::string_view("attachment") : name, bytes, member);
  AppendMemberText(member, sink);
  sink.EndLine();
  if (r.status == ExtractResult::Status::kPassword) sink.Line("(password-protected)");
}

class EmlFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "eml", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.kind == ContentKind::kCompoundFile)
      return ExtractResult::UnknownFormat("not an e-mail message: a compound file without message properties");
    std::ifstream in(path, std::ios::binary);
    if (!in) return ExtractResult::Failed("cannot open the message");
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (std::string_view message = AppleMailMessage(bytes); message.size() != bytes.size())
      bytes = std::string(message);
    // A saved message without any header lines is its text alone.
    if (what.kind != ContentKind::kMail && !LooksLikeMessage(bytes)) return ExtractWithBuiltin("text", path, sink);
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

void InitMailLibrary() { InitGMime(); }

std::string WrapLongLines(std::string bytes) {
  constexpr std::size_t kLongest = 4000;
  std::size_t longest = 0;
  for (std::size_t at = 0, next; at < bytes.size(); at = next + 1) {
    next = bytes.find('\n', at);
    if (next == std::string::npos) next = bytes.size();
    longest = std::max(longest, next - at);
  }
  if (longest <= kLongest) return bytes;
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 64);
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    out.push_back(c);
    column = c == '\n' ? 0 : column + 1;
    // Past the limit, break after white space or a tag's end where the line
    // has one; a line of base64 has neither and breaks anywhere.
    if (column >= kLongest && (c == ' ' || c == '\t' || c == '>' || column >= kLongest + 76)) {
      out.push_back('\n');
      column = 0;
    }
  }
  return out;
}

void WriteMailMessage(GMimeMessage* message, TextSink& sink) { MailWriter(sink, 0).Message(message); }

void MailHtmlToText(std::string_view html_bytes, std::string_view charset, TextSink& sink) {
  // Mail HTML is read exactly like a web page, charset from the part first.
  ExtractHtmlText(html_bytes, charset, sink);
}

std::unique_ptr<BuiltinFilter> CreateEmlFilter() { return std::make_unique<EmlFilter>(); }

}  // namespace quarn

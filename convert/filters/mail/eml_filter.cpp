#include "convert/filters/mail/eml_filter.h"

#include "convert/filters/markup/html_filter.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
                       PrivateFolder& folder, std::size_t* encrypted);

// Parses bytes as one message and writes it at depth.
void ReadMessageBytes(std::string bytes, int depth, TextSink& sink, std::size_t* encrypted);

// Bytes decoded from a transfer encoding (base64, quoted-printable,
// uuencode: the lines between "begin" and "end").
std::string TransferDecoded(GMimeContentEncoding encoding, std::string_view in) {
  GMimeEncoding state;
  g_mime_encoding_init_decode(&state, encoding);
  if (encoding == GMIME_CONTENT_ENCODING_UUENCODE) state.state = GMIME_UUDECODE_STATE_BEGIN;
  std::string out(g_mime_encoding_outlen(&state, in.size()) + 16, '\0');
  out.resize(g_mime_encoding_flush(&state, in.data(), in.size(), out.data()));
  return out;
}

// A file uuencoded inside a text: where its "begin" line starts, where the
// line after its "end" starts, its name and its decoded bytes.
struct UuBlock {
  std::size_t begin, end;
  std::string name, data;
};

// The uuencoded files of a text, in order: a line "begin", an octal mode
// and a name, then lines each led by the count of its bytes and holding
// four characters for every three of them, then "end".  A block whose
// lines are not so is text.
std::vector<UuBlock> UuBlocks(std::string_view text) {
  std::vector<UuBlock> out;
  auto line_at = [&](std::size_t at, std::size_t* next) {
    std::size_t end = text.find('\n', at);
    *next = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(at, (end == std::string_view::npos ? text.size() : end) - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  };
  for (std::size_t at = 0; at < text.size();) {
    std::size_t next;
    std::string_view line = line_at(at, &next);
    std::size_t digits = 6;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '7') ++digits;
    if (line.rfind("begin ", 0) != 0 || digits < 9 || digits > 10 || digits + 1 >= line.size() || line[digits] != ' ') {
      at = next;
      continue;
    }
    UuBlock block{at, 0, std::string(line.substr(digits + 1)), {}};
    std::string encoded;
    bool valid = true, ended = false;
    std::size_t scan = next;
    while (valid && scan < text.size()) {
      std::string_view data = line_at(scan, &next);
      scan = next;
      if (data == "end") {
        ended = true;
        break;
      }
      if (data.empty()) continue;
      const std::size_t count = static_cast<std::size_t>((data[0] - ' ') & 63);
      valid = data[0] >= ' ' && data[0] <= '`' && data.size() >= 1 + (count + 2) / 3 * 4;
      encoded.append(data).push_back('\n');
    }
    if (!valid || !ended) {
      at = next;
      continue;
    }
    block.data = TransferDecoded(GMIME_CONTENT_ENCODING_UUENCODE, encoded);
    block.end = scan;
    out.push_back(std::move(block));
    at = scan;
  }
  return out;
}

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
  struct Word {
    std::size_t at, label_end, end;  // "=?", the "?" after the label, past "?="
    std::string known, bytes;
  };
  std::vector<Word> words;
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
    words.push_back({at, q1, payload + payload_size + 2, known,
                     EncodedWordBytes(text[q1 + 1], std::string_view(text).substr(payload, payload_size))});
    at = payload + payload_size;
  }
  // A character may be split between adjacent words (only white space
  // between them, which the decoder drops): such a run is judged whole.
  bool relabelled = false;
  for (std::size_t i = words.size(); i-- > 0;) {
    std::size_t first = i;
    while (first > 0 && words[first - 1].known == words[i].known &&
           text.find_first_not_of(" \t\r\n", words[first - 1].end) == words[first].at)
      --first;
    std::string bytes;
    for (std::size_t k = first; k <= i; ++k) bytes += words[k].bytes;
    // A label nobody knows ("x-unknown", a misspelling) is read as UTF-8
    // where the bytes are UTF-8, else in the commonest Western code page.
    const std::string charset = !words[i].known.empty() ? LabelledCharset(bytes, "UTF-8")
                                : IsValidUtf8(bytes)    ? std::string("UTF-8")
                                                        : std::string("windows-1252");
    if (charset != words[i].known) {
      // From the last word back, so that the earlier positions still hold.
      for (std::size_t k = i + 1; k-- > first;)
        text.replace(words[k].at + 2, words[k].label_end - words[k].at - 2, charset);
      relabelled = true;
    }
    i = first;
  }
  return relabelled ? text : std::string();
}

// Text with the C1 control characters (U+0080 to U+009F) that a Western
// code page's quotes, dashes and euro sign become when decoded as ISO-8859-1
// (a header's encoded word or a file name labelled so) given back as those.
std::string WithWindowsPunctuation(std::string text) {
  for (std::size_t at = 0; (at = text.find('\xC2', at)) != std::string::npos;) {
    const unsigned char next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
    if (next < 0x80 || next > 0x9F) {
      ++at;
      continue;
    }
    const std::string meant = DecodeCharset(std::string(1, static_cast<char>(next)), "windows-1252");
    text.replace(at, 2, meant);
    at += meant.size();
  }
  return text;
}

// One element of BER-encoded data (what S/MIME structures are): where its
// content starts and how long it is (indefinite: up to its end marker).
struct BerElement {
  unsigned char tag = 0;
  std::size_t content = 0, size = 0, end = 0;  // end: past the element
};

// The element at at, or nullopt where the bytes are no element; bounded
// in depth, as an element of indefinite length is measured by its children.
std::optional<BerElement> BerAt(std::string_view der, std::size_t at, int depth = 0) {
  if (depth > 32 || at + 2 > der.size()) return std::nullopt;
  BerElement e;
  e.tag = static_cast<unsigned char>(der[at]);
  if ((e.tag & 0x1F) == 0x1F) return std::nullopt;  // long tags never occur here
  const unsigned char first = static_cast<unsigned char>(der[at + 1]);
  std::size_t pos = at + 2;
  if (first == 0x80) {  // indefinite: children up to 00 00
    if (!(e.tag & 0x20)) return std::nullopt;
    e.content = pos;
    while (pos + 2 <= der.size() && !(der[pos] == 0 && der[pos + 1] == 0)) {
      auto child = BerAt(der, pos, depth + 1);
      if (!child) return std::nullopt;
      pos = child->end;
    }
    if (pos + 2 > der.size()) return std::nullopt;
    e.size = pos - e.content;
    e.end = pos + 2;
    return e;
  }
  std::size_t length = first;
  if (first & 0x80) {
    const int bytes = first & 0x7F;
    if (bytes > 4) return std::nullopt;
    length = 0;
    for (int i = 0; i < bytes; ++i, ++pos) {
      if (pos >= der.size()) return std::nullopt;
      length = length << 8 | static_cast<unsigned char>(der[pos]);
    }
  }
  if (length > der.size() - pos) return std::nullopt;
  e.content = pos;
  e.size = length;
  e.end = pos + length;
  return e;
}

// The children of a constructed element, in order.
std::vector<BerElement> BerChildren(std::string_view der, const BerElement& parent) {
  std::vector<BerElement> out;
  for (std::size_t at = parent.content; at < parent.content + parent.size && out.size() < 64;) {
    auto child = BerAt(der, at);
    if (!child) break;
    out.push_back(*child);
    at = child->end;
  }
  return out;
}

// The bytes of an octet string, primitive or made of pieces.
void BerOctets(std::string_view der, const BerElement& e, std::string& out, int depth = 0) {
  if (e.tag == 0x04) {
    out.append(der.substr(e.content, e.size));
  } else if (e.tag == 0x24 && depth < 8) {
    for (const BerElement& piece : BerChildren(der, e)) BerOctets(der, piece, out, depth + 1);
  }
}

// The content an S/MIME signed-data structure wraps (an "opaque" signed
// message keeps the whole MIME entity inside it); empty when der is not
// such a structure or wraps nothing (a bundle of certificates).
std::string SignedContent(std::string_view der) {
  static constexpr std::string_view kSignedData("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
  auto info = BerAt(der, 0);
  if (!info || info->tag != 0x30) return {};
  auto top = BerChildren(der, *info);
  if (top.size() < 2 || top[0].tag != 0x06 || der.substr(top[0].content, top[0].size) != kSignedData ||
      top[1].tag != 0xA0)
    return {};
  auto wrapped = BerChildren(der, top[1]);
  if (wrapped.empty() || wrapped[0].tag != 0x30) return {};
  auto signed_data = BerChildren(der, wrapped[0]);
  if (signed_data.size() < 3 || signed_data[2].tag != 0x30) return {};
  auto encapsulated = BerChildren(der, signed_data[2]);
  if (encapsulated.size() < 2 || encapsulated[1].tag != 0xA0) return {};
  std::string out;
  for (const BerElement& octets : BerChildren(der, encapsulated[1])) BerOctets(der, octets, out);
  return out;
}

// Text signed or encrypted with PGP in the body itself ("inline"), as a
// mail program that knows PGP shows it: a signed text without the armor
// lines around it, its signature block and the "- " that protects its lines
// starting with a dash; an encrypted block left out and counted in
// *encrypted.  Text without such lines comes back as it is.
std::string WithoutPgpArmor(std::string text, std::size_t* encrypted) {
  if (text.find("-----BEGIN PGP ") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  enum class In { kText, kArmorHeaders, kSigned, kSignature, kEncrypted } in = In::kText;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string_view line(text.data() + at, end - at);
    at = end;
    std::string_view bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r' || bare.back() == ' ')) bare.remove_suffix(1);
    switch (in) {
      case In::kText:
        if (bare == "-----BEGIN PGP SIGNED MESSAGE-----") {
          in = In::kArmorHeaders;
        } else if (bare == "-----BEGIN PGP MESSAGE-----") {
          in = In::kEncrypted;
          ++*encrypted;
        } else {
          out += line;
        }
        break;
      case In::kArmorHeaders:  // "Hash: SHA256" up to a blank line
        if (bare.empty()) in = In::kSigned;
        break;
      case In::kSigned:
        if (bare == "-----BEGIN PGP SIGNATURE-----") {
          in = In::kSignature;
        } else {
          out += line.substr(line.rfind("- ", 0) == 0 ? 2 : 0);
        }
        break;
      case In::kSignature:
        if (bare == "-----END PGP SIGNATURE-----") in = In::kText;
        break;
      case In::kEncrypted:
        if (bare == "-----END PGP MESSAGE-----") in = In::kText;
        break;
    }
  }
  return out;
}

// The text of an enriched ("text/enriched") or older rich ("text/richtext")
// part, without its formatting commands: "<bold>", "</bold>" and the like
// go, and so does a command's parameter ("<param>...</param>") or comment.
// In enriched text a line break is a space and n breaks in a row are n - 1
// line ends, "<<" is "<"; in rich text every line break is a space and
// "<nl>" ends a line, "<lt>" is "<".
std::string EnrichedText(std::string_view in, bool richtext) {
  std::string out;
  out.reserve(in.size());
  int hidden = 0;  // inside <param> or <comment>
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '<') {
      if (!richtext && i + 1 < in.size() && in[i + 1] == '<') {
        if (hidden == 0) out += '<';
        ++i;
        continue;
      }
      const std::size_t close = in.substr(i, 64).find('>');
      if (close != std::string_view::npos) {
        std::string name(in.substr(i + 1, close - 1));
        for (char& n : name) n = g_ascii_tolower(n);
        const bool ending = !name.empty() && name[0] == '/';
        const std::string_view command = std::string_view(name).substr(ending ? 1 : 0);
        if (command == "param" || command == "comment") {
          hidden = ending ? std::max(0, hidden - 1) : hidden + 1;
        } else if (hidden == 0 && richtext && !ending && (command == "nl" || command == "np")) {
          out += '\n';
        } else if (hidden == 0 && richtext && !ending && command == "lt") {
          out += '<';
        }
        i += close;
        continue;
      }
    }
    if (hidden > 0) continue;
    if (c == '\r') continue;
    if (c != '\n') {
      out += c;
      continue;
    }
    std::size_t breaks = 1;
    while (i + 1 < in.size() && (in[i + 1] == '\n' || in[i + 1] == '\r')) breaks += in[++i] == '\n';
    if (richtext || breaks == 1) {
      out += ' ';
    } else {
      out.append(breaks - 1, '\n');
    }
  }
  return out;
}

class MailWriter {
 public:
  MailWriter(TextSink& sink, int depth, std::size_t* encrypted) : sink_(sink), depth_(depth), encrypted_(encrypted) {}

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
    value = WithWindowsPunctuation(std::move(value));
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

  // True for S/MIME encrypted content: so labelled, or, without a label,
  // a PKCS #7 structure of the enveloped-data kind (not signed data, nor a
  // bundle of certificates).
  static bool IsEnvelope(GMimeContentType* type, GMimePart* part) {
    if (const char* kind = g_mime_content_type_get_parameter(type, "smime-type"))
      return g_ascii_strcasecmp(kind, "enveloped-data") == 0 || g_ascii_strcasecmp(kind, "authEnveloped-data") == 0;
    static constexpr std::string_view kEnvelopedData("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x03", 11);
    return Content(part).substr(0, 32).find(kEnvelopedData) != std::string::npos;
  }

  static bool HasWords(GMimeObject* object) {
    if (!GMIME_IS_PART(object)) return true;
    const std::string bytes = Content(GMIME_PART(object));
    return bytes.find_first_not_of(" \t\r\n") != std::string::npos;
  }

  void Part(GMimeObject* object) {
    if (sink_.full()) return;
    GMimeContentType* type = g_mime_object_get_content_type(object);
    auto is = [type](const char* media, const char* sub) {
      return type && g_mime_content_type_is_type(type, media, sub);
    };
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* multi = GMIME_MULTIPART(object);
      const int n = g_mime_multipart_get_count(multi);
      if (is("multipart", "alternative") && n > 0) {
        Alternative(multi, n);
        return;
      }
      if (is("multipart", "encrypted")) {
        ++*encrypted_;  // PGP: a version part and the encrypted bytes, no text
        return;
      }
      // A signed message: the content, not the signature that follows it.
      if (is("multipart", "signed") && n > 0) {
        Part(g_mime_multipart_get_part(multi, 0));
        return;
      }
      // The pictures an HTML page shows in place are no attachments.
      const bool related = is("multipart", "related");
      for (int i = 0; i < n; ++i) {
        GMimeObject* child = g_mime_multipart_get_part(multi, i);
        GMimeContentType* ct = g_mime_object_get_content_type(child);
        if (related && i > 0 && ct && g_mime_content_type_is_type(ct, "image", "*") &&
            g_mime_object_get_content_id(child))
          continue;
        Part(child);
      }
      return;
    }
    if (GMIME_IS_MESSAGE_PART(object)) {
      AttachedMessage(object);
      return;
    }
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    const char* filename = g_mime_part_get_filename(part);
    std::string name = filename ? WithWindowsPunctuation(filename) : "";
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    bool attachment = (disposition && g_mime_content_disposition_is_attachment(disposition)) || !name.empty();
    // A message sent with a transfer encoding (base64, quoted-printable)
    // is a plain part to the parser; decoded, it is read as a message.
    if (is("message", "rfc822") || is("message", "global") || is("message", "news")) {
      sink_.EndChunk();
      if (depth_ + 1 > kMaxMessageDepth) {
        sink_.Line("Attached message (not read: nested too deeply)");
        return;
      }
      sink_.Line("Attached message:");
      ReadMessageBytes(Content(part), depth_ + 1, sink_, encrypted_);
      sink_.EndChunk();
      return;
    }
    // S/MIME: an encrypted body has no text to read.
    if (is("application", "pkcs7-mime") || is("application", "x-pkcs7-mime")) {
      if (IsEnvelope(type, part)) {
        ++*encrypted_;
        return;
      }
      // Signed the "opaque" way: the message's content is inside the signature.
      if (const std::string inner = SignedContent(Content(part)); !inner.empty() && depth_ + 1 <= kMaxMessageDepth) {
        GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(inner.data(), inner.size()));
        GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
        if (GPtr<GMimeObject> entity{g_mime_parser_construct_part(parser.get(), nullptr)}) {
          MailWriter(sink_, depth_ + 1, encrypted_).Part(entity.get());
          return;
        }
      }
    }
    // A delivery report's status fields (recipient, action, diagnostic)
    // read as written; the returned message's headers as a message's.
    if (is("message", "delivery-status") || is("message", "global-delivery-status") ||
        is("message", "disposition-notification")) {
      sink_.EndChunk();
      sink_.Append(DecodeCharset(Content(part), "UTF-8"));
      sink_.EndLine();
      sink_.EndChunk();
      return;
    }
    if (is("message", "rfc822-headers") || is("text", "rfc822-headers") || is("message", "global-headers")) {
      sink_.EndChunk();
      if (depth_ + 1 > kMaxMessageDepth) return;
      sink_.Line("Attached message:");
      ReadMessageBytes(Content(part) + "\n", depth_ + 1, sink_, encrypted_);
      sink_.EndChunk();
      return;
    }
    // Calendars (an invitation's time and place), cards and RTF are read by
    // their own filters, in place when they are the body.
    const char* structured = is("text", "calendar") || is("application", "ics") ? ".ics"
                             : is("text", "vcard") || is("text", "x-vcard") || is("text", "directory") ? ".vcf"
                             : is("text", "rtf") || is("application", "rtf") ? ".rtf"
                                                                               : nullptr;
    if (structured && !attachment) {
      sink_.EndChunk();
      ExtractAttachment(std::string("body") + structured, Content(part), depth_, sink_, folder_, encrypted_);
      sink_.EndChunk();
      return;
    }
    // GMime makes a text part of a "text" type without subtype but calls it
    // application/octet-stream; its content is still text.
    bool text = !structured && (is("text", "*") || GMIME_IS_TEXT_PART(object));
    const char* label = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    std::string text_bytes;  // a text part's content, decoded once
    if (text) {
      // A "text" part that holds a zip, a picture or other binary data (as
      // Word labels a saved page's theme) is read by its content, never
      // shown as characters.
      text_bytes = Content(part);
      const std::string_view head = std::string_view(text_bytes).substr(0, 4096);
      const ContentKind kind = SniffHead(head).kind;
      if (kind == ContentKind::kZip || kind == ContentKind::kCompoundFile || kind == ContentKind::kPdf ||
          kind == ContentKind::kImage || kind == ContentKind::kArchive || LooksLikeBinary(head))
        text = false;
    }
    if (!attachment && text) {
      std::string& bytes = text_bytes;
      const std::string charset = LabelledCharset(bytes, label ? label : "");
      if (is("text", "html")) {
        MailHtmlToText(bytes, charset, sink_);
      } else if (is("text", "enriched") || is("text", "richtext")) {
        sink_.Append(EnrichedText(DecodeCharset(bytes, charset), is("text", "richtext")));
      } else {
        PlainText(bytes, charset, ParameterIs(type, "format", "flowed"), ParameterIs(type, "delsp", "yes"));
      }
      sink_.EndLine();
      sink_.EndChunk();
      return;
    }
    if (!attachment) return;  // an inline image or signature without a name
    sink_.EndChunk();
    sink_.Line("Attachment: " + (name.empty() ? std::string("(unnamed)") : name));
    if (text && !is("text", "html")) {
      const std::string& bytes = text_bytes;
      sink_.Append(DecodeCharset(bytes, LabelledCharset(bytes, label ? label : "")));
      sink_.EndLine();
    } else {
      std::string member = name;
      if (structured && !g_str_has_suffix(member.c_str(), structured)) member += structured;
      ExtractAttachment(member, Content(part), depth_, sink_, folder_, encrypted_);
    }
    sink_.EndChunk();
  }

  // One rendering of the same text: the plain one when it has words, else
  // the last (the richest) one; a calendar among them (an invitation) is
  // read besides, for the meeting's time and place.
  void Alternative(GMimeMultipart* multi, int n) {
    GMimeObject *plain = nullptr, *calendar = nullptr, *richest = nullptr;
    for (int i = 0; i < n; ++i) {
      GMimeObject* child = g_mime_multipart_get_part(multi, i);
      GMimeContentType* ct = g_mime_object_get_content_type(child);
      if (ct && g_mime_content_type_is_type(ct, "text", "calendar")) {
        if (!calendar) calendar = child;
        continue;
      }
      if (!plain && ct && g_mime_content_type_is_type(ct, "text", "plain") && HasWords(child)) plain = child;
      richest = child;
    }
    if (GMimeObject* chosen = plain ? plain : richest) Part(chosen);
    if (calendar) Part(calendar);
  }

  // An attached or forwarded message, with its headers.
  void AttachedMessage(GMimeObject* object) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    sink_.EndChunk();
    if (!inner) return;
    if (depth_ + 1 > kMaxMessageDepth) {
      sink_.Line("Attached message (not read: nested too deeply)");
      return;
    }
    sink_.Line("Attached message:");
    MailWriter(sink_, depth_ + 1, encrypted_).Message(inner);
    sink_.EndChunk();
  }

  // A plain text part; a file sent inside it uuencoded ("begin 644 name"
  // ... "end") is read as an attachment in its place.
  void PlainText(const std::string& bytes, const std::string& charset, bool flowed, bool delete_space) {
    std::size_t at = 0;
    for (const UuBlock& block : UuBlocks(bytes)) {
      Text(std::string_view(bytes).substr(at, block.begin - at), charset, flowed, delete_space);
      sink_.EndLine();
      sink_.EndChunk();
      sink_.Line("Attachment: " + DecodeCharset(block.name, charset));
      ExtractAttachment(block.name, block.data, depth_, sink_, folder_, encrypted_);
      sink_.EndChunk();
      at = block.end;
    }
    Text(std::string_view(bytes).substr(at), charset, flowed, delete_space);
  }

  void Text(std::string_view bytes, const std::string& charset, bool flowed, bool delete_space) {
    std::string text = WithoutPgpArmor(DecodeCharset(bytes, charset), encrypted_);
    sink_.Append(flowed ? UnwrapFlowed(text, delete_space) : text);
  }

  TextSink& sink_;
  int depth_;
  std::size_t* encrypted_;  // encrypted bodies met, in every message of the document
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

void ReadMessageBytes(std::string bytes, int depth, TextSink& sink, std::size_t* encrypted) {
  InitGMime();
  bytes = WrapLongLines(std::move(bytes));
  if (bytes.rfind("From ", 0) == 0) bytes.erase(0, std::min(bytes.size(), bytes.find('\n') + 1));
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GPtr<GMimeMessage> message = ParseMessage(stream.get());
  if (message) MailWriter(sink, depth, encrypted).Message(message.get());
}

void ExtractAttachment(std::string_view name, std::string_view bytes, int depth, TextSink& sink,
                       PrivateFolder& folder, std::size_t* encrypted) {
  if (bytes.empty() || bytes.size() > kMaxAttachmentBytes) return;
  if (SniffHead(bytes.substr(0, 4096)).kind == ContentKind::kMail) {
    if (depth + 1 > kMaxMessageDepth || !LooksLikeMessage(bytes)) return;
    ReadMessageBytes(std::string(bytes), depth + 1, sink, encrypted);
    return;
  }
  if (IsPictureAttachment(bytes)) return;
  TextSink member = MemberSink(sink);
  ExtractResult r = ExtractMemberBytes(folder, name.empty() ? std::string_view("attachment") : name, bytes, member);
  AppendMemberLines(member, sink);
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
    std::size_t encrypted = 0;
    ReadMessageBytes(std::move(bytes), 0, sink, &encrypted);
    if (sink.empty()) return ExtractResult::Failed("the message has no readable headers or text");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (encrypted > 0) return ExtractResult::Incomplete(EncryptedReason(encrypted));
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

void WriteMailMessage(GMimeMessage* message, TextSink& sink, std::size_t* encrypted) {
  MailWriter(sink, 0, encrypted).Message(message);
}

bool WriteFolderMessage(std::string bytes, TextSink& sink, std::size_t* written, std::size_t* encrypted) {
  InitGMime();
  bytes = WrapLongLines(std::move(bytes));
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GPtr<GMimeMessage> message = ParseMessage(stream.get());
  if (!message) return false;
  if ((*written)++ > 0) {
    sink.EndLine();
    sink.Line("\n----------------------------------------");
    sink.EndChunk();
  }
  MailWriter(sink, 0, encrypted).Message(message.get());
  return true;
}

std::string EncryptedReason(std::size_t encrypted) {
  return encrypted == 1 ? "the message body is encrypted (S/MIME or PGP) and was not read"
                        : std::to_string(encrypted) + " encrypted message bodies (S/MIME or PGP) were not read";
}

void MailHtmlToText(std::string_view html_bytes, std::string_view charset, TextSink& sink) {
  // Mail HTML is read like a web page, charset from the part first; but no
  // mail program shows the page's <title>.
  ExtractHtmlText(html_bytes, charset, sink, HtmlTitle::kDropped);
}

std::unique_ptr<BuiltinFilter> CreateEmlFilter() { return std::make_unique<EmlFilter>(); }

}  // namespace quarn

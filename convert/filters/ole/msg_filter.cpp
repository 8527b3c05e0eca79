#include "convert/filters/ole/msg_filter.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "convert/filters/common/mail_date.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/members.h"
#include "convert/filters/ole/lzfu.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Property streams are named "__substg1.0_" + tag: the property id, then its
// type: 001F UTF-16 text, 001E 8-bit text, 0102 bytes, 000D a storage.
constexpr std::size_t kMaxPropertyBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxAttachmentBytes = std::size_t{512} << 20;

// Property ids.
constexpr uint16_t kSubject = 0x0037, kClientSubmitTime = 0x0039, kSentRepresentingName = 0x0042,
                   kSentRepresentingSmtp = 0x5D02, kSentRepresentingEmail = 0x0065, kTransportHeaders = 0x007D,
                   kRecipientType = 0x0C15, kSenderName = 0x0C1A, kSenderEmail = 0x0C1F, kSenderSmtp = 0x5D01,
                   kDisplayCc = 0x0E03, kDisplayTo = 0x0E04, kDeliveryTime = 0x0E06, kBody = 0x1000,
                   kRtfCompressed = 0x1009, kHtml = 0x1013, kDisplayName = 0x3001, kEmailAddress = 0x3003,
                   kAttachData = 0x3701, kAttachFilename = 0x3704, kAttachMethod = 0x3705,
                   kAttachLongFilename = 0x3707, kAttachPathname = 0x3708, kAttachLongPathname = 0x370D,
                   kSmtpAddress = 0x39FE, kInternetCodePage = 0x3FDE,
                   kMessageLocale = 0x3FF1, kMessageCodePage = 0x3FFD;

constexpr uint16_t kMessageClass = 0x001A, kStartDate = 0x0060, kEndDate = 0x0061, kBusinessPhone = 0x3A08,
                   kHomePhone = 0x3A09, kBusinessAddress = 0x3A15, kCompanyName = 0x3A16, kTitle = 0x3A17,
                   kDepartment = 0x3A18, kMobilePhone = 0x3A1C, kBusinessFax = 0x3A24, kHomePage = 0x3A51;

constexpr int kAttachEmbeddedMessage = 5;

// The sets of named properties an item's details live in, as stored (a
// GUID's little-endian bytes), and the numbers of the properties read.
constexpr std::string_view kAppointmentSet("\x02\x20\x06\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
constexpr std::string_view kTaskSet("\x03\x20\x06\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
constexpr std::string_view kAddressSet("\x04\x20\x06\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
constexpr uint32_t kLidLocation = 0x8208, kLidStart = 0x820D, kLidEnd = 0x820E, kLidTaskStart = 0x8104,
                   kLidTaskDue = 0x8105, kLidHomeAddress = 0x801A, kLidWorkAddress = 0x801B,
                   kLidEmail1 = 0x8083, kLidEmail2 = 0x8093, kLidEmail3 = 0x80A3;

std::string Tag(uint16_t id, const char* type) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "__substg1.0_%04X%s", id, type);
  return buf;
}

// The iconv name of a Windows code page.
std::string CodePageName(uint32_t cp) {
  switch (cp) {
    case 0: return "windows-1252";
    case 65001: return "UTF-8";
    case 20127: return "US-ASCII";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28595: return "ISO-8859-5";
    case 28597: return "ISO-8859-7";
    case 28605: return "ISO-8859-15";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 52936: return "HZ-GB-2312";
    case 54936: return "GB18030";
    default: break;
  }
  if (cp == 874 || (cp >= 1250 && cp <= 1258)) return "windows-" + std::to_string(cp);
  return "CP" + std::to_string(cp);
}

// How a message's 8-bit text is read.  Its 8-bit properties are in the
// message's code page, its HTML body in the Internet code page; each stands
// in for the other when missing.  A code page that says UTF-8 over bytes that
// are not UTF-8 (a subject typed in the sender's Windows code page) gives way
// to the code page of the message's locale.
struct CodePages {
  std::string strings = "windows-1252", body = "windows-1252", fallback = "windows-1252";

  std::string Decode(const std::string& bytes, const std::string& code_page) const {
    if (code_page == "UTF-8" && !IsValidUtf8(bytes)) return DecodeCharset(bytes, fallback);
    return DecodeCharset(bytes, code_page);
  }
};

// One level of a message: the top-level message, an attached message, an
// attachment or a recipient, each a storage with its own properties.
class Storage {
 public:
  // header: the bytes before the first property in "__properties_version1.0"
  // (32 for the message, 24 for an attached message, 8 for the others).
  Storage(GsfInfile* dir, std::size_t header) : dir_(dir) {
    if (auto props = ReadCompoundStream(dir, "__properties_version1.0", 1 << 20)) {
      for (std::size_t at = header; at + 16 <= props->size(); at += 16) {
        uint32_t tag = Le32(*props, at);
        fixed_.push_back({static_cast<uint16_t>(tag >> 16), static_cast<uint16_t>(tag & 0xFFFF),
                          props->substr(at + 8, 8)});
      }
    }
  }

  GsfInfile* dir() const { return dir_; }

  // A fixed-size property (a number, a time), as its eight value bytes.
  std::optional<std::string> Fixed(uint16_t id) const {
    for (const auto& p : fixed_)
      if (p.id == id) return p.value;
    return std::nullopt;
  }
  std::optional<uint32_t> Long(uint16_t id) const {
    auto v = Fixed(id);
    return v ? std::optional<uint32_t>(Le32(*v, 0)) : std::nullopt;
  }

  // A text property, in UTF-8: UTF-16 as stored, else 8-bit text in the
  // message's code page.
  std::string Text(uint16_t id, const CodePages& cp) const {
    std::string out;
    if (auto v = ReadCompoundStream(dir_, Tag(id, "001F").c_str(), kMaxPropertyBytes)) {
      AppendUtf16Le(*v, out);
    } else if (auto a = ReadCompoundStream(dir_, Tag(id, "001E").c_str(), kMaxPropertyBytes)) {
      out = cp.Decode(*a, cp.strings);
    }
    while (!out.empty() && out.back() == '\0') out.pop_back();
    return out;
  }

  std::optional<std::string> Bytes(uint16_t id, std::size_t max = kMaxPropertyBytes) const {
    return ReadCompoundStream(dir_, Tag(id, "0102").c_str(), max);
  }

  // The sub-storages whose names start with prefix, in directory order.
  std::vector<std::unique_ptr<GsfInput, GObjectUnref>> Children(std::string_view prefix) const {
    std::vector<std::unique_ptr<GsfInput, GObjectUnref>> out;
    int n = gsf_infile_num_children(dir_);
    for (int i = 0; i < n && i < 100000; ++i) {
      const char* name = gsf_infile_name_by_index(dir_, i);
      if (!name || std::string_view(name).substr(0, prefix.size()) != prefix) continue;
      std::unique_ptr<GsfInput, GObjectUnref> child(gsf_infile_child_by_index(dir_, i));
      if (child && GSF_IS_INFILE(child.get())) out.push_back(std::move(child));
    }
    return out;
  }

 private:
  struct Property {
    uint16_t id, type;
    std::string value;
  };
  GsfInfile* dir_;
  std::vector<Property> fixed_;
};

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// "Name <address>", as a mail header shows a mailbox; a name with characters
// that have a meaning there is quoted.
std::string Mailbox(const std::string& name, const std::string& address) {
  if (address.empty() || address == name) return name;
  if (name.empty()) return address;
  std::string shown = name;
  if (name.find_first_of(",;:<>@\"()[]\\") != std::string::npos) {
    shown = "\"";
    for (char c : name) {
      if (c == '"' || c == '\\') shown.push_back('\\');
      shown.push_back(c);
    }
    shown.push_back('"');
  }
  return shown + " <" + address + ">";
}

// A FILETIME (100 ns since 1601) as a mail header writes a date, in UTC.
std::string MailDate(const std::string& filetime) {
  return FileTimeAsMailDate(static_cast<uint64_t>(Le32(filetime, 0)) | static_cast<uint64_t>(Le32(filetime, 4)) << 32);
}

// A header value with its encoded words ("=?UTF-8?B?...?=", "=?iso-8859-1?Q?...?=")
// decoded; the white space between two of them goes, and the bytes of
// adjacent words in one character set are decoded together, as a sender
// may split a character between them.  Undecodable words stay as written.
std::string DecodedWords(std::string_view value) {
  std::string out, run_bytes, run_charset;
  auto flush = [&] {
    if (run_charset.empty()) return;
    out += DecodeCharset(run_bytes, LabelledCharset(run_bytes, run_charset));
    run_bytes.clear();
    run_charset.clear();
  };
  std::size_t at = 0;
  while (at < value.size()) {
    const std::size_t start = value.find("=?", at);
    std::size_t q1 = std::string_view::npos, q2 = std::string_view::npos, end = std::string_view::npos;
    if (start != std::string_view::npos) {
      q1 = value.substr(0, std::min(value.size(), start + 66)).find('?', start + 2);
      if (q1 != std::string_view::npos && q1 + 2 < value.size() && value[q1 + 2] == '?' && q1 - start <= 64) {
        q2 = q1 + 2;
        // Within a bounded reach, so that many "=?" cost time in proportion to their number.
        const std::size_t size = value.substr(q2 + 1, 1024).find("?=");
        if (size != std::string_view::npos) end = q2 + 1 + size;
      }
    }
    if (start == std::string_view::npos || end == std::string_view::npos) {
      // No word here: the text up to past this "=?" stays as written.
      flush();
      const std::size_t upto = start == std::string_view::npos ? value.size() : start + 2;
      out += value.substr(at, upto - at);
      at = upto;
      continue;
    }
    // Only white space between two encoded words: it goes.
    std::string_view between = value.substr(at, start - at);
    if (run_charset.empty() || between.find_first_not_of(" \t") != std::string_view::npos) {
      flush();
      out += between;
    }
    std::string charset(value.substr(start + 2, q1 - start - 2));
    charset = charset.substr(0, charset.find('*'));  // a language after the character set
    const char encoding = static_cast<char>(g_ascii_toupper(value[q1 + 1]));
    std::string_view payload = value.substr(q2 + 1, end - q2 - 1);
    std::string bytes;
    if (encoding == 'B') {
      std::string text(payload);
      gsize n = 0;
      guchar* decoded = g_base64_decode(text.c_str(), &n);
      bytes.assign(reinterpret_cast<const char*>(decoded), n);
      g_free(decoded);
    } else if (encoding == 'Q') {
      for (std::size_t i = 0; i < payload.size(); ++i) {
        if (payload[i] == '_') {
          bytes.push_back(' ');
        } else if (payload[i] == '=' && i + 2 < payload.size() && g_ascii_isxdigit(payload[i + 1]) &&
                   g_ascii_isxdigit(payload[i + 2])) {
          bytes.push_back(
              static_cast<char>(g_ascii_xdigit_value(payload[i + 1]) * 16 + g_ascii_xdigit_value(payload[i + 2])));
          i += 2;
        } else {
          bytes.push_back(payload[i]);
        }
      }
    } else {
      flush();
      out += value.substr(start, end + 2 - start);
      at = end + 2;
      continue;
    }
    if (!run_charset.empty() && g_ascii_strcasecmp(run_charset.c_str(), charset.c_str()) != 0) flush();
    run_charset = charset;
    run_bytes += bytes;
    at = end + 2;
  }
  flush();
  return out;
}

// The value of one header field in a block of transport headers, unfolded.
std::string HeaderField(std::string_view headers, std::string_view field) {
  std::size_t pos = 0;
  while (pos < headers.size()) {
    std::size_t end = headers.find('\n', pos);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(pos, end - pos);
    if (line.size() > field.size() && line[field.size()] == ':') {
      bool same = true;
      for (std::size_t i = 0; i < field.size() && same; ++i)
        same = (line[i] | 0x20) == (field[i] | 0x20);
      if (same) {
        std::string value(line.substr(field.size() + 1));
        if (!value.empty() && value.back() == '\r') value.pop_back();
        for (std::size_t next = end + 1; next < headers.size() && (headers[next] == ' ' || headers[next] == '\t');) {
          std::size_t e = headers.find('\n', next);
          if (e == std::string_view::npos) e = headers.size();
          // A folded line goes on after one space, whatever white space began it.
          std::string_view more = headers.substr(next, e - next);
          more.remove_prefix(std::min(more.size(), more.find_first_not_of(" \t")));
          if (!more.empty() && more.back() == '\r') more.remove_suffix(1);
          value += " " + std::string(more);
          next = e + 1;
        }
        std::string v = DecodedWords(OneLine(value));
        std::size_t first = v.find_first_not_of(' ');
        return first == std::string::npos ? std::string() : v.substr(first);
      }
    }
    pos = end + 1;
  }
  return {};
}

// Where a file keeps its named properties: each (set, number) has the id
// its streams and fixed properties are stored under (0x8000 and up), listed
// in the root's "__nameid_version1.0" storage, for every item in the file.
class NamedProperties {
 public:
  explicit NamedProperties(GsfInfile* root) {
    std::unique_ptr<GsfInput, GObjectUnref> child(gsf_infile_child_by_name(root, "__nameid_version1.0"));
    if (!child || !GSF_IS_INFILE(child.get())) return;
    GsfInfile* dir = GSF_INFILE(child.get());
    const auto sets = ReadCompoundStream(dir, "__substg1.0_00020102", 1 << 20);
    const auto entries = ReadCompoundStream(dir, "__substg1.0_00030102", 1 << 20);
    if (!sets || !entries) return;
    for (std::size_t at = 0; at + 8 <= entries->size(); at += 8) {
      const uint32_t number = Le32(*entries, at), where = Le32(*entries, at + 4);
      if (where & 1) continue;  // a property named by a string
      // Sets 1 and 2 are the two fixed ones; 3 and up are listed in order.
      const std::size_t set = (where >> 1) & 0x7FFF;
      if (set < 3 || (set - 3) * 16 + 16 > sets->size()) continue;
      ids_.emplace(std::make_pair(sets->substr((set - 3) * 16, 16), number),
                   static_cast<uint16_t>(0x8000 + (where >> 16)));
    }
  }

  std::optional<uint16_t> Id(std::string_view set, uint32_t number) const {
    auto it = ids_.find({std::string(set), number});
    return it == ids_.end() ? std::nullopt : std::optional<uint16_t>(it->second);
  }

 private:
  std::map<std::pair<std::string, uint32_t>, uint16_t> ids_;
};

// A FILETIME property as a calendar shows a time, or its day alone.
std::string CalendarTime(const std::string& filetime, bool day_only) {
  return FileTimeAsCalendarTime(
      static_cast<uint64_t>(Le32(filetime, 0)) | static_cast<uint64_t>(Le32(filetime, 4)) << 32, day_only);
}

// An HTML body without the <title> of its head, which no mail program shows
// (Outlook often repeats the subject there).
std::string WithoutTitle(std::string html) {
  std::string lower = html.substr(0, std::min<std::size_t>(html.size(), 64 << 10));
  for (char& c : lower) c = g_ascii_tolower(c);
  const std::size_t body = lower.find("<body");
  const std::size_t open = lower.find("<title");
  if (open == std::string::npos || open > body) return html;
  const std::size_t close = lower.find("</title>", open);
  if (close == std::string::npos || close > body) return html;
  html.erase(open, close + 8 - open);
  return html;
}

class MsgReader {
 public:
  MsgReader(TextSink& sink, const NamedProperties& named) : sink_(sink), named_(named) {}

  void Message(const Storage& msg, int level) {
    const CodePages cp = CodePagesOf(msg);
    std::string headers = msg.Text(kTransportHeaders, cp);
    std::string from_name = msg.Text(kSenderName, cp);
    std::string from_address = Address(msg, kSenderSmtp, kSenderEmail, cp);
    if (from_name.empty() && from_address.empty()) {
      from_name = msg.Text(kSentRepresentingName, cp);
      from_address = Address(msg, kSentRepresentingSmtp, kSentRepresentingEmail, cp);
    }
    // The headers the message travelled with are what the e-mail filter
    // would show; the properties stand in where they are missing.
    std::string from = HeaderField(headers, "From");
    if (from.empty()) from = Mailbox(from_name, from_address);
    std::string to = HeaderField(headers, "To"), cc = HeaderField(headers, "Cc");
    if (to.empty() && cc.empty()) Recipients(msg, cp, &to, &cc);
    if (to.empty()) to = msg.Text(kDisplayTo, cp);
    if (cc.empty()) cc = msg.Text(kDisplayCc, cp);
    std::string date = HeaderField(headers, "Date");
    if (date.empty())
      if (auto t = msg.Fixed(kClientSubmitTime)) date = MailDate(*t);
    if (date.empty())
      if (auto t = msg.Fixed(kDeliveryTime)) date = MailDate(*t);
    Header("From", from);
    Header("To", to);
    Header("Cc", cc);
    Header("Date", date);
    Header("Subject", msg.Text(kSubject, cp));
    Details(msg, cp);
    sink_.EndChunk();
    Body(msg, cp);
    Attachments(msg, cp, level);
  }

  std::size_t failures() const { return failures_; }

 private:
  // What an appointment, a meeting request, a contact or a task holds
  // besides a subject and a body, as lines like the headers' (and like the
  // calendar and address book filters write them).
  void Details(const Storage& msg, const CodePages& cp) {
    const std::string kind = msg.Text(kMessageClass, cp);
    auto starts = [&](std::string_view prefix) {
      return g_ascii_strncasecmp(kind.c_str(), prefix.data(), prefix.size()) == 0;
    };
    auto named_text = [&](std::string_view set, uint32_t number) {
      auto id = named_.Id(set, number);
      return id ? msg.Text(*id, cp) : std::string();
    };
    auto named_time = [&](std::string_view set, uint32_t number, uint16_t fallback, bool day_only) {
      auto id = named_.Id(set, number);
      auto value = id ? msg.Fixed(*id) : std::nullopt;
      if (!value && fallback) value = msg.Fixed(fallback);
      return value ? CalendarTime(*value, day_only) : std::string();
    };
    if (starts("IPM.Appointment") || starts("IPM.Schedule.Meeting")) {
      const std::string start = named_time(kAppointmentSet, kLidStart, kStartDate, false);
      const std::string end = named_time(kAppointmentSet, kLidEnd, kEndDate, false);
      Header("When", start.empty() ? end : end.empty() || end == start ? start : start + " to " + end);
      Header("Where", named_text(kAppointmentSet, kLidLocation));
    } else if (starts("IPM.Task")) {
      Header("Start", named_time(kTaskSet, kLidTaskStart, 0, true));
      Header("Due", named_time(kTaskSet, kLidTaskDue, 0, true));
    } else if (starts("IPM.Contact") || starts("IPM.DistList")) {
      Header("Name", msg.Text(kDisplayName, cp));
      std::string organization = msg.Text(kCompanyName, cp);
      if (std::string department = msg.Text(kDepartment, cp); !department.empty())
        organization += organization.empty() ? department : ", " + department;
      Header("Organization", organization);
      Header("Title", msg.Text(kTitle, cp));
      for (uint32_t email : {kLidEmail1, kLidEmail2, kLidEmail3}) Header("Email", named_text(kAddressSet, email));
      Header("Phone (work)", msg.Text(kBusinessPhone, cp));
      Header("Phone (home)", msg.Text(kHomePhone, cp));
      Header("Phone (mobile)", msg.Text(kMobilePhone, cp));
      Header("Phone (work, fax)", msg.Text(kBusinessFax, cp));
      std::string work = named_text(kAddressSet, kLidWorkAddress);
      Header("Address (work)", work.empty() ? msg.Text(kBusinessAddress, cp) : work);
      Header("Address (home)", named_text(kAddressSet, kLidHomeAddress));
      Header("Web", msg.Text(kHomePage, cp));
    }
  }

  static CodePages CodePagesOf(const Storage& s) {
    CodePages cp;
    const auto message = s.Long(kMessageCodePage), internet = s.Long(kInternetCodePage);
    if (message && *message) {
      cp.strings = cp.body = CodePageName(*message);
    }
    if (internet && *internet) {
      cp.body = CodePageName(*internet);
      if (!message || !*message) cp.strings = cp.body;
    }
    if (auto locale = s.Long(kMessageLocale); locale && *locale)
      cp.fallback = CodePageForLanguageId(static_cast<uint16_t>(*locale));
    return cp;
  }

  static std::string Address(const Storage& s, uint16_t smtp, uint16_t email, const CodePages& cp) {
    std::string a = s.Text(smtp, cp);
    if (a.empty()) a = s.Text(email, cp);
    // Exchange-internal addresses ("/O=ORG/OU=...") mean nothing to a reader.
    if (a.find('@') == std::string::npos || a.front() == '/') return {};
    return a;
  }

  void Recipients(const Storage& msg, const CodePages& cp, std::string* to, std::string* cc) {
    for (auto& child : msg.Children("__recip_version1.0_")) {
      Storage r(GSF_INFILE(child.get()), 8);
      std::string shown = Mailbox(r.Text(kDisplayName, cp), Address(r, kSmtpAddress, kEmailAddress, cp));
      if (shown.empty()) continue;
      std::string* list = r.Long(kRecipientType).value_or(1) == 2 ? cc : r.Long(kRecipientType).value_or(1) == 1 ? to : nullptr;
      if (!list) continue;  // blind copies are not shown to readers either
      if (!list->empty()) *list += ", ";
      *list += shown;
    }
  }

  void Header(std::string_view name, const std::string& value) {
    // A text property ends at its first NUL: what follows is left-over bytes.
    std::string v = OneLine(value.substr(0, value.find('\0')));
    if (v.empty()) return;
    sink_.Append(name);
    sink_.Append(": ");
    sink_.Line(v);
  }

  void Body(const Storage& msg, const CodePages& cp) {
    std::string plain = msg.Text(kBody, cp);
    if (plain.find_first_not_of(" \r\n\t") != std::string::npos) {
      std::string text;
      text.reserve(plain.size());
      for (char c : plain)
        if (c != '\r') text.push_back(c);
      sink_.Append(text);
    } else if (auto html = msg.Bytes(kHtml)) {
      // In the message's code page; as UTF-8 with its mark, the page's own
      // declaration cannot mislead the HTML filter.
      Inline("body.html", "\xEF\xBB\xBF" + WithoutTitle(cp.Decode(*html, cp.body)));
    } else if (std::string html_text = msg.Text(kHtml, cp); !html_text.empty()) {
      Inline("body.html", "\xEF\xBB\xBF" + WithoutTitle(html_text));
    } else if (auto packed = msg.Bytes(kRtfCompressed)) {
      if (auto rtf = DecompressRtf(*packed)) Inline("body.rtf", *rtf);
    }
    sink_.EndLine();
    sink_.EndChunk();
  }

  // A body kept in another format, read by that format's filter (through
  // the registry, so that reading .msg files loads the HTML module only when
  // a message needs it) and written in place.
  void Inline(std::string_view name, const std::string& bytes) {
    TextSink member = MemberSink(sink_);
    ExtractResult r = ExtractMemberBytes(folder_, name, bytes, member);
    AppendMemberLines(member, sink_);
    if (r.status == ExtractResult::Status::kFailed) ++failures_;
  }

  void Attachments(const Storage& msg, const CodePages& cp, int level) {
    for (auto& child : msg.Children("__attach_version1.0_")) {
      if (sink_.full()) return;
      GsfInfile* dir = GSF_INFILE(child.get());
      Storage a(dir, 8);
      std::string name = a.Text(kAttachLongFilename, cp);
      if (name.empty()) name = a.Text(kAttachFilename, cp);
      if (name.empty()) name = a.Text(kDisplayName, cp);
      name = OneLine(name);
      sink_.EndLine();
      if (a.Long(kAttachMethod).value_or(0) == kAttachEmbeddedMessage) {
        std::unique_ptr<GsfInput, GObjectUnref> inner(gsf_infile_child_by_name(dir, Tag(kAttachData, "000D").c_str()));
        if (inner && GSF_IS_INFILE(inner.get())) {
          if (sink_.nesting().depth + level + 1 > ContainerLimits{}.max_depth) {
            sink_.Line("Attached message (not read: nested too deeply)");
          } else {
            sink_.Line("Attached message:");
            Message(Storage(GSF_INFILE(inner.get()), 24), level + 1);
          }
          sink_.EndChunk();
          continue;
        }
      }
      // A file attached by reference is not in the message: its path names it.
      if (name.empty()) {
        name = OneLine(a.Text(kAttachLongPathname, cp));
        if (name.empty()) name = OneLine(a.Text(kAttachPathname, cp));
        name = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
      }
      sink_.Line("Attachment: " + (name.empty() ? std::string("(unnamed)") : name));
      // An OLE object (a document inserted into a rich-text message) is
      // kept as a storage of its own.
      std::unique_ptr<GsfInput, GObjectUnref> object(gsf_infile_child_by_name(dir, Tag(kAttachData, "000D").c_str()));
      if (object && GSF_IS_INFILE(object.get())) {
        TextSink member = MemberSink(sink_);
        ExtractEmbeddedStorage(GSF_INFILE(object.get()), member);
        AppendMemberLines(member, sink_);
        sink_.EndLine();
      } else if (auto data = a.Bytes(kAttachData, kMaxAttachmentBytes);
                 data && !data->empty() && !IsPictureAttachment(*data)) {
        TextSink member = MemberSink(sink_);
        ExtractResult r = ExtractMemberBytes(folder_, name.empty() ? "attachment" : name, *data, member);
        AppendMemberLines(member, sink_);
        sink_.EndLine();
        if (r.status == ExtractResult::Status::kPassword) sink_.Line("(password-protected)");
        if (r.status == ExtractResult::Status::kFailed && member.empty()) ++failures_;
      }
      sink_.EndChunk();
    }
  }

  TextSink& sink_;
  const NamedProperties& named_;
  PrivateFolder folder_;
  std::size_t failures_ = 0;
};

class MsgFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "msg", sink)) return *r;
    std::string why;
    CompoundFile file = OpenCompoundFile(path, &why);
    if (!file) return ExtractResult::UnknownFormat(why.empty() ? "not an Outlook message" : why);
    if (!ReadCompoundStream(file.get(), "__properties_version1.0", 1 << 20))
      return ExtractResult::UnknownFormat("not an Outlook message: a compound file without message properties");
    const NamedProperties named(file.get());
    MsgReader reader(sink, named);
    reader.Message(Storage(file.get(), 32), 0);
    if (sink.empty()) return ExtractResult::Failed("the message has no readable headers or text");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (reader.failures() > 0)
      return ExtractResult::Incomplete(std::to_string(reader.failures()) + " attachment(s) could not be read");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateMsgFilter() { return std::make_unique<MsgFilter>(); }

}  // namespace quarn

#include "convert/filters/mail/tnef_filter.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "convert/filters/common/mail_date.h"
#include "convert/filters/markup/html_filter.h"
#include "convert/filters/members.h"
#include "convert/filters/ole/lzfu.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/sniff.h"
#include "convert/filters/common/text_decode.h"

// Last: libytnef's headers define BYTE, WORD, DWORD and ULONG as macros.
// They declare C functions without saying so.
extern "C" {
#include <ytnef.h>
}

namespace quarn {

namespace {

// A stream is read whole; larger ones are refused.
constexpr std::size_t kMaxStreamBytes = std::size_t{512} << 20;

struct Tnef {
  TNEFStruct data;
  Tnef() {
    TNEFInitialize(&data);
    data.Debug = 0;  // left unset by the library; anything else prints its trace
  }
  ~Tnef() { TNEFFree(&data); }
  Tnef(const Tnef&) = delete;
  Tnef& operator=(const Tnef&) = delete;
};

std::string_view View(const variableLength& v) {
  if (!v.data || v.size <= 0) return {};
  return {reinterpret_cast<const char*>(v.data), static_cast<std::size_t>(v.size)};
}

// A MAPI property's value, or nullptr.
const variableLength* Find(MAPIProps* props, unsigned type, unsigned id) {
  variableLength* v = MAPIFindProperty(props, PROP_TAG(type, id));
  return v == MAPI_UNDEFINED || !v || !v->data || v->size <= 0 ? nullptr : v;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ' || s.back() == '\r' || s.back() == '\n')) s.pop_back();
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return s;
}

// A text property in UTF-8: Unicode as stored, else 8-bit text in code_page.
std::string Text(MAPIProps* props, unsigned id, const std::string& code_page) {
  if (const variableLength* v = Find(props, PT_UNICODE, id)) {
    // The library has turned Unicode strings into UTF-8 already.
    std::string_view s = View(*v);
    s = s.substr(0, std::min(s.size(), s.find('\0')));
    return DecodeToUtf8(s, "UTF-8");
  }
  if (const variableLength* v = Find(props, PT_STRING8, id)) {
    std::string_view s = View(*v);
    while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
    return DecodeCharset(s, code_page);
  }
  return {};
}

std::string DateText(const dtr& d) {
  if (d.wYear == 0 || d.wMonth < 1 || d.wMonth > 12) return {};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02u %s %04u %02u:%02u:%02u", d.wDay, kMonths[d.wMonth - 1], d.wYear, d.wHour,
                d.wMinute, d.wSecond);
  return buf;
}

// The sender as the stream's "from" attribute holds it: a triple of a type,
// lengths, the display name and the address ("SMTP:ann@example.org"), each
// ended by a NUL; as "Name <address>".  Other bytes are taken as a name.
std::string Sender(std::string_view from, const std::string& code_page) {
  if (from.size() >= 8) {
    const std::size_t name_size = Le16(from, 4), address_size = Le16(from, 6);
    if (Le16(from, 0) >= 1 && Le16(from, 0) <= 4 && 8 + name_size + address_size <= from.size()) {
      std::string name = Trimmed(DecodeCharset(from.substr(8, name_size), code_page));
      std::string address = Trimmed(DecodeCharset(from.substr(8 + name_size, address_size), code_page));
      name = name.substr(0, name.find('\0'));
      address = address.substr(0, address.find('\0'));
      if (address.rfind("SMTP:", 0) == 0) address.erase(0, 5);
      // An address inside an Exchange organisation ("EX:/O=...") means nothing to a reader.
      if (address.find('@') == std::string::npos) address.clear();
      if (address.empty() || address == name) return name;
      return name.empty() ? address : name + " <" + address + ">";
    }
  }
  std::string name = DecodeCharset(from, code_page);
  for (char& c : name)
    if (c == '\0') c = ' ';
  return Trimmed(name);
}

// A named property's value (an appointment's place and times are named
// properties of the appointment set), or nullptr.
const variableLength* FindNamed(MAPIProps* props, unsigned type, unsigned number) {
  static constexpr unsigned char kAppointmentSet[16] = {0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  for (DWORD i = 0; i < props->count; ++i) {
    const MAPIProperty& p = props->properties[i];
    if (p.custom != 1 || p.namedproperty != 0 || PROP_ID(p.id) != number || PROP_TYPE(p.id) != type) continue;
    if (std::memcmp(p.guid, kAppointmentSet, 16) != 0 || !p.data || p.count < 1) continue;
    if (p.data[0].data && p.data[0].size > 0) return &p.data[0];
  }
  return nullptr;
}

// A FILETIME property as a calendar shows a time.
std::string CalendarTime(std::string_view filetime) {
  if (filetime.size() < 8) return {};
  return FileTimeAsCalendarTime(static_cast<uint64_t>(Le32(filetime, 0)) |
                                static_cast<uint64_t>(Le32(filetime, 4)) << 32);
}

// The start or end a meeting's own attribute gives, in the sender's time.
std::string LocalTime(const dtr& d) {
  if (d.wYear == 0 || d.wMonth < 1 || d.wMonth > 12) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u", d.wYear, d.wMonth, d.wDay, d.wHour, d.wMinute);
  return buf;
}

class TnefFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Sniffed what = SniffContent(path);
    if (what.kind != ContentKind::kTnef) {
      if (auto r = ExtractRedirected(path, "tnef", sink)) return *r;
      return ExtractResult::UnknownFormat("not a TNEF stream");
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return ExtractResult::Failed("cannot open the TNEF stream");
    std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxStreamBytes)
      return ExtractResult::Failed("the TNEF stream is larger than 512 MiB");
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), size)) return ExtractResult::Failed("cannot read the TNEF stream");
    Tnef tnef;
    int rc = TNEFParseMemory(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<long>(bytes.size()), &tnef.data);
    TNEFStruct& t = tnef.data;
    std::string cp = CodePage(t);
    Header(sink, "From", Sender(View(t.from), cp));
    Header(sink, "Date", DateText(t.dateSent));
    std::string subject = Text(&t.MapiProperties, 0x0037, cp);
    if (subject.empty()) subject = DecodeCharset(View(t.subject), cp);
    Header(sink, "Subject", Trimmed(subject));
    Meeting(t, cp, sink);
    sink.EndChunk();
    Body(t, cp, sink);
    std::size_t attachments = 0;
    for (Attachment* a = t.starting_attach.next; a && !sink.full(); a = a->next) {
      ++attachments;
      Attach(*a, cp, sink);
    }
    if (sink.empty()) {
      return rc == 0 ? ExtractResult::Failed("the TNEF stream holds no text and no attachment")
                     : ExtractResult::Failed("the TNEF stream is damaged (error " + std::to_string(rc) + ")");
    }
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (rc != 0) return ExtractResult::Incomplete("the TNEF stream is damaged (error " + std::to_string(rc) + ")");
    if (failures_ > 0) return ExtractResult::Incomplete(std::to_string(failures_) + " attachment(s) could not be read");
    return ExtractResult::Ok();
  }

 private:
  static std::string CodePage(TNEFStruct& t) {
    for (unsigned id : {0x3FDEu, 0x3FFDu})
      if (const variableLength* v = Find(&t.MapiProperties, PT_LONG, id); v && v->size >= 4) {
        unsigned cp = Le32(View(*v), 0);
        if (cp == 65001) return "UTF-8";
        if (cp == 874 || (cp >= 1250 && cp <= 1258)) return "windows-" + std::to_string(cp);
        if (cp) return "CP" + std::to_string(cp);
      }
    // The code page the stream names in its own attribute.
    if (t.CodePage.size >= 4) {
      unsigned cp = Le32(View(t.CodePage), 0);
      if (cp == 65001) return "UTF-8";
      if (cp == 874 || (cp >= 1250 && cp <= 1258)) return "windows-" + std::to_string(cp);
    }
    return "windows-1252";
  }

  // An appointment's or a meeting request's time and place, as the
  // calendar filter writes an event's.
  static void Meeting(TNEFStruct& t, const std::string& cp, TextSink& sink) {
    const std::string_view kind(t.messageClass, strnlen(t.messageClass, sizeof t.messageClass));
    if (kind.rfind("IPM.Appointment", 0) != 0 && kind.rfind("IPM.Schedule.Meeting", 0) != 0) return;
    std::string start, end;
    if (const variableLength* v = FindNamed(&t.MapiProperties, PT_SYSTIME, 0x820D)) start = CalendarTime(View(*v));
    if (const variableLength* v = FindNamed(&t.MapiProperties, PT_SYSTIME, 0x820E)) end = CalendarTime(View(*v));
    if (start.empty() && end.empty()) {
      start = LocalTime(t.DateStart);
      end = LocalTime(t.DateEnd);
    }
    Header(sink, "When", start.empty() ? end : end.empty() || end == start ? start : start + " to " + end);
    std::string place;
    if (const variableLength* v = FindNamed(&t.MapiProperties, PT_UNICODE, 0x8208)) {
      std::string_view s = View(*v);
      place = std::string(s.substr(0, std::min(s.size(), s.find('\0'))));
    } else if (const variableLength* v8 = FindNamed(&t.MapiProperties, PT_STRING8, 0x8208)) {
      place = DecodeCharset(View(*v8), cp);
    }
    Header(sink, "Where", Trimmed(place));
  }

  static void Header(TextSink& sink, std::string_view name, const std::string& value) {
    if (value.empty()) return;
    sink.Append(name);
    sink.Append(": ");
    sink.Line(value);
  }

  void Body(TNEFStruct& t, const std::string& cp, TextSink& sink) {
    std::string plain = Text(&t.MapiProperties, 0x1000, cp);
    if (plain.empty()) plain = DecodeCharset(View(t.body), cp);
    if (plain.find_first_not_of(" \r\n\t") != std::string::npos) {
      std::string text;
      for (char c : plain)
        if (c != '\r' && c != '\0') text.push_back(c);
      sink.Append(text);
    } else if (const variableLength* html = Find(&t.MapiProperties, PT_BINARY, 0x1013)) {
      ExtractHtmlText(View(*html), cp, sink, HtmlTitle::kDropped);  // a mail program shows no <title>
    } else if (std::string html_text = Text(&t.MapiProperties, 0x1013, cp); !html_text.empty()) {
      ExtractHtmlText(html_text, "UTF-8", sink, HtmlTitle::kDropped);
    } else if (const variableLength* packed = Find(&t.MapiProperties, PT_BINARY, 0x1009)) {
      if (auto rtf = DecompressRtf(View(*packed))) {
        TextSink member = MemberSink(sink);
        ExtractResult r = ExtractMemberBytes(folder_, "body.rtf", *rtf, member);
        AppendMemberLines(member, sink);
        if (r.status == ExtractResult::Status::kFailed) ++failures_;
      }
    }
    sink.EndLine();
    sink.EndChunk();
  }

  void Attach(Attachment& a, const std::string& cp, TextSink& sink) {
    std::string name = Text(&a.MAPI, 0x3707, cp);
    if (name.empty()) name = Text(&a.MAPI, 0x3704, cp);
    if (name.empty()) name = DecodeCharset(View(a.Title), cp);
    name = Trimmed(name);
    std::string_view data = View(a.FileData);
    if (data.empty())
      if (const variableLength* v = Find(&a.MAPI, PT_BINARY, 0x3701)) data = View(*v);
    if (name.empty() && data.empty()) return;
    sink.EndLine();
    sink.Line("Attachment: " + (name.empty() ? std::string("(unnamed)") : name));
    if (!data.empty() && !IsPictureAttachment(data)) {
      TextSink member = MemberSink(sink);
      ExtractResult r = ExtractMemberBytes(folder_, name.empty() ? "attachment" : name, data, member);
      AppendMemberLines(member, sink);
      sink.EndLine();
      if (r.status == ExtractResult::Status::kPassword) sink.Line("(password-protected)");
      if (r.status == ExtractResult::Status::kFailed && member.empty()) ++failures_;
    }
    sink.EndChunk();
  }

  PrivateFolder folder_;
  std::size_t failures_ = 0;
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateTnefFilter() { return std::make_unique<TnefFilter>(); }

}  // namespace quarn

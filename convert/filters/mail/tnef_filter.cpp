#include "convert/filters/mail/tnef_filter.h"

#include <cstdio>
#include <fstream>
#include <string>

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
    Header(sink, "From", Trimmed(DecodeCharset(View(t.from), cp)));
    Header(sink, "Date", DateText(t.dateSent));
    std::string subject = Text(&t.MapiProperties, 0x0037, cp);
    if (subject.empty()) subject = DecodeCharset(View(t.subject), cp);
    Header(sink, "Subject", Trimmed(subject));
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
      ExtractHtmlText(View(*html), cp, sink);
    } else if (std::string html_text = Text(&t.MapiProperties, 0x1013, cp); !html_text.empty()) {
      ExtractHtmlText(html_text, "UTF-8", sink);
    } else if (const variableLength* packed = Find(&t.MapiProperties, PT_BINARY, 0x1009)) {
      if (auto rtf = DecompressRtf(View(*packed))) {
        TextSink member = MemberSink(sink);
        ExtractResult r = ExtractMemberBytes(folder_, "body.rtf", *rtf, member);
        AppendMemberText(member, sink);
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
      AppendMemberText(member, sink);
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

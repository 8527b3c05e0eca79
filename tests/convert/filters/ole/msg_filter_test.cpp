// The Outlook message filter over messages built here as compound files with
// libgsf's writer: headers as the e-mail filter writes them, the three kinds
// of body (plain, HTML, compressed RTF) in their order of preference,
// attachments read through their own filters, attached messages, and
// Outlook's RTF compression itself.
#include <gtest/gtest.h>

#include <gsf/gsf.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "convert/filters/builtin.h"
#include "convert/filters/ole/lzfu.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using testing::TempTree;

std::string Utf16(std::string_view ascii_or_utf8) {
  std::string out;
  gunichar2* units = g_utf8_to_utf16(ascii_or_utf8.data(), static_cast<glong>(ascii_or_utf8.size()), nullptr, nullptr, nullptr);
  for (gunichar2* u = units; u && *u; ++u) {
    out.push_back(static_cast<char>(*u & 0xFF));
    out.push_back(static_cast<char>(*u >> 8));
  }
  g_free(units);
  return out;
}

// A storage of the message: streams by name, sub-storages by name, and
// fixed-size properties (id, type, value) for its property stream.
struct Storage {
  std::map<std::string, std::string> streams;
  std::map<std::string, Storage> children;
  std::vector<std::pair<uint32_t, uint32_t>> longs;  // tag, value
  std::vector<std::pair<uint32_t, uint64_t>> times;  // tag, FILETIME
  std::size_t header = 8;

  void Text(uint16_t id, std::string_view utf8) {
    char name[40];
    std::snprintf(name, sizeof name, "__substg1.0_%04X001F", id);
    streams[name] = Utf16(utf8);
  }
  void Text8(uint16_t id, std::string bytes) {  // 8-bit text, in whatever code page
    char name[40];
    std::snprintf(name, sizeof name, "__substg1.0_%04X001E", id);
    streams[name] = std::move(bytes);
  }
  void Bytes(uint16_t id, std::string bytes) {
    char name[40];
    std::snprintf(name, sizeof name, "__substg1.0_%04X0102", id);
    streams[name] = std::move(bytes);
  }
};

void Put(GsfOutfile* dir, const Storage& s) {
  std::string props(s.header, '\0');
  for (auto [tag, value] : s.longs) {
    char entry[16] = {};
    for (int i = 0; i < 4; ++i) entry[i] = static_cast<char>(tag >> (8 * i));
    entry[4] = 6;
    for (int i = 0; i < 4; ++i) entry[8 + i] = static_cast<char>(value >> (8 * i));
    props.append(entry, 16);
  }
  for (auto [tag, value] : s.times) {
    char entry[16] = {};
    for (int i = 0; i < 4; ++i) entry[i] = static_cast<char>(tag >> (8 * i));
    entry[4] = 6;
    for (int i = 0; i < 8; ++i) entry[8 + i] = static_cast<char>(value >> (8 * i));
    props.append(entry, 16);
  }
  auto write = [&](const std::string& name, const std::string& bytes) {
    GsfOutput* out = gsf_outfile_new_child(dir, name.c_str(), FALSE);
    gsf_output_write(out, bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
    gsf_output_close(out);
    g_object_unref(out);
  };
  write("__properties_version1.0", props);
  for (const auto& [name, bytes] : s.streams) write(name, bytes);
  for (const auto& [name, child] : s.children) {
    GsfOutput* sub = gsf_outfile_new_child(dir, name.c_str(), TRUE);
    Put(GSF_OUTFILE(sub), child);
    gsf_output_close(sub);
    g_object_unref(sub);
  }
}

void WriteMsg(const std::string& path, const Storage& message) {
  GError* error = nullptr;
  GsfOutput* file = gsf_output_stdio_new(path.c_str(), &error);
  ASSERT_NE(file, nullptr);
  GsfOutfile* ole = gsf_outfile_msole_new(file);
  Put(ole, message);
  gsf_output_close(GSF_OUTPUT(ole));
  g_object_unref(ole);
  g_object_unref(file);
}

Storage Message(std::string_view subject) {
  Storage m;
  m.header = 32;
  m.Text(0x0037, subject);
  return m;
}

std::string Extract(const std::string& path, ExtractResult* result = nullptr) {
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("msg", path, sink);
  if (result) *result = r;
  return sink.Joined();
}

// An RTF stream stored without compression ("MELA").
std::string StoredRtf(std::string_view rtf) {
  std::string s(16, '\0');
  uint32_t size = static_cast<uint32_t>(rtf.size());
  for (int i = 0; i < 4; ++i) s[4 + i] = static_cast<char>(size >> (8 * i));
  s.replace(8, 4, "MELA");
  return s + std::string(rtf);
}

TEST(MsgFilter, HeadersBodyAndAttachmentsInTheirOrder) {
  TempTree tree;
  Storage m = Message("Quarterly figures");
  m.Text(0x0C1A, "Ann Example");
  m.Text(0x5D01, "ann@example.org");
  m.Text(0x1000, "The plain body wins.\r\nSecond line.");
  m.Bytes(0x1013, "<html><body>The HTML body is not used</body></html>");
  m.longs.push_back({0x00390040, 0});  // no time: no date line
  Storage to;
  to.Text(0x3001, "Bob Reader");
  to.Text(0x39FE, "bob@example.org");
  to.longs.push_back({0x0C150003, 1});
  m.children["__recip_version1.0_#00000000"] = to;
  Storage attach;
  attach.Text(0x3707, "notes.txt");
  attach.Bytes(0x3701, "words inside the attachment\n");
  m.children["__attach_version1.0_#00000000"] = attach;
  Storage embedded;
  embedded.Text(0x3707, "forwarded");
  embedded.longs.push_back({0x37050003, 5});
  Storage inner = Message("Inner subject");
  inner.header = 24;
  inner.Text(0x1000, "Inner body words");
  embedded.children["__substg1.0_3701000D"] = inner;
  m.children["__attach_version1.0_#00000001"] = embedded;
  const std::string path = tree / "m.msg";
  WriteMsg(path, m);

  ExtractResult r;
  std::string t = Extract(path, &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_NE(t.find("From: Ann Example <ann@example.org>\n"), std::string::npos) << t;
  EXPECT_NE(t.find("To: Bob Reader <bob@example.org>\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Subject: Quarterly figures\n"), std::string::npos) << t;
  EXPECT_NE(t.find("The plain body wins.\nSecond line."), std::string::npos) << t;
  EXPECT_EQ(t.find("HTML body"), std::string::npos);
  EXPECT_NE(t.find("Attachment: notes.txt\nwords inside the attachment"), std::string::npos) << t;
  EXPECT_NE(t.find("Attached message:"), std::string::npos) << t;
  EXPECT_NE(t.find("Subject: Inner subject"), std::string::npos) << t;
  EXPECT_NE(t.find("Inner body words"), std::string::npos) << t;
  EXPECT_LT(t.find("Quarterly"), t.find("Inner subject"));
}

TEST(MsgFilter, HtmlBodyThenCompressedRtfBodyWhenThereIsNoPlainText) {
  TempTree tree;
  Storage html = Message("Web mail");
  html.Bytes(0x1013, "<html><head><title>Not shown</title><style>p{}</style></head><body><p>Only the <b>HTML</b> "
                    "body</p></body></html>");
  html.Bytes(0x1009, StoredRtf("{\\rtf1 not this one}"));
  WriteMsg(tree / "html.msg", html);
  std::string t = Extract(tree / "html.msg");
  EXPECT_NE(t.find("Only the HTML body"), std::string::npos) << t;
  EXPECT_EQ(t.find("not this one"), std::string::npos);
  EXPECT_EQ(t.find("Not shown"), std::string::npos) << t;  // mail programs show no page title

  Storage rtf = Message("Rich mail");
  rtf.Bytes(0x1009, StoredRtf("{\\rtf1\\ansi {\\fonttbl{\\f0 Arial;}}\\f0 Body from {\\b RTF} only.\\par}"));
  WriteMsg(tree / "rtf.msg", rtf);
  t = Extract(tree / "rtf.msg");
  EXPECT_NE(t.find("Body from RTF only."), std::string::npos) << t;
  EXPECT_EQ(t.find("Arial"), std::string::npos);
}

// 8-bit properties are in the message's code page, the HTML body in the
// Internet code page; a UTF-8 that the bytes are not gives way to the code
// page of the message's language.
TEST(MsgFilter, EightBitTextIsReadInItsOwnCodePage) {
  TempTree tree;
  auto message = [&](const std::string& name, std::vector<std::pair<uint32_t, uint32_t>> code_pages) {
    Storage m;
    m.header = 32;
    m.Text8(0x0037, "Gr\xFC\xDF" "e \xE0 tous");  // "Grüße à tous" in windows-1252
    m.Bytes(0x1013, "<html><body>Caf\xC3\xA9 \xE2\x82\xAC</body></html>");  // "Café €" in UTF-8
    m.longs = std::move(code_pages);
    WriteMsg(tree / name, m);
    return Extract(tree / name);
  };
  // The Internet code page says UTF-8, the language is German, no message code page.
  std::string t = message("utf8.msg", {{0x3FDE0003, 65001}, {0x3FF10003, 1031}});
  EXPECT_NE(t.find("Subject: Gr\xC3\xBC\xC3\x9F" "e \xC3\xA0 tous\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Caf\xC3\xA9 \xE2\x82\xAC"), std::string::npos) << t;
  EXPECT_EQ(t.find("\xEF\xBF\xBD"), std::string::npos) << t;  // no replacement character
  // The message code page names the 8-bit text's code page, whatever the Internet one says.
  t = message("both.msg", {{0x3FDE0003, 65001}, {0x3FFD0003, 1252}});
  EXPECT_NE(t.find("Subject: Gr\xC3\xBC\xC3\x9F" "e \xC3\xA0 tous\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Caf\xC3\xA9 \xE2\x82\xAC"), std::string::npos) << t;
  // Cyrillic: the language's code page stands in for a UTF-8 that does not hold.
  Storage ru;
  ru.header = 32;
  ru.Text8(0x0037, "\xCF\xF0\xE8\xE2\xE5\xF2");  // "Привет" in windows-1251
  ru.longs = {{0x3FDE0003, 65001}, {0x3FF10003, 1049}};
  WriteMsg(tree / "ru.msg", ru);
  t = Extract(tree / "ru.msg");
  EXPECT_NE(t.find("Subject: \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), std::string::npos) << t;
}

// A GUID's bytes as stored, from its first field (the rest is Outlook's).
std::string OutlookSet(uint32_t first) {
  std::string g(16, '\0');
  for (int i = 0; i < 4; ++i) g[i] = static_cast<char>(first >> (8 * i));
  g[8] = '\xC0';
  g[15] = '\x46';
  return g;
}

// The FILETIME of a time in UTC seconds since 1970.
uint64_t FileTime(int64_t unix_seconds) { return (static_cast<uint64_t>(unix_seconds) + 11644473600ULL) * 10000000ULL; }

// Appointments, tasks and contacts keep their details in named properties:
// the file maps each (set, number) to an id of 0x8000 and up.
TEST(MsgFilter, AppointmentsTasksAndContactsShowTheirDetails) {
  TempTree tree;
  auto item = [&](const char* name, const char* kind, std::vector<std::pair<std::string, uint32_t>> named) {
    Storage m = Message(name);
    m.Text(0x001A, kind);
    Storage ids;
    std::string sets, entries;
    for (std::size_t i = 0; i < named.size(); ++i) {
      if (sets.find(named[i].first) == std::string::npos) sets += named[i].first;
      const uint32_t set = static_cast<uint32_t>(sets.find(named[i].first) / 16 + 3);
      const uint32_t where = static_cast<uint32_t>(i) << 16 | set << 1;
      for (uint32_t v : {named[i].second, where})
        for (int b = 0; b < 4; ++b) entries.push_back(static_cast<char>(v >> (8 * b)));
    }
    ids.Bytes(0x0002, sets);
    ids.Bytes(0x0003, entries);
    ids.Bytes(0x0004, "");
    m.children["__nameid_version1.0"] = ids;
    return m;
  };
  const std::string appointment_set = OutlookSet(0x00062002), task_set = OutlookSet(0x00062003),
                    address_set = OutlookSet(0x00062004);
  // Named ids 0x8000 (location), 0x8001 (start), 0x8002 (end).
  Storage meeting = item("Budget review", "IPM.Schedule.Meeting.Request",
                         {{appointment_set, 0x8208}, {appointment_set, 0x820D}, {appointment_set, 0x820E}});
  meeting.Text(0x8000, "Room 4");
  meeting.times = {{0x80010040, FileTime(1614952800)}, {0x80020040, FileTime(1614956400)}};
  meeting.Text(0x1000, "Bring the numbers.");
  WriteMsg(tree / "meeting.msg", meeting);
  std::string t = Extract(tree / "meeting.msg");
  EXPECT_NE(t.find("Subject: Budget review\nWhen: 2021-03-05 14:00 UTC to 2021-03-05 15:00 UTC\nWhere: Room 4\n"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("Bring the numbers."), std::string::npos) << t;

  Storage task = item("Write the report", "IPM.Task", {{task_set, 0x8104}, {task_set, 0x8105}});
  task.times = {{0x80010040, FileTime(1614902400)}};
  WriteMsg(tree / "task.msg", task);
  t = Extract(tree / "task.msg");
  EXPECT_NE(t.find("Subject: Write the report\nDue: 2021-03-05\n"), std::string::npos) << t;

  Storage contact = item("Anna Example", "IPM.Contact", {{address_set, 0x8083}, {address_set, 0x801B}});
  contact.Text(0x3001, "Anna Example");
  contact.Text(0x3A16, "Example Co");
  contact.Text(0x3A08, "+1 555 0100");
  contact.Text(0x8000, "anna@example.org");
  contact.Text(0x8001, "1 Main Street\r\nSpringfield");
  WriteMsg(tree / "contact.msg", contact);
  t = Extract(tree / "contact.msg");
  EXPECT_NE(t.find("Name: Anna Example\nOrganization: Example Co\nEmail: anna@example.org\n"
                   "Phone (work): +1 555 0100\nAddress (work): 1 Main Street  Springfield\n"),
            std::string::npos)
      << t;
  // The same numbers in a plain message are not read: its class says what it is.
  Storage mail = item("Plain", "IPM.Note", {{appointment_set, 0x8208}});
  mail.Text(0x8000, "not a place");
  WriteMsg(tree / "mail.msg", mail);
  EXPECT_EQ(Extract(tree / "mail.msg").find("Where"), std::string::npos);
}

// A document inserted into a rich-text message is an OLE object, a storage
// of its own, and is read; a file attached by reference is named by its path.
TEST(MsgFilter, ObjectsAndReferencedFilesAmongTheAttachments) {
  TempTree tree;
  std::ifstream in(std::string(QUARN_TEST_DATA) + "/package/ooxml/lists.docx", std::ios::binary);
  const std::string docx((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(docx.empty());
  Storage m = Message("Rich text");
  Storage object;
  object.longs.push_back({0x37050003, 6});
  object.streams["__substg1.0_3001001F"] = Utf16("Document");
  Storage ole;
  ole.streams["Package"] = docx;
  object.children["__substg1.0_3701000D"] = ole;
  m.children["__attach_version1.0_#00000000"] = object;
  Storage linked;
  linked.longs.push_back({0x37050003, 2});
  linked.Text(0x370D, "\\\\server\\share\\Budget 2021.xlsx");
  m.children["__attach_version1.0_#00000001"] = linked;
  WriteMsg(tree / "rich.msg", m);
  const std::string t = Extract(tree / "rich.msg");
  EXPECT_NE(t.find("Attachment: Document\n1. One\na) Sub a"), std::string::npos) << t;
  EXPECT_NE(t.find("Attachment: Budget 2021.xlsx\n"), std::string::npos) << t;
}

// The headers a message travelled with are shown as a mail program shows
// them: encoded words decoded (a character split between two of them
// joined), folded lines unfolded without extra spaces.
TEST(MsgFilter, TransportHeadersAreDecoded) {
  TempTree tree;
  Storage m = Message("Headers");
  m.streams["__substg1.0_0037001F"] = std::string("\0\0\x86\0", 4);  // a subject of left-over bytes after its end
  m.Text(0x007D, "Received: from mx.example.org\r\nFrom: =?UTF-8?B?TS4gQy4gS3VydHVsdcWf?= <m@example.org>\r\n"
                 "To: =?iso-8859-1?Q?Ren=E9?= <r@example.org>,\r\n =?utf-8?Q?Gr=C3?= =?utf-8?Q?=BC=C3=9Fe?= <g@example.org>\r\n"
                 "Cc: =?x-unknown?Q?plain?= <p@example.org>\r\nDate: Sun, 22 Dec 2024 11:23:00 +0300\r\n");
  WriteMsg(tree / "headers.msg", m);
  const std::string t = Extract(tree / "headers.msg");
  EXPECT_NE(t.find("From: M. C. Kurtuluş <m@example.org>\nTo: René <r@example.org>, Grüße <g@example.org>\n"
                   "Cc: plain <p@example.org>\nDate: Sun, 22 Dec 2024 11:23:00 +0300\n"),
            std::string::npos)
      << t;
  EXPECT_EQ(t.find("Subject:"), std::string::npos) << t;
}

TEST(MsgFilter, ContentDecidesBetweenOutlookAndMimeMessages) {
  TempTree tree;
  WriteMsg(tree / "outlook.eml", Message("Saved under the wrong name"));
  TextSink sink;
  EXPECT_TRUE(ExtractWithBuiltin("eml", tree / "outlook.eml", sink).ok());
  EXPECT_NE(sink.Joined().find("Subject: Saved under the wrong name"), std::string::npos);
  const std::string mime = tree.Write("mime.msg", "From: a@b.c\nTo: d@e.f\nSubject: MIME inside\n\nBody\n");
  std::string t = Extract(mime);
  EXPECT_NE(t.find("Subject: MIME inside"), std::string::npos) << t;
}

TEST(Lzfu, UnpacksCompressedRtf) {
  // The example of the format's description: a reference into the preset
  // dictionary, literals, and the end marker.
  const unsigned char packed[] = {0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xf1,
                                  0xc5, 0xc7, 0xa7, 0x03, 0x00, 0x0a, 0x00, 0x72, 0x63, 0x70, 0x67, 0x31, 0x32,
                                  0x35, 0x42, 0x32, 0x0a, 0xf3, 0x20, 0x68, 0x65, 0x6c, 0x09, 0x00, 0x20, 0x62,
                                  0x77, 0x05, 0xb0, 0x6c, 0x64, 0x7d, 0x0a, 0x80, 0x0f, 0xa0};
  auto rtf = DecompressRtf(std::string_view(reinterpret_cast<const char*>(packed), sizeof packed));
  ASSERT_TRUE(rtf);
  EXPECT_EQ(*rtf, "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n");
  // A header that claims more than the bound, or no known kind, is refused.
  std::string huge(16, '\0');
  huge[7] = 0x7F;
  huge.replace(8, 4, "LZFu");
  EXPECT_FALSE(DecompressRtf(huge));
  EXPECT_FALSE(DecompressRtf(std::string(16, 'x')));
}

}  // namespace
}  // namespace quarn

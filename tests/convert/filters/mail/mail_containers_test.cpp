// The filters of mail containers: a mailbox of three messages (one with a
// Content-Length header and an unescaped "From " line in its body, one with
// an attachment written as a single long base64 line), a web archive whose
// page is quoted-printable, a TNEF stream built here attribute by attribute,
// and a message carrying that stream as winmail.dat, read through the
// registry like any attachment; Outlook Express folders written by
// tests/data/mail/make-dbx.py.
#include <gtest/gtest.h>

#include <string>

#include "convert/filter.h"
#include "convert/filters/builtin.h"
#include "convert/filters/mail/mbox_filter.h"
#include "tests/support/filter_support.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using testing::TempTree;

std::string Read(const char* filter, const std::string& path, ExtractResult* result = nullptr) {
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin(filter, path, sink);
  if (result) *result = r;
  return sink.Joined();
}

std::string Base64(std::string_view bytes) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(k[(v >> 18) & 63]);
    out.push_back(k[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? k[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? k[v & 63] : '=');
  }
  return out;
}

std::string MailSample(const char* name) { return std::string(QUARN_TEST_DATA) + "/mail/" + name; }

TEST(DbxFilter, OutlookExpressFoldersGiveEveryMessageInTheTreesOrder) {
  // The first message from the root's left subtree over three blocks, its
  // place held in the index; the second's more than 64 KiB into its entry's
  // data; a quoted-printable Latin-1 body; a choice of renderings.
  ExtractResult r;
  const std::string t = Read("dbx", MailSample("Inbox.dbx"), &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  const std::size_t first = t.find("Subject: Minutes of the meeting"), last_item = t.find("Item 29: the committee"),
                    end = t.find("End of the minutes."), second = t.find("Subject: Re: Minutes"),
                    third = t.find("Subject: Photos");
  ASSERT_NE(first, std::string::npos) << t;
  ASSERT_NE(end, std::string::npos) << t;
  ASSERT_NE(third, std::string::npos) << t;
  EXPECT_LT(first, last_item);
  EXPECT_LT(end, second);
  EXPECT_LT(second, third);
  EXPECT_NE(t.find("Thanks, café at noon."), std::string::npos) << t;
  EXPECT_EQ(t.find("The photos are on the way."), t.rfind("The photos are on the way.")) << t;
  EXPECT_NE(t.find("----------------------------------------", end), std::string::npos);
  // Found by content under another name, through the registry.
  test::TempDir dir;
  FilterText renamed =
      ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "Inbox.bak", test::ReadFile(MailSample("Inbox.dbx"))));
  EXPECT_EQ(renamed.reader, "dbx");
  EXPECT_NE(renamed.text.find("Subject: Photos"), std::string::npos);
}

TEST(DbxFilter, DamageCostsOnlyWhatItTouchesAndFilesWithoutMailSaySo) {
  ExtractResult r;
  // The tree's root overwritten: every message is found from its blocks.
  std::string t = Read("dbx", MailSample("broken-tree.dbx"), &r);
  EXPECT_EQ(r.status, ExtractResult::Status::kIncomplete);
  EXPECT_EQ(r.reason, "the folder's index is damaged; 3 message(s) were found from its blocks");
  for (const char* subject : {"Subject: Minutes of", "Subject: Re: Minutes", "Subject: Photos"})
    EXPECT_NE(t.find(subject), std::string::npos) << subject;
  // Blocks that lead back to the message's first: read once, said to be cut.
  t = Read("dbx", MailSample("looped-blocks.dbx"), &r);
  EXPECT_EQ(r.reason, "1 message(s) were cut short by damage");
  EXPECT_EQ(t.find("Item 0: the committee"), t.rfind("Item 0: the committee"));
  EXPECT_NE(t.find("Subject: Photos"), std::string::npos);
  // Version 4: messages one after the other, damage between them passed over;
  // the .mbx name belongs to mailboxes, so the content decides.
  FilterText v4 = ExtractFilterText(test::Builtins(), MailSample("oe4.mbx"));
  EXPECT_NE(v4.text.find("Thanks, café at noon."), std::string::npos) << v4.text;
  EXPECT_NE(v4.text.find("Subject: Photos"), std::string::npos) << v4.text;
  EXPECT_EQ(v4.problem, "damaged parts of the folder were passed over");
  Read("dbx", MailSample("Folders.dbx"), &r);
  EXPECT_EQ(r.reason, "Outlook Express's list of folders, which holds no messages");
  Read("dbx", MailSample("empty.dbx"), &r);
  EXPECT_EQ(r.reason, "the mail folder holds no messages");
  // Cut short anywhere, or with bytes changed anywhere: a reason or text, never a crash or a hang.
  const std::string whole = test::ReadFile(MailSample("Inbox.dbx"));
  test::TempDir dir;
  for (std::size_t cut : {std::size_t{20}, std::size_t{0x24BC}, whole.size() / 2, whole.size() - 100}) {
    Read("dbx", test::WriteFile(dir.path() / "cut.dbx", whole.substr(0, cut)), &r);
    EXPECT_FALSE(r.ok()) << cut;
  }
  std::uint32_t seed = 11;
  for (int round = 0; round < 300; ++round) {
    std::string mutated = whole;
    for (int k = 0; k < 6; ++k) {
      seed = seed * 1103515245u + 12345u;
      const std::size_t at = 0xC0 + (seed >> 8) % (mutated.size() - 0xC0);
      mutated[at] = static_cast<char>(seed >> 24);
    }
    Read("dbx", test::WriteFile(dir.path() / "m.dbx", mutated), &r);
  }
}

TEST(MboxFilter, EveryMessageInOrderSeparatedByALine) {
  TempTree tree;
  std::string long_attachment = Base64(std::string(6000, 'w') + " attached words at the end");
  const std::string body2 = "Second body.\nFrom the start of a line, unescaped.\n";
  const std::string box = tree.Write(
      "box.mbox",
      "From alice@example.org Mon Jan  1 10:00:00 2024\nFrom: Alice <alice@example.org>\nSubject: First\n\n"
      "First body.\n\n"
      "From bob@example.org Mon Jan  1 11:00:00 2024\nFrom: bob@example.org\nSubject: Second\nContent-Length: " +
          std::to_string(body2.size()) + "\n\n" + body2 +
          "\nFrom carol@example.org Mon Jan  1 12:00:00 2024\nFrom: carol@example.org\nSubject: Third\n"
          "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\n"
          "Third body.\n--b\nContent-Type: text/plain; name=\"a.txt\"\nContent-Disposition: attachment; filename=\"a.txt\"\n"
          "Content-Transfer-Encoding: base64\n\n" +
          long_attachment + "\n--b--\n");
  ExtractResult r;
  std::string t = Read("mbox", box, &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  std::size_t first = t.find("Subject: First"), second = t.find("Subject: Second"), third = t.find("Subject: Third");
  ASSERT_NE(first, std::string::npos) << t;
  ASSERT_NE(second, std::string::npos) << t;
  ASSERT_NE(third, std::string::npos) << t;
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_NE(t.find("From the start of a line, unescaped."), std::string::npos) << t;
  EXPECT_NE(t.find("----------------------------------------", first), std::string::npos);
  EXPECT_NE(t.find("attached words at the end"), std::string::npos);  // past the 4000-byte line
  // Blank lines and a byte-order mark before the first message are no message.
  const std::string two = "From a@example.org Mon Jan  1 10:00:00 2024\nSubject: One\n\nBody one\n\n"
                          "From b@example.org Mon Jan  1 11:00:00 2024\nSubject: Two\n\nBody two\n";
  for (const std::string lead : {"\n", "  \r\n\n", "\xEF\xBB\xBF"}) {
    t = Read("mbox", tree.Write("lead.mbox", lead + two), &r);
    EXPECT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(t.rfind("Subject: One", 0), 0u) << t;
    EXPECT_EQ(t.find(std::string(40, '-')), t.rfind(std::string(40, '-'))) << t;
  }
  // Text that does not start like a mailbox is read as the text it is (a
  // message quoted after prose stays in it); other bytes are refused.
  const std::string notes =
      "Notes first.\n\nFrom alice@example.org Mon Jan  1 10:00:00 2024\nFrom: alice@example.org\n\nQuoted.\n";
  EXPECT_EQ(Read("mbox", tree.Write("notes.mbox", notes), &r), notes);
  EXPECT_TRUE(r.ok()) << r.reason;
  Read("mbox", tree.Write("no.mbox", std::string("\x01\x02\x03\0\0binary", 11)), &r);
  EXPECT_EQ(r.status, ExtractResult::Status::kUnknownFormat);
}

// A "From " line separates messages where a header block follows it, with
// or without a blank line before it; "From" starting a sentence after a
// blank line is text; the ">" put before body lines that start with "From "
// is taken away again (one of them: ">>From " was ">From ").
TEST(MboxFilter, SeparatorsAreFromLinesBeforeHeadersAndEscapesAreUndone) {
  TempTree tree;
  for (const std::string eol : {"\n", "\r\n"}) {
    std::string box =
        "From - Mon Jan  1 10:00:00 2024\nFrom: a@example.org\nSubject: One\n\nFirst paragraph.\n\n"
        "From Russia with love\n\nand a film:\n\nFrom Russia with love\nYear: 1963\n\n"
        ">From the escaped line\n>>From the doubly escaped line\n> From a quote\n"
        "Last line of the first.\nFrom -\nX-Mozilla-Status: 0001\nSubject: Two\n\nBody two\n"
        "From 1844347792267117879@xxx\nReturn-Path: <b@example.org>\nSubject: Three\n\nBody three\n";
    if (eol != "\n")
      for (std::size_t at = 0; (at = box.find('\n', at)) != std::string::npos; at += 2) box.replace(at, 1, eol);
    ExtractResult r;
    const std::string t = Read("mbox", tree.Write("box.mbox", box), &r);
    EXPECT_TRUE(r.ok()) << r.reason;
    EXPECT_NE(t.find("First paragraph.\n\nFrom Russia with love\n\nand a film:\n\nFrom Russia with love\nYear: 1963\n\n"
                     "From the escaped line\n>From the doubly escaped line\n> From a quote\nLast line of the first.\n"),
              std::string::npos)
        << t;
    std::size_t two = t.find("Subject: Two\n"), three = t.find("Subject: Three\n");
    ASSERT_NE(two, std::string::npos) << t;
    ASSERT_NE(three, std::string::npos) << t;
    EXPECT_NE(t.find("Body two"), std::string::npos) << t;
    EXPECT_NE(t.find("Body three"), std::string::npos) << t;
    // Three messages, two separating lines.
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = t.find("\n----------", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 2u) << t;
    EXPECT_EQ(t.find("From -"), std::string::npos) << t;
  }
}

// A mailbox is read a window at a time (an account's export runs to tens of
// gigabytes): with windows of a few kilobytes its text is what one window
// over the whole file gives, whatever the messages' sizes and whichever way
// their ends are found; a message larger than the largest window is passed
// over and counted.
TEST(MboxFilter, AMailboxReadWindowByWindowReadsAsAWhole) {
  TempTree tree;
  auto message = [](int n, std::size_t body_bytes, bool with_length, const std::string& eol) {
    std::string body;
    for (int line = 0; body.size() < body_bytes; ++line)
      body += (line % 7 == 3 ? ">From the body of message " : "words of message ") + std::to_string(n) + " line " +
              std::to_string(line) + eol;
    std::string m = "From sender" + std::to_string(n) + "@example.org Mon Jan  1 10:00:00 2024" + eol +
                    "From: sender" + std::to_string(n) + "@example.org" + eol + "Subject: Message " +
                    std::to_string(n) + eol;
    if (with_length) m += "Content-Length: " + std::to_string(body.size()) + eol;
    return m + eol + body + eol;
  };
  std::string whole, without_giant;
  for (int n = 0; n < 120; ++n) {
    const std::size_t bytes = n == 77 ? 100000 : n % 10 == 0 ? 9000 : n % 3 == 0 ? 2500 : 300;
    const std::string m = message(n, bytes, n % 4 == 1, n % 5 == 2 ? "\r\n" : "\n");
    whole += m;
    if (n != 77) without_giant += m;
  }
  const MailboxWindowing small{4096, 512, 65536};
  TextSink windowed, expected;
  const ExtractResult r = ExtractMailbox(tree.Write("box.mbox", whole), windowed, small);
  ASSERT_TRUE(ExtractMailbox(tree.Write("expected.mbox", without_giant), expected).ok());
  EXPECT_EQ(r.status, ExtractResult::Status::kIncomplete);
  EXPECT_EQ(r.reason, "1 message(s) could not be read");
  EXPECT_EQ(windowed.Joined(), expected.Joined());
  EXPECT_NE(expected.Joined().find("Subject: Message 119"), std::string::npos);
  // The same mailbox read whole.
  TextSink at_once;
  EXPECT_TRUE(ExtractMailbox(tree / "box.mbox", at_once).ok());
  EXPECT_NE(at_once.Joined().find("Subject: Message 77"), std::string::npos);
}

TEST(MhtmlFilter, ThePageOfAWebArchive) {
  TempTree tree;
  const std::string mht = tree.Write(
      "page.mht",
      "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"x\"; start=\"<page>\"\r\n\r\n"
      "This is a web archive.\r\n--x\r\nContent-Type: image/png\r\nContent-ID: <img>\r\n\r\nPNGDATA\r\n"
      "--x\r\nContent-Type: text/html; charset=\"utf-8\"\r\nContent-ID: <page>\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "<html><head><title>Saved page</title><style>p{}</style></head><body><p>Caf=C3=A9 words that are bro=\r\n"
      "ken by a soft line break</p></body></html>\r\n--x--\r\n");
  ExtractResult r;
  std::string t = Read("mhtml", mht, &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_NE(t.find("Saved page"), std::string::npos) << t;
  EXPECT_NE(t.find("Café words that are broken by a soft line break"), std::string::npos) << t;
  EXPECT_EQ(t.find("PNGDATA"), std::string::npos);
  EXPECT_EQ(t.find("web archive"), std::string::npos);  // the preamble is for mail programs
}

// One TNEF attribute: level, id, length, data, checksum.
std::string Attribute(int level, uint32_t id, std::string_view data) {
  std::string a(1, static_cast<char>(level));
  for (uint32_t v : {id, static_cast<uint32_t>(data.size())})
    for (int i = 0; i < 4; ++i) a.push_back(static_cast<char>(v >> (8 * i)));
  a.append(data);
  unsigned sum = 0;
  for (unsigned char c : data) sum += c;
  a.push_back(static_cast<char>(sum & 0xFF));
  a.push_back(static_cast<char>((sum >> 8) & 0xFF));
  return a;
}

std::string TnefStream() {
  std::string s("\x78\x9F\x3E\x22\x01\x00", 6);
  s += Attribute(1, 0x00089006, std::string("\x00\x00\x01\x00", 4));             // version
  s += Attribute(1, 0x00018004, std::string("Minutes of the meeting\0", 23));     // subject
  s += Attribute(1, 0x0002800C, std::string("The body of the message.\0", 25));   // body
  s += Attribute(2, 0x00069002, std::string(14, '\0'));                            // a new attachment
  s += Attribute(2, 0x00018010, std::string("agenda.txt\0", 11));                 // its title
  s += Attribute(2, 0x0006800F, "Words of the agenda attachment.\n");             // its data
  return s;
}

std::string Le(uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// A meeting request: its sender as a triple of name and address, its class,
// and its time and place as named properties of the appointment set.
TEST(TnefFilter, TheSenderAndAMeetingsTimeAndPlace) {
  std::string s("\x78\x9F\x3E\x22\x01\x00", 6);
  s += Attribute(1, 0x00089006, std::string("\x00\x00\x01\x00", 4));
  const std::string name("Ann Example\0", 12), address("SMTP:ann@example.org\0", 21);
  s += Attribute(1, 0x00008000, Le(4, 2) + Le(8 + name.size() + address.size(), 2) + Le(name.size(), 2) +
                                    Le(address.size(), 2) + name + address + std::string(3, '\0'));
  s += Attribute(1, 0x00078008, std::string("IPM.Schedule.Meeting.Request\0", 29));
  s += Attribute(1, 0x00018004, std::string("Budget review\0", 14));
  const std::string set("\x02\x20\x06\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
  auto named = [&](uint32_t type, uint32_t number, const std::string& value) {
    return Le(type | 0x8000u << 16, 4) + set + Le(0, 4) + Le(number, 4) + value;
  };
  const uint64_t start = (1614952800ULL + 11644473600ULL) * 10000000ULL, end = start + 3600ULL * 10000000ULL;
  const std::string place("Room 4\0\0", 8);
  s += Attribute(1, 0x00069003, Le(3, 4) + named(0x0040, 0x820D, Le(start, 8)) + named(0x0040, 0x820E, Le(end, 8)) +
                                    named(0x001E, 0x8208, Le(1, 4) + Le(7, 4) + place));
  TempTree tree;
  ExtractResult r;
  std::string t = Read("tnef", tree.Write("meeting.dat", s), &r);
  EXPECT_NE(t.find("From: Ann Example <ann@example.org>\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Subject: Budget review\nWhen: 2021-03-05 14:00 UTC to 2021-03-05 15:00 UTC\nWhere: Room 4\n"),
            std::string::npos)
      << t;
}

TEST(TnefFilter, BodyAndAttachmentsOfAStreamAndOfAMessageThatCarriesOne) {
  TempTree tree;
  const std::string dat = tree.Write("winmail.dat", TnefStream());
  ExtractResult r;
  std::string t = Read("tnef", dat, &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_NE(t.find("Subject: Minutes of the meeting"), std::string::npos) << t;
  EXPECT_NE(t.find("The body of the message."), std::string::npos) << t;
  EXPECT_NE(t.find("Attachment: agenda.txt\nWords of the agenda attachment."), std::string::npos) << t;

  const std::string eml = tree.Write(
      "carrier.eml",
      "From: a@example.org\nTo: b@example.org\nSubject: Carrier\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nSee attached.\n--b\n"
      "Content-Type: application/ms-tnef; name=\"winmail.dat\"\nContent-Disposition: attachment; filename=\"winmail.dat\"\n"
      "Content-Transfer-Encoding: base64\n\n" +
          Base64(TnefStream()) + "\n--b--\n");
  t = Read("eml", eml, &r);
  EXPECT_NE(t.find("Attachment: winmail.dat"), std::string::npos) << t;
  EXPECT_NE(t.find("Words of the agenda attachment."), std::string::npos) << t;
  // A .dat file that is no TNEF stream is refused, unless it plainly is text
  // (an export of records).
  Read("tnef", tree.Write("other.dat", std::string(64, '\x01')), &r);
  EXPECT_EQ(r.status, ExtractResult::Status::kUnknownFormat);
  t = Read("tnef", tree.Write("export.dat", "DOCID,Title\nABC0001,Contract\n"), &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_NE(t.find("Contract"), std::string::npos) << t;
}

}  // namespace
}  // namespace quarn

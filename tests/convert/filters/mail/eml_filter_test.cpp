// The mail filter over small messages written by tests/data/mail/make-mail.py,
// and over messages built on the fly.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "convert/filters/builtin.h"
#include "tests/support/filter_support.h"
#include "convert/filters/mail/eml_filter.h"
#include "convert/filters/sniff.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using Status = ExtractResult::Status;

std::string Sample(const std::string& name) { return std::string(QUARN_TEST_DATA) + "/mail/" + name; }

using Extracted = test::BuiltinText;

Extracted ExtractSample(std::string_view filter, const std::string& path) { return test::ExtractWith(filter, path); }

using ScratchDir = test::ScratchTest;

TEST(MailFilter, HeadersFirstThenPartsAttachmentsAndNestedMessages) {
  Extracted e = ExtractSample("eml", Sample("sample.eml"));
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text.rfind("From: Анна <anna@example.org>\n"
                         "To: Bob <bob@example.org>, carol@example.org\n"
                         "Cc: Dave <dave@example.org>\n"
                         "Date: Mon, 01 Mar 2021 10:30:00 +0100\n"
                         "Subject: Quarterly résumé\n",
                         0),
            0u)
      << e.text;
  // The plain rendering of the alternative, not both.
  EXPECT_NE(e.text.find("Hello Bob, the figures are attached. Greek: Καλημέρα."), std::string::npos);
  EXPECT_EQ(e.text.find("the HTML rendering"), std::string::npos);
  // A part labelled UTF-8 with no UTF-8 in it and bytes that are not: read in
  // the code page its bytes suggest; the words around survive either way.
  EXPECT_NE(e.text.find("Broken \xC3\xBF\xC3\xBE bytes before the last words survive."), std::string::npos)
      << e.text;
  // The attached document's own text, introduced by its name; other attachments by name only.
  std::size_t report = e.text.find("Attachment: report.doc\n");
  ASSERT_NE(report, std::string::npos);
  EXPECT_LT(report, e.text.find("Name\tCity\tScore"));
  EXPECT_NE(e.text.find("Attachment: chart.png"), std::string::npos);
  // The attached message: its headers, and its HTML-only body as text without scripts.
  std::size_t inner = e.text.find("Subject: The attached message");
  ASSERT_NE(inner, std::string::npos);
  EXPECT_LT(inner, e.text.find("Only HTML in here & nothing else."));
  EXPECT_EQ(e.text.find("hidden"), std::string::npos);
  EXPECT_EQ(e.text.find("<b>"), std::string::npos);
}

TEST_F(ScratchDir, AHeaderBlockMakesAMessageWhateverItsBodyHolds) {
  // An HTML body in the first kilobyte, as a message named like a web page.
  const std::string message =
      "From: Anna <anna@example.org>\r\nTo: bob@example.org\r\nSubject: Menu\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n--b1\r\n"
      "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      "PGh0bWw+PGhlYWQ+PHRpdGxlPk1lbnU8L3RpdGxlPjwvaGVhZD48Ym9keT48cD5Tb3VwIG9mIHRoZSBkYXk8L3A+PC9ib2R5PjwvaHRtbD4=\r\n"
      "--b1--\r\n";
  fs::path page = Write("saved.html", message);
  EXPECT_EQ(SniffContent(page.string()).filter, "eml");
  Extracted e = ExtractSample("html", page.string());
  EXPECT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Subject: Menu\n"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Soup of the day"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("--b1"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("PGh0bWw"), std::string::npos) << e.text;
}

TEST_F(ScratchDir, AppleMailMessagesAreReadWithoutTheirLengthOrFlags) {
  // Apple Mail's .emlx: the message's length in bytes on a line of its own,
  // the message, then its flags as a property list.
  const std::string message = "From: Anna <anna@example.org>\nTo: bob@example.org\nSubject: Apples\n\nOrchard notes.\n";
  const std::string plist = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>flags</key>"
                            "<integer>8590195713</integer></dict></plist>\n";
  fs::path saved = Write("1234.emlx", std::to_string(message.size()) + "       \n" + message + plist);
  EXPECT_EQ(SniffContent(saved.string()).filter, "eml");
  Extracted e = ExtractSample("eml", saved.string());
  EXPECT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Subject: Apples\n"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Orchard notes."), std::string::npos) << e.text;
  for (const char* absent : {"plist", "flags", "8590195713", "\n54"})
    EXPECT_EQ(e.text.find(absent), std::string::npos) << e.text;
  // A length beyond the end (a message cut short) keeps what there is.
  e = ExtractSample("eml", Write("cut.emlx", "99999\n" + message).string());
  EXPECT_NE(e.text.find("Orchard notes."), std::string::npos) << e.text;
}

TEST_F(ScratchDir, FlowedTextBecomesParagraphsAndLineEndsAreLineFeeds) {
  // A line ending in a space goes on in the next line of its quote depth;
  // with delsp=yes that space was added for the wrap; a space before a line
  // protects it; the signature separator never flows; CR LF becomes LF.
  const std::string head = "From: a@example.org\r\nSubject: Notes\r\nMIME-Version: 1.0\r\n";
  const std::string body =
      "The first paragraph was wrapped  \r\nby the sender, and a long word: supercalifragi \r\nlistic.\r\n"
      "\r\n> A quoted paragraph  \r\n> in two lines.\r\n>> Deeper.\r\n Stuffed line\r\n-- \r\nSignature\r\n";
  fs::path flowed = Write("flowed.eml", head + "Content-Type: text/plain; charset=utf-8; Format=Flowed; DelSp=Yes\r\n\r\n" + body);
  Extracted e = ExtractSample("eml", flowed.string());
  EXPECT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("The first paragraph was wrapped by the sender, and a long word: supercalifragilistic.\n\n"
                        "> A quoted paragraph in two lines.\n>> Deeper.\nStuffed line\n-- \nSignature\n"),
            std::string::npos)
      << e.text;
  // Without delsp the space stays; without format=flowed nothing is joined.
  e = ExtractSample("eml", Write("kept.eml", head + "Content-Type: text/plain; format=flowed\r\n\r\nword \r\nnext\r\n").string());
  EXPECT_NE(e.text.find("word next\n"), std::string::npos) << e.text;
  e = ExtractSample("eml", Write("fixed.eml", head + "Content-Type: text/plain\r\n\r\nword \r\nnext\r\n").string());
  EXPECT_NE(e.text.find("word \nnext\n"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find('\r'), std::string::npos) << e.text;
}

TEST_F(ScratchDir, APageQuotingHeaderLinesIsAPage) {
  const std::string fragment =
      "<p>The message read:</p>\nFrom: John Smith\nSubject: Lunch\nDate: Monday\n<p>and nothing more.</p>\n";
  fs::path page = Write("quote.html", fragment);
  EXPECT_EQ(SniffContent(page.string()).filter, "");
  Extracted e = ExtractSample("html", page.string());
  EXPECT_EQ(e.text, "The message read:\nFrom: John Smith Subject: Lunch Date: Monday\nand nothing more.\n");
}

// A page saved with its files as one MIME document ("Single File Web Page")
// is a web archive whatever its name; a part labelled text that holds a zip
// (as Word labels such a page's theme) is never shown as characters.
TEST_F(ScratchDir, SavedWebPagesAndBinaryTextPartsAreToldFromMail) {
  const std::string zip_base64 = "UEsDBBQABgAIAAAAIQCb6HBP/AAAABwCAAATAAAAW0NvbnRlbnRfVHlwZXNdLnhtbKyRy2rDMBBF\n";
  const std::string page =
      "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"B\"\r\n\r\n"
      "This document is a Web archive file.\r\n\r\n--B\r\nContent-Location: file:///C:/x/page.htm\r\n"
      "Content-Type: text/html; charset=\"us-ascii\"\r\n\r\n<html><body><p>The saved page.</p></body></html>\r\n"
      "--B\r\nContent-Location: file:///C:/x/page_files/themedata.xml\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-Type: text/xml\r\n\r\n" + zip_base64 + "--B--\r\n";
  fs::path named_doc = Write("page.doc", page);
  EXPECT_EQ(SniffContent(named_doc.string()).filter, "mhtml");
  // The same structure sent as mail stays mail; its binary "text" parts,
  // inline or attached, show no bytes as characters.
  const std::string mail =
      "From: a@example.org\r\nTo: b@example.org\r\nSubject: Theme\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/related; boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nSee the theme.\r\n"
      "--B\r\nContent-Transfer-Encoding: base64\r\nContent-Type: text/xml\r\n\r\n" + zip_base64 +
      "--B\r\nContent-Transfer-Encoding: base64\r\nContent-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename=\"theme.txt\"\r\n\r\n" + zip_base64 + "--B--\r\n";
  fs::path message = Write("theme.eml", mail);
  EXPECT_EQ(SniffContent(message.string()).filter, "eml");
  Extracted e = ExtractSample("eml", message.string());
  EXPECT_NE(e.text.find("See the theme."), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Attachment: theme.txt"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("PK"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("Content_Types"), std::string::npos) << e.text;
}

TEST_F(ScratchDir, AMessageWithoutHeadersIsReadAsItsText) {
  Extracted e = ExtractSample("eml", Write("note.eml", "Just a note, saved without any headers.\nSecond line.\n").string());
  EXPECT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_EQ(e.text, "Just a note, saved without any headers.\nSecond line.\n");
}

TEST_F(ScratchDir, MailFollowsNestedMessagesOnlySoDeep) {
  std::string message = "From: a@example.org\nSubject: level 0\n\ninnermost\n";
  for (int level = 1; level <= 30; ++level)
    message = "From: a@example.org\nSubject: level " + std::to_string(level) +
              "\nMIME-Version: 1.0\nContent-Type: message/rfc822\n\n" + message;
  Extracted e = ExtractSample("eml", Write("deep.eml", message).string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Subject: level 30"), std::string::npos);
  EXPECT_NE(e.text.find("nested too deeply"), std::string::npos);
  EXPECT_EQ(e.text.find("innermost"), std::string::npos);
}

TEST_F(ScratchDir, MailWithUnknownCharsetFallsBackVisibly) {
  std::string message =
      "From: a@example.org\nSubject: s\nContent-Type: text/plain; charset=x-no-such-charset\n\n"
      "caf\xE9 au lait\n";
  Extracted e = ExtractSample("eml", Write("odd.eml", message).string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("café au lait"), std::string::npos) << e.text;
}

// A part or an encoded word labelled UTF-8 whose bytes are another code page
// is read in that code page, plain or HTML, in a message and in a web
// archive; UTF-8 with a damaged character keeps its label.
TEST_F(ScratchDir, PartsLabelledUtf8ThatAreNotAreReadInTheirOwnCodePage) {
  const std::string latin = "Gr\xFC\xDF" "e aus M\xFCnchen, caf\xE9 cr\xE8me br\xFBl\xE9" "e, \xE0 bient\xF4t";
  const std::string read = "Grüße aus München, café crème brûlée, à bientôt";
  auto message = [&](const std::string& type, const std::string& body) {
    return "From: a@example.org\nSubject: s\nMIME-Version: 1.0\nContent-Type: " + type +
           "; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n" + body + "\n";
  };
  Extracted plain = ExtractSample("eml", Write("plain.eml", message("text/plain", latin)).string());
  EXPECT_NE(plain.text.find(read), std::string::npos) << plain.text;
  Extracted html = ExtractSample(
      "eml", Write("html.eml", message("text/html", "<title>No mail program shows this</title><p>" + latin + "</p>")).string());
  EXPECT_NE(html.text.find(read), std::string::npos) << html.text;
  EXPECT_EQ(html.text.find("No mail program"), std::string::npos) << html.text;
  Extracted archive = ExtractSample("mhtml", Write("page.mht", message("text/html", "<p>" + latin + "</p>")).string());
  EXPECT_NE(archive.text.find(read), std::string::npos) << archive.text;
  for (const Extracted* e : {&plain, &html, &archive}) EXPECT_EQ(e->text.find("\xEF\xBF\xBD"), std::string::npos);

  // The same in a header's encoded word; a well-labelled word stays as it is.
  Extracted subject = ExtractSample(
      "eml", Write("subject.eml", "From: =?utf-8?Q?J=FCrgen?= <j@example.org>\nTo: =?utf-8?Q?Zo=C3=A9?= <z@example.org>\n"
                                  "Subject: =?utf-8?Q?Gr=FC=DFe_aus_M=FCnchen?= und =?UTF-8?B?w6lsw6h2ZQ==?=\n\nbody\n")
                 .string());
  EXPECT_NE(subject.text.find("From: Jürgen <j@example.org>\nTo: Zoé <z@example.org>\n"), std::string::npos)
      << subject.text;
  EXPECT_NE(subject.text.find("Subject: Grüße aus München und élève\n"), std::string::npos) << subject.text;

  // UTF-8 labelled as a single-byte code page is UTF-8.
  Extracted labelled = ExtractSample(
      "eml", Write("latin1.eml", "From: a@example.org\nSubject: s\nContent-Type: text/plain; charset=iso-8859-1\n"
                                 "Content-Transfer-Encoding: 8bit\n\n" + read + "\n").string());
  EXPECT_NE(labelled.text.find(read), std::string::npos) << labelled.text;

  const std::string damaged = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80 \xFF end";
  Extracted utf8 = ExtractSample("eml", Write("damaged.eml", message("text/plain", damaged)).string());
  EXPECT_NE(utf8.text.find("Привет мир \xEF\xBF\xBD end"), std::string::npos) << utf8.text;
}

// Western text is written in windows-1252 whatever it says: a part labelled
// ISO-8859-1, a header in raw 8-bit bytes, an encoded word in a character
// set nobody knows; their quotes, dashes and euro signs are read as such,
// never as invisible controls or dropped.
TEST_F(ScratchDir, WesternTextIsReadInTheWindowsCodePage) {
  const std::string message =
      "From: =?x-unknown?Q?Ren=E9?= <r@example.org>\nSubject: \x93" "Caf\xE9\x94 \x96 \x80" "5\n"
      "Content-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: 8bit\n\n"
      "\x93quoted\x94 \x96 dash \x80 euro\n";
  Extracted e = ExtractSample("eml", Write("western.eml", message).string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("From: René <r@example.org>\n"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Subject: “Café” – €5\n"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("“quoted” – dash € euro\n"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("\xC2\x93"), std::string::npos) << e.text;

  // Encoded words and file names labelled ISO-8859-1 that hold those bytes.
  e = ExtractSample(
      "eml", Write("labelled.eml", "From: =?iso-8859-1?Q?=93Ann=94?= <a@example.org>\n"
                                   "Subject: =?iso-8859-1?Q?=93quoted=94_=80?=\nMIME-Version: 1.0\n"
                                   "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nbody\n"
                                   "--b\nContent-Type: application/octet-stream\n"
                                   "Content-Disposition: attachment; filename*=iso-8859-1''%93r%E9sum%E9%94.txt\n\nx\n--b--")
                 .string());
  EXPECT_NE(e.text.find("From: “Ann” <a@example.org>\nSubject: “quoted” €\n"), std::string::npos) << e.text;
  // The attachment's text ends its line, though its file had no line end.
  EXPECT_NE(e.text.find("Attachment: “résumé”.txt\nx\n"), std::string::npos) << e.text;
}

// A character split between two encoded words (the sender cut the bytes,
// not the characters) is one character, not two wrong ones.
TEST_F(ScratchDir, ACharacterSplitBetweenEncodedWordsIsJoined) {
  Extracted e = ExtractSample(
      "eml", Write("split.eml", "From: a@example.org\nSubject: =?UTF-8?Q?Gr=C3?= =?UTF-8?Q?=BC=C3=9Fe?= and "
                                "=?utf-8?B?w6?=\n =?utf-8?B?k=?= end\n\nbody\n")
                 .string());
  EXPECT_NE(e.text.find("Subject: Grüße and é end\n"), std::string::npos) << e.text;
}

const std::string kMailHead = "From: a@example.org\nTo: b@example.org\nSubject: s\nMIME-Version: 1.0\n";

// Which parts of a message a reader sees: of alternatives, the plain text
// only when it has words, and an invitation's calendar besides; a calendar
// body read as an event; the pictures of an HTML page not listed as
// attachments; a signed message's content without its signature.
TEST_F(ScratchDir, TheRenderingsAReaderSees) {
  const std::string calendar =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\nSUMMARY:Budget review\r\n"
      "DTSTART:20210305T140000Z\r\nDTEND:20210305T150000Z\r\nLOCATION:Room 4\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  Extracted e = ExtractSample(
      "eml", Write("invite.eml", kMailHead + "Content-Type: multipart/alternative; boundary=a\n\n--a\n"
                                             "Content-Type: text/plain\n\n\n--a\nContent-Type: text/html\n\n"
                                             "<p>Only the <b>HTML</b> has words</p>\n--a\n"
                                             "Content-Type: text/calendar; method=REQUEST\n\n" + calendar + "--a--\n")
                 .string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Only the HTML has words"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Where: Room 4"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("2021-03-05 14:00"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("BEGIN:"), std::string::npos) << e.text;

  // Enriched and rich text without their formatting commands.
  e = ExtractSample("eml", Write("enriched.eml", kMailHead + "Content-Type: text/enriched\n\n<bold>Bold</bold> words\n"
                                                             "go on.\n\n<color><param>red</param>Red <<b></color> end.\n")
                               .string());
  EXPECT_NE(e.text.find("Bold words go on.\nRed <b> end."), std::string::npos) << e.text;
  e = ExtractSample("eml", Write("richtext.eml", kMailHead + "Content-Type: text/richtext\n\n<Indent><bigger>Rich\n"
                                                             "text</bigger><nl><nl>after <lt>b>\n</Indent>")
                               .string());
  EXPECT_NE(e.text.find("Rich text\n\nafter <b>"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("Indent"), std::string::npos) << e.text;

  e = ExtractSample("eml", Write("event.eml", kMailHead + "Content-Type: text/calendar\n\n" + calendar).string());
  EXPECT_NE(e.text.find("Event: Budget review"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("DTSTART"), std::string::npos) << e.text;

  e = ExtractSample(
      "eml", Write("related.eml", kMailHead + "Content-Type: multipart/related; boundary=r\n\n--r\n"
                                              "Content-Type: text/html\n\n<p>Look <img src=\"cid:p1\"> here</p>\n--r\n"
                                              "Content-Type: image/png; name=\"image001.png\"\nContent-ID: <p1>\n"
                                              "Content-Transfer-Encoding: base64\n\niVBORw0KGgo=\n--r--\n")
                 .string());
  EXPECT_NE(e.text.find("Look here"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("image001"), std::string::npos) << e.text;

  e = ExtractSample(
      "eml", Write("signed.eml", kMailHead + "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; "
                                             "boundary=s\n\n--s\nContent-Type: text/plain\n\nSigned words\n--s\n"
                                             "Content-Type: application/pgp-signature; name=signature.asc\n\n"
                                             "-----BEGIN PGP SIGNATURE-----\n\niQEzBAEBCAAd\n=abcd\n"
                                             "-----END PGP SIGNATURE-----\n--s--\n")
                 .string());
  EXPECT_NE(e.text.find("Signed words"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("PGP"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("signature.asc"), std::string::npos) << e.text;
}

// Messages inside messages however they travel: forwarded in base64, the
// status and the returned headers of a delivery report, a file uuencoded
// in the text.
TEST_F(ScratchDir, ForwardedReturnedAndUuencodedContentIsRead) {
  const std::string inner = "From: Inner <i@example.org>\nSubject: Inner subject\n\nInner body words\n";
  Extracted e = ExtractSample(
      "eml", Write("fwd.eml", kMailHead + "Content-Type: multipart/mixed; boundary=m\n\n--m\nContent-Type: text/plain\n\n"
                                          "See below\n--m\nContent-Type: message/rfc822\n"
                                          "Content-Transfer-Encoding: base64\n\n"
                                          "RnJvbTogSW5uZXIgPGlAZXhhbXBsZS5vcmc+ClN1YmplY3Q6IElubmVyIHN1YmplY3QKCklubmVy\n"
                                          "IGJvZHkgd29yZHMK\n--m--\n")
                 .string());
  ASSERT_EQ(e.result.status, Status::kOk) << e.result.reason;
  EXPECT_NE(e.text.find("Attached message:\nFrom: Inner <i@example.org>\nSubject: Inner subject\n"), std::string::npos)
      << e.text;
  EXPECT_NE(e.text.find("Inner body words"), std::string::npos) << e.text;

  e = ExtractSample(
      "eml", Write("bounce.eml", kMailHead + "Content-Type: multipart/report; report-type=delivery-status; boundary=r\n\n"
                                             "--r\nContent-Type: text/plain\n\nNot delivered.\n--r\n"
                                             "Content-Type: message/delivery-status\n\nReporting-MTA: dns; mx.example.org\n\n"
                                             "Final-Recipient: rfc822; nobody@example.com\nAction: failed\n"
                                             "Diagnostic-Code: smtp; 550 5.1.1 User unknown\n--r\n"
                                             "Content-Type: message/rfc822-headers\n\nFrom: a@example.org\n"
                                             "To: nobody@example.com\nSubject: The lost message\n--r--\n")
                 .string());
  EXPECT_NE(e.text.find("Final-Recipient: rfc822; nobody@example.com\nAction: failed\n"
                        "Diagnostic-Code: smtp; 550 5.1.1 User unknown\n"),
            std::string::npos)
      << e.text;
  EXPECT_NE(e.text.find("Attached message:\nFrom: a@example.org\nTo: nobody@example.com\nSubject: The lost message\n"),
            std::string::npos)
      << e.text;

  e = ExtractSample("eml", Write("uu.eml", kMailHead + "Content-Type: text/plain\n\nSee the file.\n\n"
                                                       "begin 644 notes.txt\n"
                                                       ">=75E;F-O9&5D(&%T=&%C:&5D('=O<F1S(&AE<F4*\n`\nend\n\nThanks.\n")
                                .string());
  EXPECT_NE(e.text.find("See the file."), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Attachment: notes.txt\nuuencoded attached words here\n"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find("Thanks."), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find(">=75E"), std::string::npos) << e.text;
}

// An encrypted body is no text: the headers are written and the message
// reported incomplete, with the reason; a signature or a bundle of
// certificates in the same wrapping is no encryption.
TEST_F(ScratchDir, EncryptedBodiesAreReportedNotRead) {
  Extracted smime = ExtractSample(
      "eml", Write("smime.eml", kMailHead + "Content-Type: application/pkcs7-mime; name=smime.p7m\n"
                                            "Content-Transfer-Encoding: base64\n\n"
                                            "MIAGCSqGSIb3DQEHA6CAMIACAQAxggFAMIIBPAIBADA=\n")
                 .string());
  Extracted pgp = ExtractSample(
      "eml", Write("pgp.eml", kMailHead + "Content-Type: multipart/encrypted; protocol=\"application/pgp-encrypted\"; "
                                          "boundary=e\n\n--e\nContent-Type: application/pgp-encrypted\n\nVersion: 1\n--e\n"
                                          "Content-Type: application/octet-stream; name=encrypted.asc\n\n"
                                          "-----BEGIN PGP MESSAGE-----\n\nhQEMA1234567\n-----END PGP MESSAGE-----\n--e--\n")
                 .string());
  for (const Extracted* e : {&smime, &pgp}) {
    EXPECT_EQ(e->result.status, Status::kIncomplete) << e->text;
    EXPECT_NE(e->result.reason.find("encrypted"), std::string::npos) << e->result.reason;
    EXPECT_NE(e->text.find("Subject: s\n"), std::string::npos) << e->text;
    EXPECT_EQ(e->text.find("PGP"), std::string::npos) << e->text;
    EXPECT_EQ(e->text.find("Attachment"), std::string::npos) << e->text;
  }
  Extracted certificates = ExtractSample(
      "eml", Write("certs.eml", kMailHead + "Content-Type: application/x-pkcs7-mime; name=eric.p7c\n"
                                            "Content-Disposition: attachment; filename=eric.p7c\n"
                                            "Content-Transfer-Encoding: base64\n\nMIAGCSqGSIb3DQEHAqCAMIACAQEx\n")
                 .string());
  EXPECT_EQ(certificates.result.status, Status::kOk) << certificates.result.reason;
  EXPECT_NE(certificates.text.find("Attachment: eric.p7c"), std::string::npos) << certificates.text;

  // Signed the opaque way: the body is inside the signature's structure
  // (here of indefinite lengths, its content in two pieces).
  Extracted opaque = ExtractSample(
      "eml", Write("opaque.eml", kMailHead + "Content-Type: application/pkcs7-mime; smime-type=signed-data; "
                                             "name=smime.p7m\nContent-Disposition: attachment; filename=smime.p7m\n"
                                             "Content-Transfer-Encoding: base64\n\n"
                                             "MIAGCSqGSIb3DQEHAqCAMIACAQExADCABgkqhkiG9w0BBwGggCSABB5Db250ZW50LVR5cGU6IHRleHQv\n"
                                             "cGxhaW47IGNoYXIEInNldD11dGYtOA0KDQpPcGFxdWUgc2lnbmVkIHdvcmRzDQoAAAAAAAAxAAAAAAAA\n"
                                             "AA==\n")
                 .string());
  EXPECT_EQ(opaque.result.status, Status::kOk) << opaque.result.reason;
  EXPECT_NE(opaque.text.find("Opaque signed words"), std::string::npos) << opaque.text;
  EXPECT_EQ(opaque.text.find("smime.p7m"), std::string::npos) << opaque.text;

  // PGP in the text itself: the signed words without armor or signature
  // (and without the "- " that protects a line starting with a dash); an
  // encrypted block left out and reported.
  Extracted inline_pgp = ExtractSample(
      "eml", Write("inline.eml", kMailHead + "Content-Type: text/plain\n\nBefore.\n"
                                             "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\nSigned inline words\n"
                                             "- -- a dashed line\n-----BEGIN PGP SIGNATURE-----\n\niQEzBAEBCAAd\n=abcd\n"
                                             "-----END PGP SIGNATURE-----\nAfter.\n")
                 .string());
  EXPECT_EQ(inline_pgp.result.status, Status::kOk) << inline_pgp.result.reason;
  EXPECT_NE(inline_pgp.text.find("Before.\nSigned inline words\n-- a dashed line\nAfter.\n"), std::string::npos)
      << inline_pgp.text;
  Extracted inline_encrypted = ExtractSample(
      "eml", Write("inline-encrypted.eml", kMailHead + "Content-Type: text/plain\n\nHi,\n-----BEGIN PGP MESSAGE-----\n\n"
                                                       "hQEMA1234567\n-----END PGP MESSAGE-----\n")
                 .string());
  EXPECT_EQ(inline_encrypted.result.status, Status::kIncomplete) << inline_encrypted.text;
  EXPECT_EQ(inline_encrypted.text.find("hQEMA"), std::string::npos) << inline_encrypted.text;
  EXPECT_NE(inline_encrypted.text.find("Hi,"), std::string::npos) << inline_encrypted.text;
}

TEST(MailHtml, BlocksBecomeLinesEntitiesAreDecoded) {
  TextSink sink;
  MailHtmlToText("<div>One&nbsp;&lt;two&gt;</div><style>p{}</style><p>Three &#x263A; &#233;</p>", "", sink);
  EXPECT_EQ(sink.Joined(), "One <two>\nThree ☺ é\n");
}

}  // namespace
}  // namespace quarn

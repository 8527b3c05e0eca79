// The calendar and address-book filters: an iCalendar file with an event
// (times, place, people, description) and a task, a lone event saved on its
// own; vCards of the 2.1 kind (quoted-printable in another character set,
// soft line breaks) and of the 3.0 kind (folded lines, escapes, pictures).
#include <gtest/gtest.h>

#include <string>

#include "convert/filters/builtin.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

std::string Read(const char* filter, const std::string& path, ExtractResult* result = nullptr) {
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin(filter, path, sink);
  if (result) *result = r;
  return sink.Joined();
}

TEST(IcsFilter, EventsAndTasksWithTimePlacePeopleAndDescription) {
  testing::TempTree tree;
  const std::string ics = tree.Write("c.ics",
                                     "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nX-WR-CALNAME:Team\r\n"
                                     "BEGIN:VEVENT\r\nUID:1\r\nSUMMARY:Budget review\r\n"
                                     "DTSTART;TZID=Europe/Berlin:20240305T100000\r\nDTEND;TZID=Europe/Berlin:20240305T113000\r\n"
                                     "LOCATION:Room 4\\, second floor\r\n"
                                     "ORGANIZER;CN=Ann Example:mailto:ann@example.org\r\n"
                                     "ATTENDEE;CN=Bob Reader;ROLE=REQ-PARTICIPANT:mailto:bob@example.org\r\n"
                                     "DESCRIPTION:Bring the figures.\\nAnd a long line that is fol\r\n ded here.\r\n"
                                     "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Reminder noise\r\nEND:VALARM\r\n"
                                     "END:VEVENT\r\nBEGIN:VTODO\r\nSUMMARY:Send minutes\r\nDUE;VALUE=DATE:20240306\r\nEND:VTODO\r\n"
                                     "END:VCALENDAR\r\n");
  ExtractResult r;
  std::string t = Read("ics", ics, &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_NE(t.find("Calendar: Team"), std::string::npos) << t;
  EXPECT_NE(t.find("Event: Budget review\nWhen: 2024-03-05 10:00 (Europe/Berlin) to 2024-03-05 11:30 (Europe/Berlin)\n"
                   "Where: Room 4, second floor\nOrganizer: Ann Example <ann@example.org>\n"
                   "Attendees: Bob Reader <bob@example.org>\nBring the figures.\nAnd a long line that is folded here."),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("Task: Send minutes\nWhen: 2024-03-06"), std::string::npos) << t;
  EXPECT_EQ(t.find("Reminder noise"), std::string::npos);

  std::string lone = Read("ics", tree.Write("e.ics", "BEGIN:VEVENT\nSUMMARY:On its own\nDTSTART:20240101T090000Z\nEND:VEVENT\n"));
  EXPECT_NE(lone.find("Event: On its own\nWhen: 2024-01-01 09:00 UTC"), std::string::npos) << lone;
  Read("ics", tree.Write("x.ics", "no calendar"), &r);
  EXPECT_EQ(r.status, ExtractResult::Status::kUnknownFormat);
}

TEST(VcfFilter, CardsOfEveryVersion) {
  testing::TempTree tree;
  const std::string vcf = tree.Write(
      "a.vcf",
      "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=FCrgen\r\n"
      "ORG:Acme;Research\r\nTEL;WORK;VOICE:+49 30 1234\r\n"
      "NOTE;ENCODING=QUOTED-PRINTABLE:First line=0D=0Aand a soft=\r\n break.\r\n"
      "PHOTO;ENCODING=BASE64;TYPE=JPEG:/9j/4AAQSkZJRgABAQ\r\n AAAQABAAD\r\n\r\nEND:VCARD\r\n"
      "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nitem1.EMAIL;TYPE=INTERNET,WORK:ann@example.org\r\n"
      "ADR;TYPE=HOME:;;1 Long Road;Springfield;;12345;Country\r\nNOTE:Commas\\, semicolons\\; and a fol\r\n ded line\r\n"
      "END:VCARD\r\n");
  ExtractResult r;
  std::string t = Read("vcf", vcf, &r);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_NE(t.find("Name: Jürgen Müller\nOrganization: Acme, Research\nPhone (work): +49 30 1234\n"), std::string::npos) << t;
  EXPECT_NE(t.find("First line\nand a soft break."), std::string::npos) << t;
  EXPECT_EQ(t.find("/9j/"), std::string::npos);
  EXPECT_NE(t.find("Name: Ann Example\nEmail (work): ann@example.org\n"
                   "Address (home): 1 Long Road, Springfield, 12345, Country\nCommas, semicolons; and a folded line"),
            std::string::npos)
      << t;
}

// An old export in the machine's code page, values without a CHARSET: read
// in the code page of the book's bytes, not as broken UTF-8.
TEST(VcfFilter, ABookNotInUtf8IsReadInTheCodePageOfItsBytes) {
  testing::TempTree tree;
  const std::string vcf = tree.Write(
      "old.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:J\xFCrgen M\xFCller\r\nNOTE:caf\xE9 cr\xE8me br\xFBl\xE9" "e\r\nEND:VCARD\r\n");
  std::string t = Read("vcf", vcf);
  EXPECT_NE(t.find("Name: Jürgen Müller\ncafé crème brûlée"), std::string::npos) << t;
  // A value labelled with a single-byte code page whose bytes are UTF-8.
  const std::string labelled = tree.Write(
      "phone.vcf", "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=C3=BCrgen\r\n"
                   "NOTE;CHARSET=ISO-8859-1:caf\xE9\r\nEND:VCARD\r\n");
  t = Read("vcf", labelled);
  EXPECT_NE(t.find("Name: Jürgen Müller\ncafé"), std::string::npos) << t;
}

}  // namespace
}  // namespace quarn

// Outlook for Mac archives through the registry and filter host, over the
// samples tests/data/package/olm/make_samples.py writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "convert/filter.h"
#include "convert/filters/package/olm_filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/package/olm/" + name; }

TEST(Olm, FoldersMessagesAttachmentsAndTheOtherItems) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("archive.olm"));
  EXPECT_EQ(r.reader, "olm");
  EXPECT_EQ(r.problem, "1 attachment(s) named by messages are not in the archive");
  const std::string& t = r.text;
  // Each folder named where its messages start (an account's and a local
  // one, a folder inside another); every recipient; the date in UTC.
  EXPECT_THAT(t, HasSubstr("Folder: Inbox (alice@example.org)\n"));
  EXPECT_THAT(t, HasSubstr("From: Bob Jones <bob@example.org>\n"
                           "To: Alice Martin <alice@example.org>, Carol <carol@example.org>\n"
                           "Cc: dave@example.org\nDate: Thu, 26 May 2022 17:55:40 +0000\nSubject: Budget for 2023\n"));
  EXPECT_THAT(t, HasSubstr("Please read it before Friday & reply."));
  EXPECT_THAT(t, HasSubstr("Attachment: budget.txt\nBudget lines: travel 1200, books 300."));
  EXPECT_THAT(t, HasSubstr("Attachment: lost.pdf (not in the archive)"));
  // An HTML body as text, its escaped markup decoded once only.
  EXPECT_THAT(t, HasSubstr("Date: Wed, 01 Jun 2022 08:00:00 +0000\nSubject: Café opening\n The café opens at <noon>."));
  EXPECT_EQ(t.find("hidden"), std::string::npos);
  // A date that is none leaves the message without one; a zone is applied.
  EXPECT_THAT(t, HasSubstr("Folder: Inbox/Projects (alice@example.org)\n \nFrom: Alice Martin <alice@example.org>\n"
                           "To: Bob Jones <bob@example.org>\nSubject: Project plan\n"));
  EXPECT_THAT(t, HasSubstr("Folder: Sent Items\n"));
  EXPECT_THAT(t, HasSubstr("Date: Thu, 02 Jun 2022 08:15:00 +0000\nSubject: Thanks\n"));
  // Contacts, events, tasks and notes after the mail; categories are not text.
  EXPECT_THAT(t, HasSubstr("Contact: Erin Smith\nOrganization: Example Ltd\nEmail: erin@example.org\n"
                           "Mobile: +1 555 0100\nAddress: Springfield\n Met at the fair."));
  EXPECT_THAT(t, HasSubstr("Appointment: Quarterly review\nWhere: Room 4\n"
                           "When: 2022-07-01 09:00 UTC to 2022-07-01 10:30 UTC\n Bring the figures."));
  EXPECT_THAT(t, HasSubstr("Task: File the report\n"));
  EXPECT_THAT(t, HasSubstr("Note: Ideas\n A garden on the roof."));
  EXPECT_EQ(t.find("Red"), std::string::npos);
  EXPECT_LT(t.find("Subject: Thanks"), t.find("Contact: Erin Smith"));
}

TEST(Olm, FoundByContentDamagedItemsAndOtherZips) {
  test::TempDir dir;
  const std::string archive = test::ReadFile(Sample("archive.olm"));
  FilterText renamed = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "export.zip", archive));
  EXPECT_THAT(renamed.text, HasSubstr("Subject: Budget for 2023"));
  FilterText damaged = ExtractFilterText(test::Builtins(), Sample("damaged.olm"));
  EXPECT_THAT(damaged.problem, HasSubstr("1 item(s) could not be read"));
  EXPECT_THAT(damaged.text, HasSubstr("Subject: Budget for 2023"));
  // A zip of other things under the name says what it is not.
  const std::string other = test::ReadFile(std::string(QUARN_TEST_DATA) + "/package/odf/book.epub");
  FilterText not_olm = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "other.olm", other));
  EXPECT_THAT(not_olm.text, HasSubstr("Chapter"));  // read as what it is
  // Cut short: what survives is read or a reason given.
  FilterText cut = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "cut.olm", archive.substr(0, 1500)));
  EXPECT_FALSE(cut.problem.empty());
}

TEST(Olm, XmlDatesAndTimes) {
  // 2022-05-26T17:55:40Z is 1653587740 seconds after 1970.
  const std::uint64_t t = (1653587740ull + 11644473600ull) * 10000000ull;
  EXPECT_EQ(XmlDateTimeTicks("2022-05-26T17:55:40"), t);
  EXPECT_EQ(XmlDateTimeTicks("2022-05-26T17:55:40Z"), t);
  EXPECT_EQ(XmlDateTimeTicks("2022-05-26T17:55:40.250Z"), t);
  EXPECT_EQ(XmlDateTimeTicks("2022-05-26T19:55:40+02:00"), t);
  EXPECT_EQ(XmlDateTimeTicks("2022-05-26T12:55:40-0500"), t);
  EXPECT_EQ(XmlDateTimeTicks("2022-05-26"), (1653523200ull + 11644473600ull) * 10000000ull);
  for (const char* bad : {"", "not a date", "2022-13-01T00:00:00", "2022-05-26T25:00:00", "2022-05", "0000-00-00"})
    EXPECT_EQ(XmlDateTimeTicks(bad), 0u) << bad;
}

}  // namespace
}  // namespace quarn

// Dates of Outlook items as mail headers write them, in English whatever the
// locale, and nothing for dates that are not there.
#include "convert/filters/common/mail_date.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

// 100 ns ticks since 1601 of a Unix time.
std::uint64_t Ticks(std::int64_t unix_seconds) {
  return static_cast<std::uint64_t>(unix_seconds + 11644473600LL) * 10000000ULL;
}

TEST(MailDate, WritesTheHeadersFormInUtc) {
  EXPECT_EQ(FileTimeAsMailDate(Ticks(1183480478)), "Tue, 03 Jul 2007 16:34:38 +0000");
  EXPECT_EQ(FileTimeAsMailDate(Ticks(0)), "Thu, 01 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(FileTimeAsMailDate(Ticks(951782400)), "Tue, 29 Feb 2000 00:00:00 +0000");
  EXPECT_EQ(FileTimeAsMailDate(1), "Mon, 01 Jan 1601 00:00:00 +0000");
  EXPECT_EQ(FileTimeAsMailDate(0), "");  // no date set
  const std::string far = FileTimeAsMailDate(~0ULL);  // the year 60056: still one date, never garbage
  EXPECT_TRUE(far.empty() || far.ends_with(" +0000")) << far;
}

// A German LC_TIME (made with localedef in a scratch folder) changes nothing.
TEST(MailDate, DayAndMonthNamesAreEnglishInAnyLocale) {
  if (std::system("command -v localedef >/dev/null 2>&1") != 0 ||
      !std::filesystem::exists("/usr/share/i18n/locales/de_DE"))
    GTEST_SKIP() << "localedef or the German locale's source is missing";
  testing::TempTree tree;
  const std::string made = "localedef -i de_DE -f UTF-8 '" + (tree / "de_DE.UTF-8") + "' >/dev/null 2>&1";
  if (std::system(made.c_str()) != 0 && !std::filesystem::exists(tree / "de_DE.UTF-8/LC_TIME"))
    GTEST_SKIP() << "localedef could not make de_DE.UTF-8";
  ::setenv("LOCPATH", tree.root().c_str(), 1);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  const std::string date = FileTimeAsMailDate(Ticks(1183480478));
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
  EXPECT_EQ(date, "Tue, 03 Jul 2007 16:34:38 +0000");
}

}  // namespace
}  // namespace quarn

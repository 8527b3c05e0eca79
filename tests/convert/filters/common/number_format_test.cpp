// The number-format engine the workbook filters share: each case is a value
// and a format code with the text a spreadsheet shows for it.
#include <gtest/gtest.h>

#include <string>

#include "convert/filters/common/number_format.h"

namespace quarn {
namespace {

std::string Show(double v, const std::string& code, bool date1904 = false) {
  return NumberFormat(code).Format(v, date1904);
}

TEST(NumberFormat, GeneralKeepsFifteenDigitsAndSixteenDigitIntegersExactly) {
  EXPECT_EQ(FormatGeneralNumber(0.1 + 0.2), "0.3");
  EXPECT_EQ(FormatGeneralNumber(-1234.5678), "-1234.5678");
  EXPECT_EQ(FormatGeneralNumber(-0.0), "0");
  EXPECT_EQ(FormatGeneralNumber(1234567890123456.0), "1234567890123456");
  EXPECT_EQ(FormatGeneralNumber(-9007199254740992.0), "-9007199254740992");
  EXPECT_EQ(FormatGeneralNumber(1.5e20), "1.5E+20");
  EXPECT_EQ(FormatGeneralNumber(2.5e-7), "2.5E-07");
  EXPECT_EQ(Show(42, "General"), "42");
  EXPECT_EQ(Show(42, ""), "42");
  EXPECT_TRUE(NumberFormat("general").is_general());
}

TEST(NumberFormat, StoredIntegersKeepEveryDigit) {
  EXPECT_EQ(NumberFormat().FormatStored("9007199254740993"), "9007199254740993");
  EXPECT_EQ(NumberFormat("0").FormatStored("-9007199254740993"), "-9007199254740993");
  EXPECT_EQ(NumberFormat("#,##0").FormatStored("1234567890123457"), "1,234,567,890,123,457");
  EXPECT_EQ(NumberFormat().FormatStored("0.30000000000000004"), "0.3");
  EXPECT_EQ(NumberFormat("0.0").FormatStored("-2.5E-3"), "0.0");
  EXPECT_EQ(NumberFormat("0%").FormatStored("1"), "100%");
  EXPECT_EQ(NumberFormat().FormatStored("not a number"), "not a number");
}

TEST(NumberFormat, DecimalsGroupingAndScaling) {
  EXPECT_EQ(Show(1234.5678, "0"), "1235");
  EXPECT_EQ(Show(1234.5678, "0.00"), "1234.57");
  EXPECT_EQ(Show(1234.5678, "#,##0"), "1,235");
  EXPECT_EQ(Show(1234567.891, "#,##0.00"), "1,234,567.89");
  EXPECT_EQ(Show(-1234567.891, "#,##0.00"), "-1,234,567.89");
  EXPECT_EQ(Show(2.675, "0.00"), "2.68");  // decimal rounding, not binary
  EXPECT_EQ(Show(0.5, "#.##"), ".5");
  EXPECT_EQ(Show(1, "#.##"), "1.");
  EXPECT_EQ(Show(0, "#,##0"), "0");
  EXPECT_EQ(Show(-0.001, "0.00"), "0.00");
  EXPECT_EQ(Show(5, "000"), "005");
  EXPECT_EQ(Show(1234567, "#,##0,"), "1,235");
  EXPECT_EQ(Show(1234567, "0.0,,\"M\""), "1.2M");
  EXPECT_EQ(Show(5551234567, "000-000-0000"), "555-123-4567");
  EXPECT_EQ(Show(1234567890123456.0, "0"), "1234567890123456");
  EXPECT_EQ(Show(12.5, ".00"), "12.50");
}

TEST(NumberFormat, SectionsCurrencyAndLiteralText) {
  EXPECT_EQ(Show(-1234.5, "\"$\"#,##0.00_);(\"$\"#,##0.00)"), "($1,234.50)");
  EXPECT_EQ(Show(1234.5, "\"$\"#,##0.00_);(\"$\"#,##0.00)"), "$1,234.50");
  EXPECT_EQ(Show(1234.5, "#,##0.00\\ [$\xE2\x82\xAC-407]"), "1,234.50 \xE2\x82\xAC");
  EXPECT_EQ(Show(1234.5, "[$USD] #,##0"), "USD 1,235");
  EXPECT_EQ(Show(0, "0.00;-0.00;\"zero\""), "zero");
  EXPECT_EQ(Show(-3, "0;[Red]\\-0"), "-3");
  EXPECT_EQ(Show(12, "\"day\"0.00"), "day12.00");
  EXPECT_EQ(Show(3, "0 \"items\""), "3 items");
  EXPECT_EQ(Show(150, "[>100]\"big\";[<0]\"negative\";0"), "big");
  EXPECT_EQ(Show(-5, "[>100]\"big\";[<0]0\" below\";0"), "5 below");
  EXPECT_EQ(Show(7, "[>100]\"big\";[<0]\"negative\";0"), "7");
  // The accounting format of the built-in table, with its padding.
  EXPECT_EQ(NumberFormat::Builtin(44).Format(1234.5), "$ 1,234.50");
  EXPECT_EQ(NumberFormat::Builtin(44).Format(-1234.5), "$ (1,234.50)");
  EXPECT_EQ(NumberFormat::Builtin(44).Format(0), "$ -");
  // An empty section hides a value on screen; text keeps it.
  EXPECT_EQ(Show(5, ";;;"), "5");
  EXPECT_EQ(Show(5, "@"), "5");
}

TEST(NumberFormat, PercentScientificAndFractions) {
  EXPECT_EQ(Show(0.1068, "0.00%"), "10.68%");
  EXPECT_EQ(Show(-0.25, "0.0%;[Red]-0.0%"), "-25.0%");
  EXPECT_EQ(Show(-1e-4, "0%"), "0%");
  EXPECT_EQ(Show(0.5, "0.00\"%\""), "0.50%");
  EXPECT_EQ(Show(1234.5678, "0.00E+00"), "1.23E+03");
  EXPECT_EQ(Show(-0.00012, "0.00E+00"), "-1.20E-04");
  EXPECT_EQ(Show(9.999, "0.00E+00"), "1.00E+01");
  EXPECT_EQ(Show(12345, "##0.0E+0"), "12.3E+3");
  EXPECT_EQ(Show(0, "0.00E+00"), "0.00E+00");
  EXPECT_EQ(Show(1234.5678, "# ?/?"), "1234 4/7");
  EXPECT_EQ(Show(1234.5678, "# ?\?/?\?"), "1234 46/81");
  EXPECT_EQ(Show(-1234.5678, "# ?\?/?\?"), "-1234 46/81");
  EXPECT_EQ(Show(0.5, "# ?/?"), "1/2");
  EXPECT_EQ(Show(3, "# ?/?"), "3");
  EXPECT_EQ(Show(0.375, "?/8"), "3/8");
  EXPECT_EQ(Show(1.75, "?/?"), "7/4");
  EXPECT_EQ(Show(0.3333333, "# ?\?\?/?\?\?"), "1/3");
  // Fixed denominators with zeros: the zeros are part of the number.
  EXPECT_EQ(Show(0.37, "# ?\?/100"), "37/100");
  EXPECT_EQ(Show(1.3, "# ?/10"), "1 3/10");
  EXPECT_EQ(Show(0.45, "?/20"), "9/20");
}

TEST(NumberFormat, TextThroughTheTextSection) {
  auto text = [](std::string_view v, const std::string& code) { return NumberFormat(code).FormatText(v); };
  EXPECT_EQ(text("abc", "\"Total: \"@"), "Total: abc");
  EXPECT_EQ(text("abc", "0.00;-0.00;0;@\" kg\""), "abc kg");
  EXPECT_EQ(text("ab", "@\"-\"@"), "ab-ab");
  EXPECT_EQ(text("abc", "@_)"), "abc");
  EXPECT_EQ(text(" pad ", "@"), " pad ");
  // No text section, or one that would hide the text: the text as it stands.
  EXPECT_EQ(text("abc", "0.00"), "abc");
  EXPECT_EQ(text("abc", "General"), "abc");
  EXPECT_EQ(text("abc", ";;;"), "abc");
  EXPECT_EQ(text("abc", "0;-0;0;\"hidden\""), "abc");
  // Numbers in a format with a text section use the sections before it.
  EXPECT_EQ(Show(2.5, "0.00;-0.00;0;\"n: \"@"), "2.50");
  EXPECT_EQ(Show(2.5, "\"Total: \"@"), "2.5");
}

TEST(NumberFormat, IsoDatesAsSerialNumbers) {
  double serial = 0;
  ASSERT_TRUE(IsoDateSerial("2024-03-05", false, &serial));
  EXPECT_EQ(serial, 45356);
  ASSERT_TRUE(IsoDateSerial("1900-03-01T12:00:00", false, &serial));
  EXPECT_EQ(serial, 61.5);
  ASSERT_TRUE(IsoDateSerial("1904-01-02", true, &serial));
  EXPECT_EQ(serial, 1);
  for (const char* bad : {"", "2024-13-01", "2024/03/05", "March 5"})
    EXPECT_FALSE(IsoDateSerial(bad, false, &serial)) << bad;
}

TEST(NumberFormat, DatesWithMonthAndDayNames) {
  const double t = 19278.607951388887;  // 1952-10-11 14:35:27, a Saturday
  EXPECT_EQ(Show(t, "d-m-y"), "11-10-52");
  EXPECT_EQ(Show(t, "ddd-mmm-yyy"), "Sat-Oct-1952");
  EXPECT_EQ(Show(t, "DDDD-MMMM-YYYY"), "Saturday-October-1952");
  EXPECT_EQ(Show(t, "mmmmm"), "O");
  EXPECT_EQ(Show(t, "dd\\-mmm\\-yyyy\\ hh:mm:ss.000"), "11-Oct-1952 14:35:27.000");
  EXPECT_EQ(Show(t, "h:m:s"), "14:35:27");
  EXPECT_EQ(Show(t, "hh:mm:ss a/p"), "02:35:27 p");
  EXPECT_EQ(Show(t, "HH:MM:SS A/P"), "02:35:27 P");
  EXPECT_EQ(Show(t, "h:m:s.000 A/P"), "2:35:27.000 P");
  EXPECT_EQ(Show(t, "dddd-mmmm-yyyy H:M:S am/pm"), "Saturday-October-1952 2:35:27 PM");
  EXPECT_EQ(Show(t, "d \\d\\a\\y\\s h"), "11 days 14");
  EXPECT_EQ(Show(t, "d \"days\" h am/pm"), "11 days 2 PM");
  EXPECT_EQ(Show(t, "[$-409]mmmm d, yyyy;@"), "October 11, 1952");
  EXPECT_EQ(Show(37653.1702084375, "h:m:s.00"), "4:5:6.01");
  EXPECT_EQ(Show(45000, "yyyy-mm-dd"), "2023-03-15");
  EXPECT_EQ(NumberFormat::Builtin(14).Format(45000), "3/15/2023");
  EXPECT_EQ(NumberFormat::Builtin(15).Format(45000), "15-Mar-23");
  EXPECT_EQ(NumberFormat::Builtin(22).Format(45000.75), "3/15/2023 18:00");
  EXPECT_EQ(Show(60, "yyyy-mm-dd"), "1900-02-29");
  EXPECT_EQ(Show(61, "dddd yyyy-mm-dd"), "Thursday 1900-03-01");
  EXPECT_EQ(Show(0, "yyyy-mm-dd", true), "1904-01-01");
  EXPECT_EQ(Show(366, "dddd yyyy-mm-dd", true), "Sunday 1905-01-01");
  EXPECT_TRUE(NumberFormat("d-mmm-yy").is_date());
  EXPECT_FALSE(NumberFormat("0.00").is_date());
  // Out of the calendar: the number itself.
  EXPECT_EQ(Show(-1, "yyyy-mm-dd"), "-1");
}

TEST(NumberFormat, TimeOnlyAndElapsedTimes) {
  EXPECT_EQ(NumberFormat::Builtin(20).Format(0.5), "12:00");
  EXPECT_EQ(NumberFormat::Builtin(18).Format(0.999305556), "11:59 PM");
  EXPECT_EQ(NumberFormat::Builtin(19).Format(0), "12:00:00 AM");
  EXPECT_EQ(NumberFormat::Builtin(46).Format(1.5), "36:00:00");
  EXPECT_EQ(NumberFormat::Builtin(45).Format(0.0034722222), "05:00");
  EXPECT_EQ(Show(0.0625, "[mm]:ss"), "90:00");
  EXPECT_EQ(Show(1.25, "[h]:mm"), "30:00");
  EXPECT_EQ(Show(0.99999999, "hh:mm:ss"), "00:00:00");  // rounds to the next day
}

TEST(NumberFormat, DamagedCodesStillShowTheNumber) {
  EXPECT_EQ(Show(5, "\"unclosed"), "unclosed");
  EXPECT_EQ(Show(5, "[Red"), "5");
  EXPECT_EQ(Show(5, "0.0\\"), "5.0");
  EXPECT_EQ(Show(5, std::string(10000, '0')), "5");  // no format that long
  EXPECT_EQ(Show(1e300, "0.00"), Show(1e300, "0.00"));  // does not crash
  EXPECT_FALSE(Show(1e300, "0.00").empty());
  EXPECT_EQ(Show(5, "0;0;0;0;0;0"), "5");
  EXPECT_EQ(Show(-1e300, "# ?/?"), "-1E+300");  // no fraction of a number that large
  EXPECT_EQ(Show(2.5, std::string(600, '0') + "." + std::string(600, '#')).size(), 602u);
}

}  // namespace
}  // namespace quarn

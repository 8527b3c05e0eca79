// Spreadsheet number formats: shows a cell's number the way a spreadsheet
// shows it through the cell's format code (decimals, thousands separators,
// currency and other literal text, percentages, fractions, scientific
// notation, dates and times with month and day names, elapsed times).  Shared
// by the workbook filters of every module; parsed formats are immutable and
// may be used from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quarn {

// A number in the General format: rounded to the 15 significant digits a
// spreadsheet keeps, in its shortest form ("0.30000000000000004" shows
// "0.3"), integers below 10^16 exactly, very large and very small numbers in
// scientific notation ("1.5E+20").
std::string FormatGeneralNumber(double value);

// An RK number (Excel's compact cell number, in .xls and .xlsb): 30 bits of
// either a signed integer or the top of a double, optionally in hundredths.
double RkValue(std::uint32_t rk);

// What a cell shows for one of Excel's error codes ("#DIV/0!" for 0x07),
// from #NULL! to #N/A; empty for other codes.
std::string ExcelErrorText(std::uint32_t code);

// "2021-03-04" or "2021-03-04T12:30:00" (an ISO 8601 date, as documents
// store dates) as a workbook's serial number; false when it is no such date.
bool IsoDateSerial(std::string_view iso, bool date1904, double* serial);

class NumberFormat {
 public:
  // The General format.
  NumberFormat();
  // A format code as a workbook stores it: up to four sections separated by
  // ";" (positive, negative, zero, text), each with optional [colour],
  // [condition], [$currency-locale] and elapsed-time [h] brackets.
  explicit NumberFormat(std::string_view code);
  // The format of a built-in format id of a workbook (0 to 49); the ids whose
  // look depends on the reader's locale are shown as in English (United
  // States): 14 is "m/d/yyyy".  Unknown ids are General.
  static NumberFormat Builtin(int id);

  // value as the format shows it.  date1904: the workbook counts dates from
  // 1904-01-01 instead of 1900-01-01.  Surrounding padding (alignment
  // spaces) is left out.
  std::string Format(double value, bool date1904 = false) const;
  // A number as a document stores it in decimal ("1234567890123456",
  // "2.5E-3"): the same, except that an integer of up to 16 digits keeps
  // every digit (a double keeps 15 or 16).  Text that is no number is
  // returned as it stands.
  std::string FormatStored(std::string_view stored, bool date1904 = false) const;

  // Text as the format's text section shows it ("\"Ref \"@" shows "x" as
  // "Ref x"); a format without one shows the text as it stands.
  std::string FormatText(std::string_view text) const;

  // Whether the format shows numbers as dates or times.
  bool is_date() const;
  bool is_general() const;

  struct Parsed;

 private:
  std::string Show(double value, bool date1904, std::string_view exact) const;
  std::shared_ptr<const Parsed> parsed_;
};

}  // namespace quarn

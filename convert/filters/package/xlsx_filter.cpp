// Reads a workbook sheet by sheet in workbook order: each sheet's name on a
// line of its own, then its rows as tab-separated cells holding the values a
// person sees (shared and inline strings, numbers, booleans, errors, dates
// and percentages through the cell's number format, cached results of
// formulas), then the text of its drawings and charts and its comments.
#include "convert/filters/package/xlsx_filter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "convert/filters/package/ooxml.h"

namespace quarn {

namespace {

using ooxml::XmlCursor;

enum class DateKind { kNone, kDate, kTime, kDateTime };

DateKind BuiltinDateKind(int id) {
  if ((id >= 14 && id <= 17) || (id >= 27 && id <= 31) || (id >= 34 && id <= 36) || (id >= 50 && id <= 58))
    return DateKind::kDate;
  if ((id >= 18 && id <= 21) || (id >= 45 && id <= 47) || id == 32 || id == 33) return DateKind::kTime;
  if (id == 22) return DateKind::kDateTime;
  return DateKind::kNone;
}

// Walks the first section of a number format code, handing each character
// outside quoted text and escapes to plain and each [bracket]'s contents to
// bracket.
template <typename Plain, typename Bracket>
void ScanFirstSection(std::string_view code, Plain plain, Bracket bracket) {
  for (std::size_t i = 0; i < code.size(); ++i) {
    char c = code[i];
    if (c == '"') {
      std::size_t end = code.find('"', i + 1);
      if (end == std::string_view::npos) return;
      i = end;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
    } else if (c == '[') {
      std::size_t end = code.find(']', i + 1);
      if (end == std::string_view::npos) return;
      bracket(code.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == ';') {
      return;
    } else {
      plain(c);
    }
  }
}

// A custom number format shows a date or time when its first section holds
// date or time letters outside quoted text, escapes and [colour]/[locale]
// brackets ("[h]" and the like do count).
DateKind CustomDateKind(std::string_view code) {
  bool date = false, time = false, month = false;
  auto plain = [&](char c) {
    switch (c | 0x20) {
      case 'd':
      case 'y':
        date = true;
        break;
      case 'h':
      case 's':
        time = true;
        break;
      case 'm':
        month = true;
        break;
      default:
        break;
    }
  };
  auto bracket = [&](std::string_view inside) {
    if (!inside.empty() && inside.find_first_not_of("hHmMsS") == std::string_view::npos) time = true;
  };
  ScanFirstSection(code, plain, bracket);
  if (month && !time) date = true;
  if (date && time) return DateKind::kDateTime;
  if (date) return DateKind::kDate;
  if (time) return DateKind::kTime;
  return DateKind::kNone;
}

// How a cell's number format shows a number: as a date or time, as a
// percentage with so many decimals, or as the number itself.
struct NumberFormat {
  DateKind date = DateKind::kNone;
  int percent_decimals = -1;  // >= 0: a percentage
};

NumberFormat BuiltinNumberFormat(int id) {
  NumberFormat f;
  f.date = BuiltinDateKind(id);
  if (id == 9) f.percent_decimals = 0;
  if (id == 10) f.percent_decimals = 2;
  return f;
}

// The decimals of a percentage format ("0.00%" -> 2), or -1 when the first
// section shows no percent sign outside quoted text and escapes.
int PercentDecimals(std::string_view code) {
  int decimals = 0;
  bool after_point = false, percent = false;
  ScanFirstSection(
      code,
      [&](char c) {
        if (percent) return;
        if (c == '.') after_point = true;
        else if (after_point && (c == '0' || c == '#' || c == '?')) ++decimals;
        else if (c == '%') percent = true;
      },
      [](std::string_view) {});
  return percent ? std::min(decimals, 15) : -1;
}

NumberFormat CustomNumberFormat(std::string_view code) {
  NumberFormat f;
  f.date = CustomDateKind(code);
  if (f.date == DateKind::kNone) f.percent_decimals = PercentDecimals(code);
  return f;
}

// value as a percentage with that many decimals ("0.1068", 2 -> "10.68%").
std::string FormatPercent(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f%%", decimals, value * 100.0);
  if (std::string_view(buf).find_first_of("123456789") == std::string_view::npos && buf[0] == '-')
    return buf + 1;  // "-0%" shows as "0%"
  return buf;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

// A serial date as "YYYY-MM-DD", "HH:MM:SS" or both; empty when the value
// is outside the range of dates a workbook can show.
std::string FormatSerial(double serial, DateKind kind, bool date1904) {
  if (!(serial >= 0 && serial < 2958466)) return {};
  std::int64_t days = static_cast<std::int64_t>(std::floor(serial));
  std::int64_t seconds = std::llround((serial - static_cast<double>(days)) * 86400.0);
  if (seconds >= 86400) {
    ++days;
    seconds -= 86400;
  }
  char date[32] = "";
  if (!date1904 && days == 60) {
    // The 1900 system counts a 29 February 1900 that never was.
    std::snprintf(date, sizeof date, "1900-02-29");
  } else {
    std::int64_t from1970 = date1904 ? days - 24107 : (days < 60 ? days + 1 : days) - 25569;
    int y;
    unsigned m, d;
    CivilFromDays(from1970, y, m, d);
    std::snprintf(date, sizeof date, "%04d-%02u-%02u", y, m, d);
  }
  char time[16];
  std::snprintf(time, sizeof time, "%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  switch (kind) {
    case DateKind::kDate:
      return date;
    case DateKind::kTime:
      return days == 0 ? std::string(time) : std::string(date) + " " + time;
    default:
      return std::string(date) + " " + time;
  }
}

// A number in its shortest form after rounding to the 15 significant digits
// a spreadsheet shows ("0.30000000000000004" reads "0.3", "3" stays "3").
std::string FormatNumber(std::string_view written) {
  double v = 0;
  auto [end, ec] = std::from_chars(written.data(), written.data() + written.size(), v);
  if (ec != std::errc() || end != written.data() + written.size() || !std::isfinite(v)) return std::string(written);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  v = std::strtod(buf, nullptr);
  if (v == 0) return "0";
  double mag = std::fabs(v);
  auto fmt = (mag >= 1e-5 && mag < 1e15) ? std::chars_format::fixed : std::chars_format::general;
  auto r = std::to_chars(buf, buf + sizeof buf, v, fmt);
  if (r.ec != std::errc()) return std::string(written);
  return std::string(buf, r.ptr);
}

// Zero-based column of a cell reference ("C7" -> 2), or -1.
int ColumnOf(std::string_view ref) {
  int col = 0;
  std::size_t i = 0;
  for (; i < ref.size() && ((ref[i] >= 'A' && ref[i] <= 'Z') || (ref[i] >= 'a' && ref[i] <= 'z')); ++i) {
    col = col * 26 + ((ref[i] | 0x20) - 'a' + 1);
    if (col > 16384) return -1;
  }
  return i == 0 ? -1 : col - 1;
}

void Flatten(std::string& s) {
  for (char& c : s)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
}

struct Styles {
  std::vector<NumberFormat> xf_formats;  // per cell format index
  NumberFormat FormatOf(std::string_view s) const {
    unsigned idx = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), idx);
    if (ec != std::errc() || idx >= xf_formats.size()) return {};
    return xf_formats[idx];
  }
};

bool ReadStyles(ZipArchive& zip, const std::string& part, Styles& styles, std::string* error) {
  XmlCursor x(zip, part);
  std::unordered_map<int, NumberFormat> custom;
  bool in_xfs = false;
  while (x.Read()) {
    std::string_view n = x.LocalName();
    if (x.IsStart() && n == "numFmt") {
      int id = std::atoi(x.Attr("numFmtId").value_or("0").c_str());
      custom[id] = CustomNumberFormat(x.Attr("formatCode").value_or(""));
    } else if (n == "cellXfs") {
      in_xfs = x.IsStart() && !x.IsEmpty();
    } else if (in_xfs && x.IsStart() && n == "xf") {
      int id = std::atoi(x.Attr("numFmtId").value_or("0").c_str());
      auto it = custom.find(id);
      styles.xf_formats.push_back(it != custom.end() ? it->second : BuiltinNumberFormat(id));
    }
  }
  if (x.failed() || !x.opened()) {
    *error = x.error();
    return false;
  }
  return true;
}

// Rich text is several runs (<r><t>...</t></r>) to join; phonetic guides
// (<rPh>) repeat the reading of the text and are left out.
class StringCollector {
 public:
  // Feeds one node; true when it was part of a string item.
  void Feed(XmlCursor& x, std::string& out) {
    std::string_view n = x.LocalName();
    if (x.IsStart()) {
      if (n == "rPh" && !x.IsEmpty()) ++phonetic_;
      else if (n == "t" && !x.IsEmpty()) in_t_ = true;
    } else if (x.IsEnd()) {
      if (n == "rPh" && phonetic_ > 0) --phonetic_;
      else if (n == "t") in_t_ = false;
    } else if (in_t_ && phonetic_ == 0 && x.IsText()) {
      out += x.Value();
    }
  }

 private:
  int phonetic_ = 0;
  bool in_t_ = false;
};

bool ReadSharedStrings(ZipArchive& zip, const std::string& part, std::vector<std::string>& strings,
                       std::string* error) {
  XmlCursor x(zip, part);
  StringCollector collect;
  bool in_si = false;
  while (x.Read()) {
    if (x.LocalName() == "si" && (x.IsStart() || x.IsEnd())) {
      if (x.IsStart()) strings.emplace_back();
      in_si = x.IsStart() && !x.IsEmpty();
      continue;
    }
    if (in_si) collect.Feed(x, strings.back());
  }
  if (x.failed() || !x.opened()) {
    *error = x.error();
    return false;
  }
  return true;
}

class SheetReader {
 public:
  SheetReader(TextSink& sink, const std::vector<std::string>& strings, const Styles& styles, bool date1904)
      : sink_(sink), strings_(strings), styles_(styles), date1904_(date1904) {}

  bool Read(XmlCursor& x) {
    while (!sink_.full() && x.Read()) {
      std::string_view n = x.LocalName();
      if (x.IsStart()) {
        if (n == "row") {
          written_ = -1;
          if (x.IsEmpty()) continue;
        } else if (n == "c" && x.IsEmpty()) {
          // A cell without a value (formatting only, often most of a
          // sheet) shows nothing; the next cell's reference places it.
          ++col_;
        } else if (n == "c") {
          int col = ColumnOf(x.Attr("r").value_or(""));
          col_ = col >= 0 ? col : col_ + 1;
          type_ = x.Attr("t").value_or("n");
          style_ = x.Attr("s").value_or("");
          value_.clear();
          inline_.clear();
          in_cell_ = true;
        } else if (in_cell_ && n == "v") {
          in_v_ = !x.IsEmpty();
        } else if (in_cell_ && n == "is") {
          in_is_ = !x.IsEmpty();
          collect_ = StringCollector();
        } else if (in_is_) {
          collect_.Feed(x, inline_);
        }
      } else if (x.IsEnd()) {
        // What follows the cells (merged ranges, conditional formats,
        // page setup) holds no text, and can be most of a sheet's bytes.
        if (n == "sheetData") break;
        if (n == "c") {
          if (in_cell_) EndCell();
          in_cell_ = false;
        } else if (n == "v") {
          in_v_ = false;
        } else if (n == "is") {
          in_is_ = false;
        } else if (in_is_) {
          collect_.Feed(x, inline_);
        } else if (n == "row") {
          if (written_ >= 0) sink_.EndLine();
          written_ = -1;
          col_ = -1;
        }
      } else if (x.IsText()) {
        if (in_v_) value_ += x.Value();
        else if (in_is_) collect_.Feed(x, inline_);
      }
    }
    sink_.EndLine();
    return !x.failed() && x.opened();
  }

 private:
  std::string Display() const {
    if (type_ == "s") {
      unsigned idx = 0;
      auto [p, ec] = std::from_chars(value_.data(), value_.data() + value_.size(), idx);
      if (ec != std::errc() || idx >= strings_.size()) return {};
      return strings_[idx];
    }
    if (type_ == "inlineStr") return inline_.empty() ? value_ : inline_;
    if (type_ == "b") return value_.empty() ? std::string() : (value_ == "0" ? "FALSE" : "TRUE");
    if (type_ == "str" || type_ == "e" || type_ == "d") return value_;
    if (value_.empty()) return {};
    const NumberFormat format = styles_.FormatOf(style_);
    if (format.date != DateKind::kNone || format.percent_decimals >= 0) {
      double number = 0;
      auto [p, ec] = std::from_chars(value_.data(), value_.data() + value_.size(), number);
      if (ec == std::errc() && p == value_.data() + value_.size() && std::isfinite(number)) {
        if (format.percent_decimals >= 0) return FormatPercent(number, format.percent_decimals);
        std::string date = FormatSerial(number, format.date, date1904_);
        if (!date.empty()) return date;
      }
    }
    return FormatNumber(value_);
  }

  // Writes the cell with as many tabs before it as there are columns since
  // the last written one, so empty cells in between keep their place and
  // trailing empty cells cost nothing.
  void EndCell() {
    in_cell_ = in_v_ = in_is_ = false;
    std::string text = Display();
    if (text.empty()) return;
    Flatten(text);
    int tabs = written_ < 0 ? col_ : col_ - written_;
    if (written_ >= 0 && tabs < 1) tabs = 1;
    sink_.Append(std::string(static_cast<std::size_t>(tabs), '\t'));
    sink_.Append(text);
    written_ = std::max(col_, written_ + 1);
  }

  TextSink& sink_;
  const std::vector<std::string>& strings_;
  const Styles& styles_;
  bool date1904_;
  int col_ = -1;
  int written_ = -1;
  std::string type_, style_, value_, inline_;
  StringCollector collect_;
  bool in_cell_ = false, in_v_ = false, in_is_ = false;
};

// What a sheet shows besides its cells, after its rows: the text of its
// drawings (text boxes, shapes, chart titles and labels), then its comments.
void ReadSheetExtras(ZipArchive& zip, const std::string& sheet_part, TextSink& sink,
                     const std::function<void(const std::string&)>& note) {
  std::string error;
  ooxml::Relationships rels;
  if (!rels.Load(zip, sheet_part, &error)) {
    note(error);
    return;
  }
  auto read = [&](const std::string& part) {
    if (!sink.full() && zip.Has(part) && !ooxml::ReadPartText(zip, part, sink, &error)) note(error);
  };
  for (const ooxml::Relationship* drawing : rels.OfKind("drawing")) {
    read(drawing->target);
    ooxml::Relationships drawing_rels;
    if (!drawing_rels.Load(zip, drawing->target, &error)) {
      note(error);
      continue;
    }
    for (const ooxml::Relationship* chart : drawing_rels.OfKind("chart")) read(chart->target);
  }
  for (const ooxml::Relationship* comments : rels.OfKind("comments")) read(comments->target);
}

class XlsxFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    ExtractResult result;
    auto zip = ooxml::OpenPackage(path, "xlsx", sink, &result);
    if (!zip) return result;
    std::string main = ooxml::MainPart(*zip, "xl/workbook.xml");
    if (!zip->Has(main)) return ExtractResult::UnknownFormat("a zip file without a workbook part");
    if (zip->IsEncrypted(main)) return ExtractResult::Password();

    std::string error;
    ooxml::Relationships rels;
    if (!rels.Load(*zip, main, &error)) return ExtractResult::Failed(error);

    struct Sheet {
      std::string name, part;
    };
    std::vector<Sheet> sheets;
    bool date1904 = false;
    {
      XmlCursor x(*zip, main);
      while (x.Read()) {
        if (!x.IsStart()) continue;
        std::string_view n = x.LocalName();
        if (n == "workbookPr") {
          date1904 = ooxml::IsTrue(x.Attr("date1904").value_or(""));
        } else if (n == "sheet") {
          const ooxml::Relationship* r = rels.ById(x.RelId().value_or(""));
          sheets.push_back({x.Attr("name").value_or(""), r && !r->external ? r->target : std::string()});
        }
      }
      if (x.failed() || !x.opened()) return ExtractResult::Failed(x.error());
    }

    std::string problems;
    auto note = [&](const std::string& why) {
      if (!problems.empty()) problems += "; ";
      problems += why;
    };
    std::vector<std::string> strings;
    if (const ooxml::Relationship* r = rels.FirstOfKind("sharedStrings"); r && zip->Has(r->target))
      if (!ReadSharedStrings(*zip, r->target, strings, &error)) note(error);
    Styles styles;
    if (const ooxml::Relationship* r = rels.FirstOfKind("styles"); r && zip->Has(r->target))
      if (!ReadStyles(*zip, r->target, styles, &error)) note(error);

    for (const Sheet& sheet : sheets) {
      if (sink.full()) break;
      std::string name = sheet.name;
      Flatten(name);
      sink.Line(name);
      if (sheet.part.empty() || !zip->Has(sheet.part)) {
        note("the sheet \"" + sheet.name + "\" is missing");
      } else {
        XmlCursor x(*zip, sheet.part);
        SheetReader reader(sink, strings, styles, date1904);
        if (!reader.Read(x)) note(x.error());
        ReadSheetExtras(*zip, sheet.part, sink, note);
      }
    }
    if (sink.full()) return ExtractResult::Incomplete("the text limit was reached");
    if (!problems.empty()) return ExtractResult::Incomplete(problems);
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateXlsxFilter() { return std::make_unique<XlsxFilter>(); }

}  // namespace quarn

#include "convert/filters/ole/xls_filter.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "convert/filters/ole/ole_util.h"

#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Sheets are read up to this many cells: a damaged or hostile workbook must
// cost one document only.
constexpr std::size_t kMaxCells = std::size_t{16} << 20;

}  // namespace

std::string FormatCellNumber(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(buf, sizeof buf, "%.0f", value);
    std::string s(buf);
    return s == "-0" ? "0" : s;
  }
  double magnitude = std::fabs(value);
  std::snprintf(buf, sizeof buf, (magnitude >= 1e-5 && magnitude < 1e15) ? "%.15f" : "%.14E", value);
  std::string s(buf);
  if (magnitude >= 1e-5 && magnitude < 1e15) {
    // Keep 15 significant digits, then drop trailing zeros.
    std::snprintf(buf, sizeof buf, "%.15g", value);
    s = buf;
    if (s.find('e') != std::string::npos) {
      std::snprintf(buf, sizeof buf, "%.15f", value);
      s = buf;
    }
    if (s.find('.') != std::string::npos) {
      while (!s.empty() && s.back() == '0') s.pop_back();
      if (!s.empty() && s.back() == '.') s.pop_back();
    }
    return s;
  }
  std::snprintf(buf, sizeof buf, "%.15g", value);
  return buf;
}

namespace {

// Reads a record's data that CONTINUE records may extend: a string that
// crosses into the next piece starts it with a new options byte.
class Pieces {
 public:
  void Add(std::string_view piece) { pieces_.push_back(piece); }
  bool AtEnd() {
    Settle();
    return index_ >= pieces_.size();
  }
  uint8_t U8() {
    Settle();
    if (index_ >= pieces_.size()) return 0;
    return static_cast<uint8_t>(pieces_[index_][pos_++]);
  }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  void Skip(std::size_t n) {
    while (n > 0 && !AtEnd()) {
      std::size_t step = std::min(n, pieces_[index_].size() - pos_);
      pos_ += step;
      n -= step;
    }
  }
  // The characters of a BIFF8 string: cch characters, 8 or 16 bits each,
  // switching width at each piece boundary.
  void Chars(std::size_t cch, bool wide, std::string& out) {
    Settle();
    std::size_t piece = index_;
    for (std::size_t i = 0; i < cch && index_ < pieces_.size(); ++i) {
      if (index_ != piece) {  // crossed into a CONTINUE: its first byte is the options
        piece = index_;
        wide = U8() & 1;
      }
      char32_t c = wide ? U16() : U8();
      AppendCell(c, out);
      Settle();
    }
  }
  static void AppendCell(char32_t c, std::string& out) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c >= 0x20 || c == ' ') AppendUtf8(c, out);
  }

 private:
  void Settle() {
    while (index_ < pieces_.size() && pos_ >= pieces_[index_].size()) {
      ++index_;
      pos_ = 0;
    }
  }
  std::vector<std::string_view> pieces_;
  std::size_t index_ = 0, pos_ = 0;
};

struct Cell {
  uint32_t row;
  uint16_t col;
  std::string text;
};

enum class Shown { kNumber, kDate, kTime, kDateTime, kPercent };

// What a number format shows: built-in ids, or the codes of a custom format.
Shown ShownAs(uint16_t ifmt, const std::string* code) {
  if ((ifmt >= 14 && ifmt <= 17) || ifmt == 22 || (ifmt >= 27 && ifmt <= 36) || (ifmt >= 50 && ifmt <= 58))
    return ifmt == 22 ? Shown::kDateTime : Shown::kDate;
  if ((ifmt >= 18 && ifmt <= 21) || (ifmt >= 45 && ifmt <= 47)) return Shown::kTime;
  if (ifmt == 9 || ifmt == 10) return Shown::kPercent;
  if (!code) return Shown::kNumber;
  bool date = false, time = false, percent = false;
  bool quoted = false, bracket = false;
  for (std::size_t i = 0; i < code->size(); ++i) {
    char c = (*code)[i];
    if (c == '"') quoted = !quoted;
    else if (quoted) continue;
    else if (c == '\\' || c == '_' || c == '*') ++i;
    else if (c == '[') bracket = true;
    else if (c == ']') bracket = false;
    else if (bracket) continue;
    else if (c == ';') break;  // the first section decides
    else if (c == 'd' || c == 'D' || c == 'y' || c == 'Y') date = true;
    else if (c == 'h' || c == 'H' || c == 's' || c == 'S') time = true;
    else if (c == 'm' || c == 'M') date = date || !time;
    else if (c == '%') percent = true;
  }
  if (date && time) return Shown::kDateTime;
  if (date) return Shown::kDate;
  if (time) return Shown::kTime;
  if (percent) return Shown::kPercent;
  return Shown::kNumber;
}

std::string FormatSerial(double serial, bool date1904, Shown shown) {
  if (!(serial >= 0 && serial < 2958466)) return FormatCellNumber(serial);  // beyond 9999-12-31
  long days = static_cast<long>(serial);
  long seconds = std::lround((serial - static_cast<double>(days)) * 86400.0);
  if (seconds >= 86400) {
    ++days;
    seconds -= 86400;
  }
  char buf[48];
  std::string date;
  if (shown != Shown::kTime) {
    // Serial 1 is 1900-01-01 and 60 the 29 February 1900 that never was.
    long z = date1904 ? days + 1462 : (days < 60 ? days + 1 : days);
    z += 693899;  // days from 0000-03-01 to 1899-12-30
    long era = z / 146097, doe = z % 146097;
    long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long mp = (5 * doy + 2) / 153;
    long d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    long y = yoe + era * 400 + (m <= 2);
    if (!date1904 && days == 60) y = 1900, m = 2, d = 29;
    std::snprintf(buf, sizeof buf, "%04ld-%02ld-%02ld", y, m, d);
    date = buf;
    if (shown == Shown::kDate) return date;
    date += ' ';
  }
  std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return date + buf;
}

std::string ErrorText(uint8_t code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    default: return "#ERROR";
  }
}

double RkValue(uint32_t rk) {
  double v;
  if (rk & 2) {
    v = static_cast<double>(static_cast<int32_t>(rk) >> 2);
  } else {
    uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFC) << 32;
    std::memcpy(&v, &bits, sizeof v);
  }
  return (rk & 1) ? v / 100 : v;
}

class Workbook {
 public:
  explicit Workbook(std::string stream) : s_(std::move(stream)) {}

  // Reads the global records; false and *why when this is no workbook.
  bool ReadGlobals(std::string* why, bool* encrypted);
  void EmitSheets(TextSink& sink, std::string* missing);

 private:
  struct Sheet {
    std::string name;
    uint32_t offset;
  };
  // The record at *at, advanced past it; false at the end of the stream.
  bool Next(std::size_t* at, uint16_t* type, std::string_view* data) const {
    if (*at + 4 > s_.size()) return false;
    *type = Le16(s_, *at);
    std::size_t len = std::min<std::size_t>(Le16(s_, *at + 2), s_.size() - *at - 4);
    *data = std::string_view(s_).substr(*at + 4, len);
    *at += 4 + len;
    return true;
  }
  std::string ByteString(std::string_view bytes) const { return DecodeCharset(bytes, codepage_); }
  // A string with a 16-bit (long) or 8-bit length; BIFF8 adds an options byte.
  std::string ReadString(Pieces& p, bool long_length) const;
  std::string Number(double v, uint16_t xf) const;
  void ReadSst(std::size_t at, std::string_view first);

  std::string s_;
  bool biff8_ = true;
  bool date1904_ = false;
  std::string codepage_ = "windows-1252";
  std::vector<std::string> sst_;
  std::vector<uint16_t> xf_format_;
  std::vector<std::pair<uint16_t, std::string>> formats_;
  std::vector<Sheet> sheets_;
};

std::string Workbook::ReadString(Pieces& p, bool long_length) const {
  std::size_t cch = long_length ? p.U16() : p.U8();
  std::string out;
  if (!biff8_) {
    std::string bytes;
    for (std::size_t i = 0; i < cch && !p.AtEnd(); ++i) bytes.push_back(static_cast<char>(p.U8()));
    for (char c : ByteString(bytes)) out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    return out;
  }
  uint8_t flags = p.U8();
  std::size_t runs = (flags & 8) ? p.U16() : 0;
  std::size_t ext = (flags & 4) ? p.U32() : 0;
  p.Chars(cch, flags & 1, out);
  p.Skip(4 * runs);
  p.Skip(ext);
  return out;
}

void Workbook::ReadSst(std::size_t at, std::string_view first) {
  Pieces p;
  p.Add(first);
  uint16_t type;
  std::string_view data;
  std::size_t next = at;
  while (Next(&next, &type, &data) && type == 0x003C) p.Add(data);  // CONTINUE
  p.U32();
  uint32_t unique = p.U32();
  for (uint32_t i = 0; i < unique && !p.AtEnd() && sst_.size() < kMaxCells; ++i) sst_.push_back(ReadString(p, true));
}

bool Workbook::ReadGlobals(std::string* why, bool* encrypted) {
  std::size_t at = 0;
  uint16_t type;
  std::string_view data;
  if (!Next(&at, &type, &data) || (type != 0x0809 && type != 0x0409 && type != 0x0209)) {
    *why = "not an Excel workbook: the workbook stream does not start with a BOF record";
    return false;
  }
  // BIFF5 (Excel 5/95) stores 8-bit strings in the workbook's code page;
  // anything newer than BIFF5 uses the BIFF8 layout.
  biff8_ = Le16(data, 0) != 0x0500;
  if (type != 0x0809) {
    *why = "Excel 2-4 worksheets are not supported";
    return false;
  }
  while (Next(&at, &type, &data)) {
    std::size_t here = at;
    switch (type) {
      case 0x002F: *encrypted = true; return false;  // FILEPASS
      case 0x0022: date1904_ = Le16(data, 0) == 1; break;
      case 0x0042: {
        uint16_t cp = Le16(data, 0);
        if (cp == 1200) codepage_ = "utf-16le";
        else if (cp == 10000) codepage_ = "macintosh";
        else if (cp >= 874 && cp != 32768) codepage_ = "windows-" + std::to_string(cp);
        break;
      }
      case 0x041E: {
        Pieces p;
        p.Add(data);
        uint16_t id = p.U16();
        formats_.emplace_back(id, ReadString(p, biff8_));
        break;
      }
      case 0x00E0: xf_format_.push_back(Le16(data, 2)); break;
      case 0x0085: {
        Pieces p;
        p.Add(data.substr(std::min<std::size_t>(6, data.size())));
        uint8_t kind = data.size() > 5 ? static_cast<uint8_t>(data[5]) : 0;
        if (kind == 0) sheets_.push_back({ReadString(p, false), Le32(data, 0)});
        break;
      }
      case 0x00FC: ReadSst(here, data); break;
      case 0x000A: return true;  // EOF of the globals
      default: break;
    }
  }
  return true;
}

std::string Workbook::Number(double v, uint16_t xf) const {
  uint16_t ifmt = xf < xf_format_.size() ? xf_format_[xf] : 0;
  const std::string* code = nullptr;
  for (const auto& f : formats_)
    if (f.first == ifmt) code = &f.second;
  Shown shown = ShownAs(ifmt, code);
  if (shown == Shown::kPercent) return FormatCellNumber(v * 100) + "%";
  if (shown != Shown::kNumber) return FormatSerial(v, date1904_, shown);
  return FormatCellNumber(v);
}

void Workbook::EmitSheets(TextSink& sink, std::string* missing) {
  std::size_t total = 0;
  for (const Sheet& sheet : sheets_) {
    if (sink.full()) return;
    if (!sheet.name.empty()) sink.Line(sheet.name);
    std::vector<Cell> cells;
    std::size_t at = sheet.offset;
    uint16_t type;
    std::string_view d;
    if (!Next(&at, &type, &d) || type != 0x0809) {
      *missing = "a worksheet could not be found";
      continue;
    }
    bool want_string = false;  // a string formula's result follows in a STRING record
    uint32_t str_row = 0;
    uint16_t str_col = 0;
    auto add = [&](uint32_t row, uint16_t col, std::string text) {
      if (text.empty()) return;
      if (++total > kMaxCells) return;
      cells.push_back({row, col, std::move(text)});
    };
    int nested = 0;  // embedded charts and the like have their own BOF ... EOF
    while (Next(&at, &type, &d)) {
      if (type == 0x0809) ++nested;
      if (type == 0x000A) {
        if (nested-- == 0) break;
        continue;
      }
      if (nested > 0) continue;
      uint32_t row = Le16(d, 0);
      uint16_t col = Le16(d, 2), xf = Le16(d, 4);
      switch (type) {
        case 0x00FD: {  // LABELSST
          uint32_t i = Le32(d, 6);
          if (i < sst_.size()) add(row, col, sst_[i]);
          break;
        }
        case 0x0204: case 0x00D6: {  // LABEL, RSTRING
          Pieces p;
          p.Add(d.substr(std::min<std::size_t>(6, d.size())));
          add(row, col, ReadString(p, true));
          break;
        }
        case 0x027E: add(row, col, Number(RkValue(Le32(d, 6)), xf)); break;  // RK
        case 0x00BD: {  // MULRK
          for (std::size_t off = 4; off + 6 <= d.size() - std::min<std::size_t>(2, d.size()); off += 6, ++col)
            add(row, col, Number(RkValue(Le32(d, off + 2)), Le16(d, off)));
          break;
        }
        case 0x0203: {  // NUMBER
          double v;
          if (d.size() >= 14) {
            std::memcpy(&v, d.data() + 6, sizeof v);
            add(row, col, Number(v, xf));
          }
          break;
        }
        case 0x0006: {  // FORMULA: its last computed value
          if (d.size() < 14) break;
          if (Le16(d, 12) == 0xFFFF) {
            uint8_t kind = static_cast<uint8_t>(d[6]);
            if (kind == 0) {
              want_string = true;
              str_row = row;
              str_col = col;
            } else if (kind == 1) {
              add(row, col, d[8] ? "TRUE" : "FALSE");
            } else if (kind == 2) {
              add(row, col, ErrorText(static_cast<uint8_t>(d[8])));
            }
          } else {
            double v;
            std::memcpy(&v, d.data() + 6, sizeof v);
            add(row, col, Number(v, xf));
          }
          break;
        }
        case 0x0207: {  // STRING, after a string FORMULA
          if (!want_string) break;
          want_string = false;
          Pieces p;
          p.Add(d);
          add(str_row, str_col, ReadString(p, true));
          break;
        }
        case 0x0205: {  // BOOLERR
          if (d.size() >= 8) add(row, col, d[7] ? ErrorText(static_cast<uint8_t>(d[6])) : d[6] ? "TRUE" : "FALSE");
          break;
        }
        default: break;
      }
    }
    if (total > kMaxCells) *missing = "the workbook was cut at " + std::to_string(kMaxCells) + " cells";
    std::stable_sort(cells.begin(), cells.end(),
                     [](const Cell& a, const Cell& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; });
    std::string line;
    for (std::size_t i = 0; i < cells.size() && !sink.full();) {
      line.clear();
      uint32_t row = cells[i].row;
      uint16_t col = 0;
      for (; i < cells.size() && cells[i].row == row; ++i) {
        if (cells[i].col < col && !line.empty()) continue;  // a duplicate cell
        line.append(cells[i].col - col, '\t');
        col = cells[i].col;
        line += cells[i].text;
      }
      line += '\n';
      sink.Append(line);
    }
    sink.EndChunk();
  }
}

class XlsFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "xls", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.encrypted_package) return ExtractResult::Password();
    if (what.kind != ContentKind::kCompoundFile)
      return ExtractResult::UnknownFormat("not an Excel workbook: no compound-file signature");
    std::string why;
    CompoundFile file = OpenCompoundFile(path, &why);
    if (!file) return ExtractResult::Failed(why);
    std::optional<std::string> stream = ReadCompoundStream(file.get(), "Workbook");
    if (!stream) stream = ReadCompoundStream(file.get(), "Book");
    if (!stream) {
      // Some writers spell the stream's name in capitals.
      for (const std::string& name : CompoundEntryNames(file.get()))
        if (!stream && (g_ascii_strcasecmp(name.c_str(), "workbook") == 0 || g_ascii_strcasecmp(name.c_str(), "book") == 0))
          stream = ReadCompoundStream(file.get(), name.c_str());
    }
    if (!stream) return ExtractResult::UnknownFormat("not an Excel workbook: no Workbook stream");
    Workbook book(std::move(*stream));
    bool encrypted = false;
    if (!book.ReadGlobals(&why, &encrypted)) {
      if (encrypted) return ExtractResult::Password();
      return ExtractResult::Failed(why);
    }
    EmitSummaryInformation(file.get(), sink);
    std::string missing;
    book.EmitSheets(sink, &missing);
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (!missing.empty()) return ExtractResult::Incomplete(missing);
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateXlsFilter() { return std::make_unique<XlsFilter>(); }

}  // namespace quarn

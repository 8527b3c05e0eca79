#include "convert/filters/ole/xls_filter.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "convert/filters/common/number_format.h"
#include "convert/filters/ole/ole_util.h"

#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Sheets are read up to this many cells: a damaged or hostile workbook must
// cost one document only.
constexpr std::size_t kMaxCells = std::size_t{16} << 20;

}  // namespace

std::string FormatCellNumber(double value) { return FormatGeneralNumber(value); }

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

// Codes Excel does not name show as an error all the same.
std::string ErrorText(uint8_t code) {
  std::string text = ExcelErrorText(code);
  return text.empty() ? "#ERROR" : text;
}

class Workbook {
 public:
  explicit Workbook(std::string stream) : s_(std::move(stream)) {}

  // Reads the global records; false and *why when this is no workbook.
  // A stream encrypted with the given password is decrypted first.
  bool ReadGlobals(std::string* why, bool* encrypted, std::u16string_view password);
  // The same for the files of Excel 2 to 4: a worksheet of its own, or an
  // Excel 4 workbook whose sheets follow its globals in the same stream.
  bool ReadOldGlobals(std::string* why, bool* encrypted);
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
  // Text through the text section of the cell format xf.
  std::string Text(const std::string& text, uint16_t xf) const;
  const NumberFormat& FormatOf(uint16_t xf) const;
  void ReadSst(std::size_t at, std::string_view first);

  std::string s_;
  bool biff8_ = true;
  int old_version_ = 0;  // 2, 3 or 4 for the files of Excel 2 to 4
  bool date1904_ = false;
  std::string codepage_ = "windows-1252";
  std::vector<std::string> sst_;
  std::vector<uint16_t> xf_format_;
  std::vector<std::pair<uint16_t, std::string>> formats_;
  // The number formats cells used so far, parsed once each.
  mutable std::map<uint16_t, NumberFormat> parsed_formats_;
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

namespace {

bool IsBof(uint16_t type) { return type == 0x0809 || type == 0x0409 || type == 0x0209 || type == 0x0009; }

// The text a chart shows: its title, the names of its series given as text,
// its axis titles and its free text, in the records of its substream.  Data
// labels and the series' values (numbers in the sheet) are left out.
class ChartText {
 public:
  template <typename ReadShortString>
  void Read(uint16_t type, std::string_view d, ReadShortString read) {
    switch (type) {
      case 0x1025:  // TEXT: a label whose block (BEGIN ... END) follows
        text_pending_ = true;
        break;
      case 0x1033:  // BEGIN
        ++depth_;
        if (text_pending_ && text_depth_ == 0) {
          text_depth_ = depth_;
          link_ = 0;
          block_.clear();
        }
        text_pending_ = false;
        break;
      case 0x1034:  // END
        if (text_depth_ != 0 && depth_ == text_depth_) {
          // Data labels (linked to a series or point) show values.
          if (link_ != 4 && !block_.empty()) (link_ == 1 ? titles_ : others_).push_back(block_);
          text_depth_ = 0;
        }
        if (depth_ > 0) --depth_;
        break;
      case 0x1027:  // OBJECTLINK: what the label belongs to (1 the chart's title)
        if (text_depth_ != 0 && d.size() >= 2) link_ = Le16(d, 0);
        break;
      case 0x100D: {  // SERIESTEXT: the label's text, or a series' name
        Pieces p;
        p.Add(d.substr(std::min<std::size_t>(2, d.size())));
        std::string text = read(p);
        const std::size_t first = text.find_first_not_of(' ');
        if (first == std::string::npos) break;
        text = text.substr(first, text.find_last_not_of(' ') + 1 - first);
        if (text_depth_ != 0) block_ += text;
        else others_.push_back(std::move(text));
        break;
      }
      default:
        text_pending_ = false;
        break;
    }
  }
  // Appends the chart's lines, the title first, each text once.
  void Finish(std::vector<std::string>& lines) {
    std::set<std::string> seen;
    for (auto* list : {&titles_, &others_})
      for (std::string& t : *list)
        if (seen.insert(t).second) lines.push_back(std::move(t));
    titles_.clear();
    others_.clear();
  }

 private:
  int depth_ = 0, text_depth_ = 0;
  bool text_pending_ = false;
  uint16_t link_ = 0;
  std::string block_;
  std::vector<std::string> titles_, others_;
};

// Formats of Excel 2 to 4 are numbered by their records, not by the
// built-in numbers of later versions: their ids are moved out of that range.
constexpr uint16_t kOldFormatBase = 1000;

// Header and footer codes (&L &C &R sections, &P page and the like, fonts,
// sizes, colours) give way to the text around them; sections are separated
// by a tab.
std::string HeaderFooterText(std::string_view code) {
  std::string out, section;
  auto flush = [&] {
    std::string clean;
    bool space = false;
    for (char c : section) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        space = !clean.empty();
        continue;
      }
      if (space) clean += ' ';
      space = false;
      clean += c;
    }
    if (!clean.empty()) {
      if (!out.empty()) out += '\t';
      out += clean;
    }
    section.clear();
  };
  for (std::size_t i = 0; i < code.size(); ++i) {
    if (code[i] != '&' || i + 1 >= code.size()) {
      section += code[i];
      continue;
    }
    char c = code[++i];
    if (c == '&') {
      section += '&';
    } else if (c == 'L' || c == 'C' || c == 'R') {
      flush();
    } else if (c == '"') {  // &"font,style"
      std::size_t end = code.find('"', i + 1);
      i = end == std::string_view::npos ? code.size() : end;
    } else if (c == 'K') {  // &KRRGGBB or &Kxx+nnn
      i = std::min(code.size() - 1, i + 6);
    } else if (c >= '0' && c <= '9') {  // a font size
      while (i + 1 < code.size() && code[i + 1] >= '0' && code[i + 1] <= '9') ++i;
    } else {
      section += ' ';  // a field (&P, &N, &D, &T, &F, &A, &Z, &G) or a style toggle
    }
  }
  flush();
  return out;
}

}  // namespace

bool Workbook::ReadOldGlobals(std::string* why, bool* encrypted) {
  std::size_t at = 0;
  uint16_t type;
  std::string_view data;
  if (!Next(&at, &type, &data) || !IsBof(type) || type == 0x0809) {
    *why = "not an Excel worksheet: no BOF record";
    return false;
  }
  old_version_ = type == 0x0009 ? 2 : type == 0x0209 ? 3 : 4;
  biff8_ = false;
  const bool workbook = Le16(data, 2) == 0x0100;  // Excel 4 workbook globals
  if (old_version_ == 2)  // cells name their format directly
    for (uint16_t i = 0; i < 64; ++i) xf_format_.push_back(kOldFormatBase + i);
  uint16_t formats = 0;
  while (Next(&at, &type, &data)) {
    switch (type) {
      case 0x002F: *encrypted = true; return false;  // FILEPASS
      case 0x0022: date1904_ = Le16(data, 0) == 1; break;
      case 0x0042: {
        uint16_t cp = Le16(data, 0);
        if (cp == 10000) codepage_ = "macintosh";
        else if (cp >= 874 && cp != 32768 && cp != 1200) codepage_ = "windows-" + std::to_string(cp);
        break;
      }
      case 0x001E: case 0x041E: {  // FORMAT: numbered in order, or by an index of its own
        Pieces p;
        p.Add(data);
        uint16_t id = type == 0x041E ? p.U16() : formats;
        ++formats;
        formats_.emplace_back(static_cast<uint16_t>(kOldFormatBase + id), ReadString(p, false));
        break;
      }
      case 0x0243: case 0x0443:  // XF: the font, then the format
        xf_format_.push_back(static_cast<uint16_t>(kOldFormatBase + (data.size() > 1 ? static_cast<uint8_t>(data[1]) : 0)));
        break;
      case 0x008F: {  // BUNDLESHEET: where a sheet of the workbook starts, its name
        Pieces p;
        p.Add(data.substr(std::min<std::size_t>(6, data.size())));
        sheets_.push_back({ReadString(p, false), Le32(data, 0)});
        break;
      }
      case 0x000A:
        // A worksheet of its own is read again from its start, as its one sheet.
        if (!workbook) sheets_.push_back({"", 0});
        return true;
      default: break;
    }
  }
  if (!workbook) sheets_.push_back({"", 0});
  return true;
}

bool Workbook::ReadGlobals(std::string* why, bool* encrypted, std::u16string_view password) {
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
      case 0x002F:  // FILEPASS: the records after it are encrypted
        if (DecryptWorkbook(s_, here - 4 - data.size(), password)) break;
        *encrypted = true;
        return false;
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
        if (kind == 0 || kind == 2) sheets_.push_back({ReadString(p, false), Le32(data, 0)});  // worksheets, charts
        break;
      }
      case 0x00FC: ReadSst(here, data); break;
      case 0x000A: return true;  // EOF of the globals
      default: break;
    }
  }
  return true;
}

std::string Workbook::Number(double v, uint16_t xf) const { return FormatOf(xf).Format(v, date1904_); }

std::string Workbook::Text(const std::string& text, uint16_t xf) const {
  if (text.empty() || xf >= xf_format_.size()) return text;
  return FormatOf(xf).FormatText(text);
}

const NumberFormat& Workbook::FormatOf(uint16_t xf) const {
  uint16_t ifmt = xf < xf_format_.size() ? xf_format_[xf] : 0;
  auto it = parsed_formats_.find(ifmt);
  if (it == parsed_formats_.end()) {
    // A FORMAT record defines (or redefines) the code of its id; the others
    // are the built-in formats.
    const std::string* code = nullptr;
    for (const auto& f : formats_)
      if (f.first == ifmt) code = &f.second;
    it = parsed_formats_.emplace(ifmt, code ? NumberFormat(*code) : NumberFormat::Builtin(ifmt)).first;
  }
  return it->second;
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
    if (!Next(&at, &type, &d) || !IsBof(type)) {
      *missing = "a worksheet could not be found";
      continue;
    }
    std::vector<std::string> boxes;        // text boxes and comments (TXO)
    std::string header, footer;
    bool want_string = false;  // a string formula's result follows in a STRING record
    uint32_t str_row = 0;
    uint16_t str_col = 0, str_xf = 0xFFFF;
    auto add = [&](uint32_t row, uint16_t col, std::string text) {
      if (text.empty()) return;
      if (++total > kMaxCells) return;
      cells.push_back({row, col, std::move(text)});
    };
    // Embedded charts and the like have their own BOF ... EOF; a chart
    // sheet is a chart substream itself.
    int nested = 0;
    std::vector<bool> charts{Le16(d, 2) == 0x0020};  // per open substream: a chart
    ChartText chart;
    std::vector<std::string> chart_lines;
    while (Next(&at, &type, &d)) {
      if (IsBof(type)) {
        ++nested;
        chart.Finish(chart_lines);  // what a chart holding this substream showed so far
        charts.push_back(Le16(d, 2) == 0x0020 && charts.size() < 64);
        chart = ChartText();
        continue;
      }
      if (type == 0x000A) {
        if (charts.back()) chart.Finish(chart_lines);
        if (charts.size() > 1) charts.pop_back();
        if (nested-- == 0) break;
        continue;
      }
      if (charts.back()) {
        chart.Read(type, d, [this](Pieces& p) { return ReadString(p, false); });
        continue;
      }
      if (nested > 0) continue;
      uint32_t row = Le16(d, 0);
      uint16_t col = Le16(d, 2), xf = Le16(d, 4);
      switch (type) {
        case 0x00FD: {  // LABELSST
          uint32_t i = Le32(d, 6);
          if (i < sst_.size()) add(row, col, Text(sst_[i], xf));
          break;
        }
        case 0x0204: case 0x00D6: {  // LABEL, RSTRING
          Pieces p;
          p.Add(d.substr(std::min<std::size_t>(6, d.size())));
          add(row, col, Text(ReadString(p, true), xf));
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
          if (old_version_ == 2) {  // after a 3-byte attribute
            if (d.size() < 15) break;
            const uint16_t format = static_cast<uint8_t>(d[5]) & 0x3F;
            if (Le16(d, 13) == 0xFFFF && d[7] == 0) {
              want_string = true;
              str_row = row;
              str_col = col;
            } else if (Le16(d, 13) != 0xFFFF) {
              double v;
              std::memcpy(&v, d.data() + 7, sizeof v);
              add(row, col, Number(v, format));
            }
            break;
          }
          if (d.size() < 14) break;
          if (Le16(d, 12) == 0xFFFF) {
            uint8_t kind = static_cast<uint8_t>(d[6]);
            if (kind == 0) {
              want_string = true;
              str_xf = xf;
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
          add(str_row, str_col, Text(ReadString(p, true), str_xf));
          str_xf = 0xFFFF;
          break;
        }
        case 0x0014: case 0x0015: {  // HEADER, FOOTER: empty when there is none
          if (d.empty()) break;
          Pieces p;
          p.Add(d);
          (type == 0x0014 ? header : footer) = HeaderFooterText(ReadString(p, biff8_));
          break;
        }
        case 0x01B6: {  // TXO: the text of a text box or comment is in the CONTINUE records after it
          const std::size_t cch = Le16(d, 10);
          if (cch == 0) break;
          Pieces p;
          std::size_t look = at;
          uint16_t next_type;
          std::string_view next;
          while (Next(&look, &next_type, &next) && next_type == 0x003C) p.Add(next);
          std::string text;
          if (biff8_) {
            p.Chars(cch, p.U8() & 1, text);
          } else {
            std::string bytes;
            for (std::size_t i = 0; i < cch && !p.AtEnd(); ++i) bytes.push_back(static_cast<char>(p.U8()));
            for (char c : ByteString(bytes)) text += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
          }
          if (text.find_first_not_of(' ') != std::string::npos) boxes.push_back(std::move(text));
          break;
        }
        case 0x0002: case 0x0003: case 0x0004: case 0x0007: {
          // Excel 2 cells: a 3-byte attribute whose second byte names the format.
          if (old_version_ != 2) break;
          const uint16_t format = d.size() > 5 ? static_cast<uint8_t>(d[5]) & 0x3F : 0;
          if (type == 0x0002) {  // INTEGER
            add(row, col, Number(Le16(d, 7), format));
          } else if (type == 0x0003 && d.size() >= 15) {  // NUMBER
            double v;
            std::memcpy(&v, d.data() + 7, sizeof v);
            add(row, col, Number(v, format));
          } else if (type == 0x0004) {  // LABEL
            Pieces p;
            p.Add(d.substr(std::min<std::size_t>(7, d.size())));
            add(row, col, ReadString(p, false));
          } else if (type == 0x0007 && want_string) {  // STRING after a string FORMULA
            want_string = false;
            Pieces p;
            p.Add(d);
            add(str_row, str_col, ReadString(p, false));
          }
          break;
        }
        case 0x0206: case 0x0406: {  // FORMULA of Excel 3 and 4: laid out as later ones
          if (old_version_ < 3 || d.size() < 14) break;
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
        case 0x0205: {  // BOOLERR
          if (d.size() >= 8) add(row, col, d[7] ? ErrorText(static_cast<uint8_t>(d[6])) : d[6] ? "TRUE" : "FALSE");
          break;
        }
        case 0x0005: {  // BOOLERR of Excel 2, after a 3-byte attribute
          if (old_version_ == 2 && d.size() >= 9)
            add(row, col, d[8] ? ErrorText(static_cast<uint8_t>(d[7])) : d[7] ? "TRUE" : "FALSE");
          break;
        }
        default: break;
      }
    }
    chart.Finish(chart_lines);  // a chart sheet cut short
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
    for (const std::string& text : chart_lines) sink.Line(text);
    for (const std::string& box : boxes) sink.Line(box);
    if (!header.empty()) sink.Line(header);
    if (!footer.empty()) sink.Line(footer);
    sink.EndChunk();
  }
}

class XlsFilter : public BuiltinFilter {
 public:
  explicit XlsFilter(std::u16string password) : password_(std::move(password)) {}

  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "xls", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.encrypted_package) return ExtractResult::Password();
    if (what.rights_managed) return ExtractResult::RightsManaged();
    std::string why;
    if (what.kind != ContentKind::kCompoundFile && what.filter == "xls") {
      // Excel 2 to 4 wrote their records straight into the file.
      std::ifstream in(path, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      Workbook book(std::move(bytes));
      bool encrypted = false;
      if (!book.ReadOldGlobals(&why, &encrypted)) {
        if (encrypted) return ExtractResult::Password();
        return ExtractResult::Failed(why);
      }
      std::string missing;
      book.EmitSheets(sink, &missing);
      if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
      if (!missing.empty()) return ExtractResult::Incomplete(missing);
      return ExtractResult::Ok();
    }
    if (what.kind != ContentKind::kCompoundFile)
      return ExtractResult::UnknownFormat("not an Excel workbook: no compound-file signature");
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
    if (!book.ReadGlobals(&why, &encrypted, password_)) {
      if (encrypted) return ExtractResult::Password();
      return ExtractResult::Failed(why);
    }
    std::string missing;
    book.EmitSheets(sink, &missing);
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (!missing.empty()) return ExtractResult::Incomplete(missing);
    return ExtractResult::Ok();
  }

 private:
  std::u16string password_;
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateXlsFilter(std::u16string_view password) {
  return std::make_unique<XlsFilter>(std::u16string(password));
}

}  // namespace quarn

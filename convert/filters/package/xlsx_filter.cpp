// Reads a workbook (Excel 2007 and later, in XML or binary records) sheet by
// sheet in workbook order: each sheet's name on a
// line of its own, then its rows as tab-separated cells holding the values a
// person sees (shared and inline strings, numbers through the cell's number
// format as a spreadsheet shows them, booleans, errors, cached results of
// formulas), then the text of its drawings, charts, diagrams and embedded
// objects, and its comments.
#include "convert/filters/package/xlsx_filter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "convert/charset.h"
#include "convert/filters/common/number_format.h"
#include "convert/filters/members.h"
#include "convert/filters/package/ooxml.h"

namespace quarn {

namespace {

using ooxml::XmlCursor;

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

// A cell's text on one line: a line end (CR LF, LF or CR) or tab is one space.
void Flatten(std::string& s) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    s[out++] = (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
  }
  s.resize(out);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The UTF-16 unit of an escape "_xHHHH_" at s[at], or -1.
int EscapedUnit(std::string_view s, std::size_t at) {
  if (at + 7 > s.size() || s[at] != '_' || s[at + 1] != 'x' || s[at + 6] != '_') return -1;
  int unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    int h = HexValue(s[i]);
    if (h < 0) return -1;
    unit = unit << 4 | h;
  }
  return unit;
}

// Workbook strings write characters XML cannot carry (a line's carriage
// return, control characters) and an underscore that would start such a
// code as "_xHHHH_", UTF-16 units in hex: "Line 1_x000D_\nLine 2",
// "_x005F_x0041_" for the text "_x0041_".  Control characters other than
// tabs and line ends show nothing.
void DecodeEscapes(std::string& s) {
  if (s.find("_x") == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    int unit = EscapedUnit(s, i);
    if (unit < 0) {
      out += s[i++];
      continue;
    }
    i += 7;
    char32_t cp = static_cast<char32_t>(unit);
    if (unit >= 0xD800 && unit < 0xDC00) {
      int low = EscapedUnit(s, i);
      if (low < 0xDC00 || low >= 0xE000) continue;  // half a pair shows nothing
      cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<char32_t>(low - 0xDC00);
      i += 7;
    } else if (unit >= 0xDC00 && unit < 0xE000) {
      continue;
    }
    if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') continue;
    AppendUtf8(cp, out);
  }
  s = std::move(out);
}

struct Styles {
  std::vector<NumberFormat> xf_formats;  // per cell format index
  NumberFormat general;
  const NumberFormat& FormatOf(std::string_view s) const {
    unsigned idx = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), idx);
    if (ec != std::errc()) return general;
    return FormatOf(idx);
  }
  const NumberFormat& FormatOf(std::size_t idx) const { return idx < xf_formats.size() ? xf_formats[idx] : general; }
};

bool ReadStyles(ZipArchive& zip, const std::string& part, Styles& styles, std::string* error) {
  XmlCursor x(zip, part);
  std::unordered_map<int, NumberFormat> custom;
  bool in_xfs = false;
  while (x.Read()) {
    std::string_view n = x.LocalName();
    if (x.IsStart() && n == "numFmt") {
      int id = std::atoi(x.Attr("numFmtId").value_or("0").c_str());
      custom[id] = NumberFormat(x.Attr("formatCode").value_or(""));
    } else if (n == "cellXfs") {
      in_xfs = x.IsStart() && !x.IsEmpty();
    } else if (in_xfs && x.IsStart() && n == "xf") {
      int id = std::atoi(x.Attr("numFmtId").value_or("0").c_str());
      auto it = custom.find(id);
      styles.xf_formats.push_back(it != custom.end() ? it->second : NumberFormat::Builtin(id));
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
      else if (!strings.empty()) DecodeEscapes(strings.back());
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

// What cells with rich values show (pictures placed in cells, linked data
// types such as stocks or places), by their value metadata index (the
// cell's vm, from 1).  Such a cell keeps "#VALUE!" as its value for older
// readers; a reader of today sees the value's display string, or for a
// picture nothing.
class RichValues {
 public:
  // Reads the workbook's cell metadata and rich values; parts that are
  // missing leave the cells as they are.
  void Load(ZipArchive& zip, const ooxml::Relationships& rels, const std::function<void(const std::string&)>& note) {
    const ooxml::Relationship* meta = rels.FirstOfKind("sheetMetadata");
    const ooxml::Relationship* values = rels.FirstOfKind("rdRichValue");
    const ooxml::Relationship* structures = rels.FirstOfKind("rdRichValueStructure");
    if (!meta || !values || !structures || !zip.Has(meta->target)) return;
    // Metadata: value blocks name a type and an index among that type's
    // blocks; the rich value types' blocks give the rich value's index.
    std::vector<std::string> types;
    std::vector<long> rich_blocks;               // XLRICHVALUE future blocks: rich value index
    std::vector<std::pair<long, long>> by_vm;    // value blocks: type (from 1), index
    {
      XmlCursor x(zip, meta->target);
      bool in_rich = false, in_values = false;
      while (x.Read()) {
        std::string_view n = x.LocalName();
        if (n == "futureMetadata") {
          in_rich = x.IsStart() && !x.IsEmpty() && x.Attr("name").value_or("") == "XLRICHVALUE";
        } else if (n == "valueMetadata") {
          in_values = x.IsStart() && !x.IsEmpty();
        } else if (!x.IsStart()) {
          continue;
        } else if (n == "metadataType") {
          types.push_back(x.Attr("name").value_or(""));
        } else if (in_rich && n == "bk") {
          rich_blocks.push_back(-1);
        } else if (in_rich && n == "rvb" && !rich_blocks.empty()) {
          rich_blocks.back() = std::atol(x.Attr("i").value_or("-1").c_str());
        } else if (in_values && n == "bk") {
          by_vm.emplace_back(0, -1);
        } else if (in_values && n == "rc" && !by_vm.empty()) {
          by_vm.back() = {std::atol(x.Attr("t").value_or("0").c_str()), std::atol(x.Attr("v").value_or("-1").c_str())};
        }
      }
      if (x.failed()) note(x.error());
    }
    // Structures: the position of the display string among a value's keys.
    std::vector<long> display_key;
    if (zip.Has(structures->target)) {
      XmlCursor x(zip, structures->target);
      long key = 0;
      while (x.Read()) {
        if (!x.IsStart()) continue;
        if (x.LocalName() == "s") {
          display_key.push_back(-1);
          key = 0;
        } else if (x.LocalName() == "k" && !display_key.empty()) {
          if (x.Attr("n").value_or("") == "_DisplayString") display_key.back() = key;
          ++key;
        }
      }
      if (x.failed()) note(x.error());
    }
    // Values: each one's display string, if its structure has one.
    std::vector<std::string> shown;
    if (zip.Has(values->target)) {
      XmlCursor x(zip, values->target);
      long want = -1, key = -1;
      bool in_v = false;
      while (x.Read()) {
        std::string_view n = x.LocalName();
        if (x.IsStart() && n == "rv") {
          shown.emplace_back();
          unsigned s = 0;
          std::string st = x.Attr("s").value_or("");
          auto [p, ec] = std::from_chars(st.data(), st.data() + st.size(), s);
          want = ec == std::errc() && s < display_key.size() ? display_key[s] : -1;
          key = -1;
        } else if (x.IsStart() && n == "v" && !shown.empty()) {
          in_v = ++key == want && !x.IsEmpty();
        } else if (x.IsEnd() && n == "v") {
          in_v = false;
        } else if (in_v && x.IsText()) {
          shown.back() += x.Value();
        }
      }
      if (x.failed()) note(x.error());
    }
    for (auto [type, index] : by_vm) {
      std::string text;
      if (type >= 1 && static_cast<std::size_t>(type) <= types.size() && types[type - 1] == "XLRICHVALUE" &&
          index >= 0 && static_cast<std::size_t>(index) < rich_blocks.size()) {
        long rv = rich_blocks[index];
        if (rv >= 0 && static_cast<std::size_t>(rv) < shown.size()) text = shown[rv];
      }
      display_.push_back(std::move(text));
    }
  }

  // What the cell with value metadata vm shows, or nullptr when it is no
  // rich value this workbook describes.
  const std::string* Shown(std::string_view vm) const {
    unsigned i = 0;
    auto [p, ec] = std::from_chars(vm.data(), vm.data() + vm.size(), i);
    if (ec != std::errc() || i == 0 || i > display_.size()) return nullptr;
    return &display_[i - 1];
  }

 private:
  std::vector<std::string> display_;
};

// One row's cells on a line, tab-separated: each cell with as many tabs
// before it as there are columns since the last one written, so that empty
// cells in between keep their place and trailing empty cells cost nothing.
class RowText {
 public:
  explicit RowText(TextSink& sink) : sink_(sink) {}
  void Cell(int col, std::string text) {
    if (text.empty()) return;
    Flatten(text);
    int tabs = written_ < 0 ? col : col - written_;
    if (written_ >= 0 && tabs < 1) tabs = 1;
    sink_.Append(std::string(static_cast<std::size_t>(tabs), '\t'));
    sink_.Append(text);
    written_ = std::max(col, written_ + 1);
  }
  // Ends the row's line, if anything was written on it.
  void End() {
    if (written_ >= 0) sink_.EndLine();
    written_ = -1;
  }

 private:
  TextSink& sink_;
  int written_ = -1;
};

class SheetReader {
 public:
  SheetReader(TextSink& sink, const std::vector<std::string>& strings, const Styles& styles, const RichValues& rich,
              bool date1904)
      : sink_(sink), strings_(strings), styles_(styles), rich_(rich), date1904_(date1904) {}

  bool Read(XmlCursor& x) {
    while (!sink_.full() && x.Read()) {
      std::string_view n = x.LocalName();
      if (x.IsStart()) {
        if (n == "row") {
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
          vm_ = x.Attr("vm").value_or("");
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
          row_.End();
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
    if (!vm_.empty())
      if (const std::string* shown = rich_.Shown(vm_)) return *shown;
    // Text shows through the text section of its cell's format, if any.
    if (type_ == "s") {
      unsigned idx = 0;
      auto [p, ec] = std::from_chars(value_.data(), value_.data() + value_.size(), idx);
      if (ec != std::errc() || idx >= strings_.size()) return {};
      return styles_.FormatOf(style_).FormatText(strings_[idx]);
    }
    if (type_ == "inlineStr" || type_ == "str") {
      std::string text = type_ == "str" || inline_.empty() ? value_ : inline_;
      DecodeEscapes(text);
      return styles_.FormatOf(style_).FormatText(text);
    }
    if (type_ == "b") return value_.empty() ? std::string() : (value_ == "0" ? "FALSE" : "TRUE");
    if (type_ == "d") {
      // A date written as ISO 8601 text (as strict workbooks keep them)
      // shows through its format like the serial number it stands for.
      double serial = 0;
      if (!IsoDateSerial(value_, date1904_, &serial)) return value_;
      return styles_.FormatOf(style_).Format(serial, date1904_);
    }
    if (type_ == "e") return value_;
    if (value_.empty()) return {};
    return styles_.FormatOf(style_).FormatStored(value_, date1904_);
  }

  void EndCell() {
    in_cell_ = in_v_ = in_is_ = false;
    row_.Cell(col_, Display());
  }

  TextSink& sink_;
  const std::vector<std::string>& strings_;
  const Styles& styles_;
  const RichValues& rich_;
  bool date1904_;
  RowText row_{sink_};
  int col_ = -1;
  std::string type_, style_, vm_, value_, inline_;
  StringCollector collect_;
  bool in_cell_ = false, in_v_ = false, in_is_ = false;
};

// What a sheet shows besides its cells, after its rows: the text of its
// drawings (text boxes, shapes, chart titles and labels, diagrams), of the
// documents embedded in it, then its comments.
using CommentsReader = std::function<bool(ZipArchive& zip, const std::string& part, TextSink& sink, std::string* error)>;

void ReadSheetExtras(ZipArchive& zip, const std::string& sheet_part, TextSink& sink, std::set<std::string>& embedded,
                     PrivateFolder& folder, const std::function<void(const std::string&)>& note,
                     const CommentsReader& read_comments = ooxml::ReadPartText) {
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
    for (std::string_view kind : {"chart", "diagramData"})
      for (const ooxml::Relationship* r : drawing_rels.OfKind(kind)) read(r->target);
  }
  // Objects embedded in the sheet are documents of their own (a chart's
  // data workbook hangs off the chart and is not read: the chart shows it).
  for (std::string_view kind : {"package", "oleObject"})
    for (const ooxml::Relationship* r : rels.OfKind(kind))
      if (!sink.full() && zip.Has(r->target) && embedded.insert(r->target).second &&
          !ooxml::ReadEmbedded(zip, r->target, sink, folder, &error))
        note(error);
  for (const ooxml::Relationship* comments : rels.OfKind("comments"))
    if (!sink.full() && zip.Has(comments->target) && !read_comments(zip, comments->target, sink, &error)) note(error);
}

// A workbook's sheet as its workbook part lists it: its name and its part.
struct Sheet {
  std::string name, part;
};

// Each sheet in the workbook's order: its name on a line, its cells (by
// read_cells, given the sheet's part), then its comments and embedded
// objects; a sheet whose part is missing is noted.  The result the workbook
// ends with: the problems noted, or the text limit reached.
ExtractResult ReadSheets(ZipArchive& zip, const std::vector<Sheet>& sheets, TextSink& sink,
                         const std::function<void(const std::string&)>& note, const std::string& problems,
                         const std::function<void(const std::string&)>& read_cells,
                         const CommentsReader& read_comments = ooxml::ReadPartText) {
  std::set<std::string> embedded;  // objects read, once each
  PrivateFolder folder;            // where they are read from
  for (const Sheet& sheet : sheets) {
    if (sink.full()) break;
    std::string name = sheet.name;
    Flatten(name);
    sink.Line(name);
    if (sheet.part.empty() || !zip.Has(sheet.part)) {
      note("the sheet \"" + sheet.name + "\" is missing");
      continue;
    }
    read_cells(sheet.part);
    ReadSheetExtras(zip, sheet.part, sink, embedded, folder, note, read_comments);
  }
  if (sink.full()) return ExtractResult::Incomplete("the text limit was reached");
  if (!problems.empty()) return ExtractResult::Incomplete(problems);
  return ExtractResult::Ok();
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

    std::vector<Sheet> sheets;
    bool date1904 = false;
    {
      XmlCursor x(*zip, main);
      while (x.Read()) {
        if (!x.IsStart()) continue;
        std::string_view n = x.LocalName();
        if (n == "workbookPr" && x.Depth() == 1) {
          // Only the workbook's own properties: extensions repeat the
          // element with other attributes.
          date1904 = ooxml::IsTrue(x.Attr("date1904").value_or(""));
        } else if (n == "sheet") {
          const ooxml::Relationship* r = rels.ById(x.RelId().value_or(""));
          sheets.push_back({x.Attr("name").value_or(""), r && !r->external ? r->target : std::string()});
        }
      }
      if (x.failed() || !x.opened()) return ExtractResult::Failed(x.error());
    }

    std::string problems = zip->damage();
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
    RichValues rich;
    rich.Load(*zip, rels, note);

    return ReadSheets(*zip, sheets, sink, note, problems, [&](const std::string& part) {
      XmlCursor x(*zip, part);
      SheetReader reader(sink, strings, styles, rich, date1904);
      if (!reader.Read(x)) note(x.error());
    });
  }
};


// Excel binary workbooks (.xlsb): the same package as a workbook of XML,
// with the workbook, its sheets, shared strings, styles and comments kept as
// records instead (drawings and charts stay XML).  A record is a type and a
// length, each a little-endian number of 7-bit groups (the type at most two,
// the length at most four), then its body.
namespace xlsb {

enum Record : std::uint32_t {
  kRowHeader = 0,
  kCellBlank = 1,
  kCellRk = 2,
  kCellError = 3,
  kCellBool = 4,
  kCellReal = 5,
  kCellString = 6,
  kCellSharedString = 7,
  kFormulaString = 8,
  kFormulaNumber = 9,
  kFormulaBool = 10,
  kFormulaError = 11,
  kSharedStringItem = 19,
  kFormat = 44,
  kCellFormat = 47,
  kCellRichString = 62,
  kEndSheetData = 146,
  kWorkbookProperties = 153,
  kSheet = 156,
  kBeginCellFormats = 617,
  kEndCellFormats = 618,
  kCommentText = 637,
};

// Columns a sheet can have (A to XFD): a cell that claims another is damage.
constexpr std::uint32_t kColumns = 16384;

class Records {
 public:
  explicit Records(std::string_view data) : data_(data) {}

  // The next record; false at the end, or where the stream is cut or damaged.
  bool Next() {
    if (at_ >= data_.size()) return false;
    std::uint32_t type = 0, size = 0;
    if (!Number(2, &type) || !Number(4, &size) || size > data_.size() - at_) {
      damaged_ = true;
      return false;
    }
    type_ = type;
    body_ = data_.substr(at_, size);
    at_ += size;
    return true;
  }
  std::uint32_t type() const { return type_; }
  std::string_view body() const { return body_; }
  bool damaged() const { return damaged_; }

 private:
  bool Number(int max_bytes, std::uint32_t* value) {
    for (int i = 0; i < max_bytes; ++i) {
      if (at_ >= data_.size()) return false;
      const auto b = static_cast<unsigned char>(data_[at_++]);
      *value |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  std::string_view data_;
  std::size_t at_ = 0;
  std::uint32_t type_ = 0;
  std::string_view body_;
  bool damaged_ = false;
};

// A record's body read field by field; a field past its end reads as zero
// or empty and marks the body short.
class Body {
 public:
  explicit Body(std::string_view b) : b_(b) {}
  std::uint32_t U8() { return static_cast<std::uint32_t>(Bytes(1)[0] & 0xFF); }
  std::uint32_t U16() { return Le(2); }
  std::uint32_t U32() { return Le(4); }
  double F64() {
    const std::uint64_t bits = static_cast<std::uint64_t>(Le(4)) | static_cast<std::uint64_t>(Le(4)) << 32;
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  // A string of UTF-16 units after their count; a count of 0xFFFFFFFF is
  // no string at all.
  std::string Wide() {
    const std::uint32_t units = U32();
    if (units == 0xFFFFFFFFu || short_) return {};
    if (units > (b_.size() - at_) / 2) {
      short_ = true;
      return {};
    }
    std::string out;
    AppendUtf16Le(b_.substr(at_, std::size_t{units} * 2), out);
    at_ += std::size_t{units} * 2;
    // Control characters show nothing, except the line ends and tabs that
    // cells flatten.
    std::erase_if(out, [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r'; });
    return out;
  }
  // A rich string: its flags, then its text (the runs' fonts and phonetic
  // readings that may follow are not text of their own).
  std::string Rich() {
    U8();
    return Wide();
  }
  void Skip(std::size_t n) { Bytes(n); }
  bool short_read() const { return short_; }

 private:
  std::string_view Bytes(std::size_t n) {
    static constexpr char kZeros[8] = {};
    if (n > b_.size() - at_) {
      short_ = true;
      at_ = b_.size();
      return {kZeros, n <= sizeof kZeros ? n : sizeof kZeros};
    }
    std::string_view v = b_.substr(at_, n);
    at_ += n;
    return v;
  }
  std::uint32_t Le(std::size_t n) {
    std::string_view v = Bytes(n);
    std::uint32_t x = 0;
    for (std::size_t i = 0; i < n && i < v.size(); ++i) x |= static_cast<std::uint32_t>(static_cast<unsigned char>(v[i])) << (8 * i);
    return x;
  }

  std::string_view b_;
  std::size_t at_ = 0;
  bool short_ = false;
};

std::string ErrorText(std::uint32_t code) { return code == 0x2B ? "#GETTING_DATA" : ExcelErrorText(code); }

// What a damaged part costs: the records before the damage are kept.
std::string Damaged(const std::string& part) { return "the part " + part + " is damaged; the text before the damage is kept"; }

bool ReadPart(ZipArchive& zip, const std::string& part, std::string& data, std::string* error) {
  return zip.Read(part, data, error);
}

bool ReadStyles(ZipArchive& zip, const std::string& part, Styles& styles, std::string* error) {
  std::string data;
  if (!ReadPart(zip, part, data, error)) return false;
  std::unordered_map<std::uint32_t, NumberFormat> custom;
  bool in_cell_formats = false;
  Records r(data);
  while (r.Next()) {
    Body b(r.body());
    switch (r.type()) {
      case kFormat: {
        const std::uint32_t id = b.U16();
        custom[id] = NumberFormat(b.Wide());
        break;
      }
      case kBeginCellFormats: in_cell_formats = true; break;
      case kEndCellFormats: in_cell_formats = false; break;
      case kCellFormat:
        if (in_cell_formats) {
          b.U16();  // the cell style it is based on
          const std::uint32_t id = b.U16();
          auto it = custom.find(id);
          styles.xf_formats.push_back(it != custom.end() ? it->second : NumberFormat::Builtin(static_cast<int>(id)));
        }
        break;
      default: break;
    }
  }
  if (r.damaged()) *error = Damaged(part);
  return !r.damaged();
}

bool ReadSharedStrings(ZipArchive& zip, const std::string& part, std::vector<std::string>& strings,
                       std::string* error) {
  std::string data;
  if (!ReadPart(zip, part, data, error)) return false;
  Records r(data);
  while (r.Next())
    if (r.type() == kSharedStringItem) strings.push_back(Body(r.body()).Rich());
  if (r.damaged()) *error = Damaged(part);
  return !r.damaged();
}

bool ReadComments(ZipArchive& zip, const std::string& part, TextSink& sink, std::string* error) {
  std::string data;
  if (!ReadPart(zip, part, data, error)) return false;
  Records r(data);
  while (r.Next() && !sink.full()) {
    if (r.type() != kCommentText) continue;
    std::string text = Body(r.body()).Rich();
    Flatten(text);
    sink.Line(text);
  }
  if (r.damaged()) *error = Damaged(part);
  return !r.damaged();
}

// A sheet's rows: each cell as the sheet shows it, through its format.
bool ReadSheet(ZipArchive& zip, const std::string& part, const std::vector<std::string>& strings, const Styles& styles,
               bool date1904, TextSink& sink, std::string* error) {
  std::string data;
  if (!ReadPart(zip, part, data, error)) return false;
  RowText row(sink);
  Records r(data);
  while (!sink.full() && r.Next()) {
    const std::uint32_t type = r.type();
    if (type == kEndSheetData) break;  // what follows holds no text
    if (type == kRowHeader) {
      row.End();
      continue;
    }
    if (type > kFormulaError && type != kCellRichString) continue;
    Body b(r.body());
    const std::uint32_t col = b.U32();
    const std::uint32_t style = b.U32() & 0xFFFFFF;
    if (col >= kColumns) continue;
    const NumberFormat& format = styles.FormatOf(style);
    std::string text;
    switch (type) {
      case kCellRk: text = format.Format(RkValue(b.U32()), date1904); break;
      case kCellReal:
      case kFormulaNumber: text = format.Format(b.F64(), date1904); break;
      case kCellBool:
      case kFormulaBool: text = b.U8() ? "TRUE" : "FALSE"; break;
      case kCellError:
      case kFormulaError: text = ErrorText(b.U8()); break;
      case kCellString:
      case kFormulaString: text = format.FormatText(b.Wide()); break;
      case kCellRichString: text = format.FormatText(b.Rich()); break;
      case kCellSharedString: {
        const std::uint32_t index = b.U32();
        if (index < strings.size()) text = format.FormatText(strings[index]);
        break;
      }
      default: break;  // a blank cell: formatting only
    }
    if (!b.short_read()) row.Cell(static_cast<int>(col), std::move(text));
  }
  row.End();
  if (r.damaged()) *error = Damaged(part);
  return !r.damaged();
}

}  // namespace xlsb

class XlsbFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    ExtractResult result;
    auto zip = ooxml::OpenPackage(path, "xlsb", sink, &result);
    if (!zip) return result;
    const std::string main = ooxml::MainPart(*zip, "xl/workbook.bin");
    if (!zip->Has(main)) return ExtractResult::UnknownFormat("a zip file without a workbook part");
    if (zip->IsEncrypted(main)) return ExtractResult::Password();

    std::string error;
    ooxml::Relationships rels;
    if (!rels.Load(*zip, main, &error)) return ExtractResult::Failed(error);
    std::string problems = zip->damage();
    auto note = [&](const std::string& why) {
      if (!problems.empty()) problems += "; ";
      problems += why;
    };

    std::vector<Sheet> sheets;
    bool date1904 = false;
    {
      std::string data;
      if (!zip->Read(main, data, &error)) return ExtractResult::Failed(error);
      xlsb::Records r(data);
      while (r.Next()) {
        xlsb::Body b(r.body());
        if (r.type() == xlsb::kWorkbookProperties) {
          date1904 = (b.U32() & 1) != 0;
        } else if (r.type() == xlsb::kSheet) {
          b.U32();  // shown or hidden
          b.U32();  // tab id
          const std::string rel_id = b.Wide();
          std::string name = b.Wide();
          const ooxml::Relationship* rel = rels.ById(rel_id);
          sheets.push_back({std::move(name), rel && !rel->external ? rel->target : std::string()});
        }
      }
      if (r.damaged()) note(xlsb::Damaged(main));
    }
    if (sheets.empty() && !problems.empty()) return ExtractResult::Failed(problems);

    std::vector<std::string> strings;
    if (const ooxml::Relationship* r = rels.FirstOfKind("sharedStrings"); r && zip->Has(r->target))
      if (!xlsb::ReadSharedStrings(*zip, r->target, strings, &error)) note(error);
    Styles styles;
    if (const ooxml::Relationship* r = rels.FirstOfKind("styles"); r && zip->Has(r->target))
      if (!xlsb::ReadStyles(*zip, r->target, styles, &error)) note(error);

    return ReadSheets(
        *zip, sheets, sink, note, problems,
        [&](const std::string& part) {
          if (!xlsb::ReadSheet(*zip, part, strings, styles, date1904, sink, &error)) note(error);
        },
        xlsb::ReadComments);
  }
};
}  // namespace

std::unique_ptr<BuiltinFilter> CreateXlsxFilter() { return std::make_unique<XlsxFilter>(); }

std::unique_ptr<BuiltinFilter> CreateXlsbFilter() { return std::make_unique<XlsbFilter>(); }

}  // namespace quarn

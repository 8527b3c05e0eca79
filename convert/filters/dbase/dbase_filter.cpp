#include "convert/filters/dbase/dbase_filter.h"

#include <fcntl.h>
#include <shapefil.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/file_bytes.h"
#include "convert/filters/common/item_lines.h"
#include "convert/filters/common/text_decode.h"

namespace quarn {

namespace {

// A memo longer than this is damaged or hostile (FoxPro caps memos far lower
// in practice); the limit also bounds a dBASE III memo that never ends.
constexpr std::uint32_t kMaxMemoBytes = 16u << 20;
// Text of this many records is decoded and handed on at a time.
constexpr int kRecordsPerBlock = 1024;
// The character set of a table that names none is found from the text of
// its first records, up to this many bytes.
constexpr std::size_t kSampleBytes = 256 << 10;

// The first byte names the program that wrote the table (and whether it
// has a memo file); a date of the last change and the lengths follow.
struct Header {
  unsigned version = 0;
  unsigned header_length = 0;
  unsigned record_length = 0;
  unsigned language_driver = 0;
};

std::optional<Header> ReadHeader(int fd, std::uint64_t size) {
  unsigned char h[32];
  if (size < 65 || !ReadAt(fd, 0, h, sizeof h)) return std::nullopt;
  static constexpr std::array<unsigned, 17> kVersions = {0x02, 0x03, 0x04, 0x05, 0x30, 0x31, 0x32, 0x43, 0x63,
                                                         0x7B, 0x83, 0x8B, 0x8E, 0xCB, 0xE5, 0xF5, 0xFB};
  Header r;
  r.version = h[0];
  if (std::find(kVersions.begin(), kVersions.end(), r.version) == kVersions.end()) return std::nullopt;
  const bool no_date = h[2] == 0 && h[3] == 0;
  if (!no_date && (h[2] < 1 || h[2] > 12 || h[3] < 1 || h[3] > 31)) return std::nullopt;
  r.header_length = Le16(h + 8);
  r.record_length = Le16(h + 10);
  r.language_driver = h[29];
  // At least one field's 32-byte description and the end of the list.
  if (r.header_length < 65 || r.header_length > size || r.record_length < 2) return std::nullopt;
  return r;
}

// The character set a language driver byte stands for; empty when it names
// none (most dBASE III tables) or the writer's "current ANSI" code page.
std::string LanguageDriverCharset(unsigned id) {
  struct Driver {
    unsigned id;
    const char* charset;
  };
  static constexpr Driver kDrivers[] = {
      {0x01, "CP437"},        {0x09, "CP437"},        {0x0B, "CP437"},
      {0x0D, "CP437"},        {0x0F, "CP437"},        {0x11, "CP437"},
      {0x15, "CP437"},        {0x18, "CP437"},        {0x19, "CP437"},
      {0x1B, "CP437"},        {0x02, "CP850"},        {0x0A, "CP850"},
      {0x0E, "CP850"},        {0x10, "CP850"},        {0x12, "CP850"},
      {0x14, "CP850"},        {0x16, "CP850"},        {0x1A, "CP850"},
      {0x1D, "CP850"},        {0x25, "CP850"},        {0x37, "CP850"},
      {0x03, "WINDOWS-1252"}, {0x58, "WINDOWS-1252"}, {0x59, "WINDOWS-1252"},
      {0x04, "MACINTOSH"},    {0x08, "CP865"},        {0x17, "CP865"},
      {0x66, "CP865"},        {0x13, "CP932"},        {0x7B, "CP932"},
      {0x1C, "CP863"},        {0x6C, "CP863"},        {0x1F, "CP852"},
      {0x22, "CP852"},        {0x23, "CP852"},        {0x40, "CP852"},
      {0x64, "CP852"},        {0x24, "CP860"},        {0x26, "CP866"},
      {0x65, "CP866"},        {0x4D, "CP936"},        {0x7A, "CP936"},
      {0x4E, "CP949"},        {0x79, "CP949"},        {0x4F, "CP950"},
      {0x78, "CP950"},        {0x50, "CP874"},        {0x7C, "CP874"},
      {0x67, "CP861"},        {0x6A, "CP737"},        {0x6B, "CP857"},
      {0x7D, "WINDOWS-1255"}, {0x7E, "WINDOWS-1256"}, {0x97, "MAC-CENTRALEUROPE"},
      {0xC8, "WINDOWS-1250"}, {0xC9, "WINDOWS-1251"}, {0xCA, "WINDOWS-1254"},
      {0xCB, "WINDOWS-1253"}, {0xCC, "WINDOWS-1257"},
  };
  for (const Driver& d : kDrivers)
    if (d.id == id) return d.charset;
  return {};
}

// The character set a .cpg file beside a shapefile's table names: "UTF-8",
// "1252", "ANSI 1251", "88591", "CP866", or another label.
std::string CodePageFileCharset(std::string label) {
  while (!label.empty() && static_cast<unsigned char>(label.back()) <= ' ') label.pop_back();
  std::string upper = LowerAscii(label);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (upper.starts_with("ANSI ")) upper = upper.substr(5);
  if (!upper.empty() && upper.find_first_not_of("0123456789") == std::string::npos) {
    const int n = std::atoi(upper.c_str());
    if (n >= 1250 && n <= 1258) return "WINDOWS-" + upper;
    if (upper.starts_with("8859") && upper.size() > 4) return "ISO-8859-" + upper.substr(4);
    return CharsetForLabel("CP" + upper);
  }
  return CharsetForLabel(label);
}

// The memo file beside a table: dBASE III's (.dbt, memos ended by 0x1A),
// dBASE IV's (.dbt, memos after a length) or FoxPro's (.fpt, blocks of a
// type and a length).
class MemoFile {
 public:
  enum class Kind { kDbase3, kDbase4, kFox };

  // Looks for the memo file of the table at path; false when there is none.
  bool Open(const std::string& path, unsigned version) {
    const std::filesystem::path table(path);
    const bool fox = version == 0xF5 || version == 0x30 || version == 0x31 || version == 0x32 || version == 0xFB;
    std::vector<std::string> names;
    for (const char* ext :
         fox ? std::array{".fpt", ".FPT", ".dbt", ".DBT"} : std::array{".dbt", ".DBT", ".fpt", ".FPT"})
      names.push_back(std::filesystem::path(table).replace_extension(ext).string());
    expected_ = std::filesystem::path(names.front()).filename().string();
    for (const std::string& name : names) {
      Fd f(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
      struct stat st {};
      if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) continue;
      size_ = static_cast<std::uint64_t>(st.st_size);
      std::swap(fd_.fd, f.fd);
      unsigned char head[32] = {};
      ReadAt(fd_.fd, 0, head, std::min<std::uint64_t>(sizeof head, size_));
      const bool fpt = name.ends_with(".fpt") || name.ends_with(".FPT");
      if (fpt) {
        kind_ = Kind::kFox;
        block_ = Be16(head + 6);
        if (block_ == 0) block_ = 64;
      } else {
        // dBASE IV keeps its block size in the header; III always uses 512.
        kind_ = version == 0x8B || version == 0xCB || version == 0x8E ? Kind::kDbase4 : Kind::kDbase3;
        block_ = kind_ == Kind::kDbase4 && Le16(head + 20) != 0 ? Le16(head + 20) : 512;
      }
      return true;
    }
    return false;
  }

  // The file's name that was looked for, for the reason when it is missing.
  const std::string& expected() const { return expected_; }

  // The text of the memo at block, or nullopt when it is no text (a picture,
  // an OLE object) or lies outside the file.
  std::optional<std::string> Read(std::uint32_t block) const {
    const std::uint64_t at = static_cast<std::uint64_t>(block) * block_;
    if (fd_.fd < 0 || block == 0 || at >= size_) return std::nullopt;
    unsigned char head[8];
    const bool headed = at + sizeof head <= size_ && ReadAt(fd_.fd, at, head, sizeof head);
    if (kind_ == Kind::kFox) {
      if (!headed || Be32(head) != 1) return std::nullopt;  // 0: picture, 2: object
      return Bytes(at + 8, Be32(head + 4));
    }
    if (kind_ == Kind::kDbase4 && headed && head[0] == 0xFF && head[1] == 0xFF && head[2] == 0x08 && head[3] == 0) {
      const std::uint32_t length = Le32(head + 4);
      return length < 8 ? std::string() : Bytes(at + 8, length - 8);
    }
    // dBASE III: the memo runs to its end mark.
    std::string text;
    char piece[4096];
    for (std::uint64_t pos = at; pos < size_ && text.size() < kMaxMemoBytes;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof piece, size_ - pos));
      if (!ReadAt(fd_.fd, pos, piece, n)) break;
      const std::string_view got(piece, n);
      if (const std::size_t end = got.find('\x1A'); end != std::string_view::npos) {
        text.append(got.substr(0, end));
        break;
      }
      text.append(got);
      pos += n;
    }
    return text;
  }

 private:
  std::optional<std::string> Bytes(std::uint64_t at, std::uint32_t length) const {
    if (length > kMaxMemoBytes || at + length > size_) return std::nullopt;
    std::string s(length, '\0');
    if (length > 0 && !ReadAt(fd_.fd, at, s.data(), length)) return std::nullopt;
    return s;
  }

  Fd fd_;
  std::uint64_t size_ = 0;
  Kind kind_ = Kind::kDbase3;
  std::uint32_t block_ = 512;
  std::string expected_;
};

// Currency, kept in ten-thousandths: two decimals unless the others count.
std::string Currency(std::int64_t v) {
  const bool negative = v < 0;
  const std::uint64_t m = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::string fraction = std::to_string(m % 10000);
  fraction.insert(0, 4 - fraction.size(), '0');
  if (fraction.ends_with("00")) fraction.resize(2);
  return (negative ? "-" : "") + std::to_string(m / 10000) + "." + fraction;
}

// A Julian day number as a date.
std::string JulianDate(std::int64_t jd) {
  std::int64_t l = jd + 68569;
  const std::int64_t n = 4 * l / 146097;
  l -= (146097 * n + 3) / 4;
  const std::int64_t i = 4000 * (l + 1) / 1461001;
  l = l - 1461 * i / 4 + 31;
  const std::int64_t j = 80 * l / 2447;
  const std::int64_t day = l - 2447 * j / 80;
  l = j / 11;
  const std::int64_t month = j + 2 - 12 * l;
  const std::int64_t year = 100 * (n - 49) + i + l;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld", static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day));
  return buf;
}

struct Field {
  std::string name;
  char type = 'C';
  int offset = 0;
  int width = 0;
};

class DbaseFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::uint64_t size = 0;
    std::optional<Header> header;
    {
      Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      struct stat st {};
      if (f.fd < 0 || ::fstat(f.fd, &st) != 0) return ExtractResult::Failed("the table cannot be opened");
      size = static_cast<std::uint64_t>(st.st_size);
      header = ReadHeader(f.fd, size);
    }
    if (!header) return ExtractResult::UnknownFormat("not a dBASE table");
    SAHooks hooks;
    SASetupDefaultHooks(&hooks);
    hooks.Error = [](const char*) {};  // said through the result instead
    struct Close {
      void operator()(DBFInfo* h) const { DBFClose(h); }
    };
    const std::unique_ptr<DBFInfo, Close> table(DBFOpenLL(path.c_str(), "rb", &hooks));
    if (!table) return ExtractResult::Failed("the table is damaged: its list of fields cannot be read");

    std::vector<Field> fields;
    bool memos = false;
    for (int i = 0; i < table->nFields; ++i) {
      Field f;
      f.type = table->pachFieldType[i];
      f.offset = table->panFieldOffset[i];
      f.width = table->panFieldSize[i];
      if (f.type == '0' || f.offset < 0 || f.width <= 0 || f.offset + f.width > table->nRecordLength) continue;
      char name[XBASE_FLDNAME_LEN_READ + 1] = {};
      int width = 0, decimals = 0;
      DBFGetFieldInfo(table.get(), i, name, &width, &decimals);
      f.name = CellOnOneLine(name);
      memos = memos || f.type == 'M';
      fields.push_back(std::move(f));
    }
    if (fields.empty()) return ExtractResult::Failed("the table is damaged: it has no fields");

    std::vector<std::string> reasons;
    const std::uint64_t stored =
        (size - std::min<std::uint64_t>(size, table->nHeaderLength)) / static_cast<std::uint64_t>(table->nRecordLength);
    int records = table->nRecords < 0 ? 0 : table->nRecords;
    if (static_cast<std::uint64_t>(records) > stored) {
      reasons.push_back("the table is cut short: " + std::to_string(stored) + " of its " + std::to_string(records) +
                        " records are there");
      records = static_cast<int>(stored);
    }
    MemoFile memo;
    if (memos && !memo.Open(path, header->version))
      reasons.push_back("its memo file \"" + memo.expected() + "\" is not beside it: the memo fields are left out");

    std::string charset;
    if (table->pszCodePage && std::string_view(table->pszCodePage).starts_with("LDID/"))
      charset = LanguageDriverCharset(static_cast<unsigned>(std::atoi(table->pszCodePage + 5)));
    else if (table->pszCodePage)
      charset = CodePageFileCharset(table->pszCodePage);
    if (charset.empty()) charset = Detect(table.get(), fields, records);

    TextDecoder decoder(charset);
    std::vector<std::string> cells;
    for (const Field& f : fields) cells.push_back(f.name);
    std::string raw = TabRow(cells) + '\n', text;
    bool damaged = false;
    for (int r = 0; r < records && !sink.full(); ++r) {
      const char* record = DBFReadTuple(table.get(), r);
      if (!record) {
        damaged = true;
        break;
      }
      if (record[0] == '*') continue;  // deleted
      for (std::size_t i = 0; i < fields.size(); ++i)
        cells[i] = Value(fields[i], record + fields[i].offset, header->version, memo);
      const std::string line = TabRow(cells);
      if (line.empty()) continue;
      raw += line;
      raw += '\n';
      if ((r + 1) % kRecordsPerBlock == 0) Flush(decoder, raw, text, sink);
    }
    Flush(decoder, raw, text, sink);
    decoder.Finish(text);
    sink.Append(text);
    if (damaged) reasons.push_back("the table is damaged: a record cannot be read");
    return ExtractResult::PartlyRead(reasons);
  }

 private:
  static void Flush(TextDecoder& decoder, std::string& raw, std::string& text, TextSink& sink) {
    decoder.Decode(raw, text);
    raw.clear();
    sink.Append(text);
    text.clear();
  }

  // The character set of a table that names none, from its text fields.
  static std::string Detect(DBFInfo* table, const std::vector<Field>& fields, int records) {
    std::string sample;
    for (int r = 0; r < records && sample.size() < kSampleBytes; ++r) {
      const char* record = DBFReadTuple(table, r);
      if (!record) break;
      for (const Field& f : fields)
        if (f.type == 'C') {
          sample += CellOnOneLine(std::string_view(record + f.offset, static_cast<std::size_t>(f.width)));
          sample += '\n';
        }
    }
    MemorySource source(sample);
    const CharsetGuess guess = DetectCharset(source);
    return guess.binary || guess.charset.empty() ? "WINDOWS-1252" : guess.charset;
  }

  // One field's value as text in the table's code page.
  static std::string Value(const Field& f, const char* bytes, unsigned version, const MemoFile& memo) {
    const auto* u = reinterpret_cast<const unsigned char*>(bytes);
    const std::string_view raw(bytes, static_cast<std::size_t>(f.width));
    const bool visual_fox = version == 0x30 || version == 0x31 || version == 0x32;
    switch (f.type) {
      case 'C':
      case 'N':
      case 'F':
        return CellOnOneLine(raw);
      case 'V': {
        // Visual FoxPro keeps a shorter value's length in the last byte.
        const unsigned last = u[f.width - 1];
        return CellOnOneLine(last < static_cast<unsigned>(f.width) && last < 0x20 ? raw.substr(0, last) : raw);
      }
      case 'D': {
        const std::string d = CellOnOneLine(raw);
        if (d.size() == 8 && d.find_first_not_of("0123456789") == std::string::npos)
          return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
        return d;
      }
      case 'L':
        if (std::string_view("TtYy").find(raw.front()) != std::string_view::npos) return "Yes";
        if (std::string_view("FfNn").find(raw.front()) != std::string_view::npos) return "No";
        return {};  // "?": not set
      case 'M': {
        std::uint32_t block = 0;
        if (f.width == 4) {
          block = Le32(u);
        } else {
          const std::string digits = CellOnOneLine(raw);
          if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return {};
          block = static_cast<std::uint32_t>(std::strtoul(digits.c_str(), nullptr, 10));
        }
        const std::optional<std::string> text = memo.Read(block);
        return text ? CellOnOneLine(*text) : std::string();
      }
      case 'I':
        return f.width == 4 ? std::to_string(static_cast<std::int32_t>(Le32(u))) : std::string();
      case '+':
        // dBASE 7's autoincrement: big-endian with its sign bit flipped.
        return f.width == 4 ? std::to_string(static_cast<std::int32_t>(Be32(u) ^ 0x80000000u)) : std::string();
      case 'Y':
        if (f.width != 8) return {};
        return Currency(static_cast<std::int64_t>(static_cast<std::uint64_t>(Le32(u + 4)) << 32 | Le32(u)));
      case 'B':
        if (!visual_fox || f.width != 8) return {};  // dBASE's binary memo
        [[fallthrough]];
      case 'O': {
        if (f.width != 8) return {};
        std::uint64_t bits = 0;
        if (f.type == 'B') {
          bits = static_cast<std::uint64_t>(Le32(u + 4)) << 32 | Le32(u);
        } else {
          // dBASE 7 stores doubles big-endian, ordered as they sort.
          bits = static_cast<std::uint64_t>(Be32(u)) << 32 | Be32(u + 4);
          bits = (bits >> 63) != 0 ? bits & ~(std::uint64_t{1} << 63) : ~bits;
        }
        double v = 0;
        std::memcpy(&v, &bits, sizeof v);
        return NumberCell(v);
      }
      case 'T': {
        if (f.width != 8) return {};
        const std::uint32_t day = Le32(u), ms = Le32(u + 4);
        if (day == 0) return {};
        std::string s = JulianDate(day);
        if (ms != 0 && ms < 86400000u) {
          char t[16];
          std::snprintf(t, sizeof t, " %02u:%02u:%02u", ms / 3600000u, ms / 60000u % 60, ms / 1000u % 60);
          s += t;
        }
        return s;
      }
      default:
        return {};  // pictures, OLE objects, binary data
    }
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateDbaseFilter() { return std::make_unique<DbaseFilter>(); }

}  // namespace quarn

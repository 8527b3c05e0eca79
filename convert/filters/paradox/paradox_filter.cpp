#include "convert/filters/paradox/paradox_filter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filter.h"
#include "convert/filters/common/file_bytes.h"
#include "convert/filters/common/item_lines.h"
#include "convert/filters/common/text_decode.h"

// The library's header declares C functions without saying so.
extern "C" {
#include <paradox.h>
}

namespace quarn {

namespace {

// Text of this many records is decoded and handed on at a time.
constexpr int kRecordsPerBlock = 1024;
// The character set of a table that names none is found from the text of
// its first records, up to this many bytes.
constexpr std::size_t kSampleBytes = 256 << 10;
// Days from the first of January of the year 1 to the start of the Julian
// day count's day numbers, as Paradox counts dates.
constexpr long kFirstDay = 1721425;
constexpr double kMsPerDay = 86400000.0;

// What the table's header says, checked before the library reads it: the
// sizes and kinds a Paradox table can have.  A file under the name that is
// none (a thumbnail cache, another database) fails here.
struct Header {
  unsigned record_size = 0;
  unsigned header_size = 0;
  unsigned fields = 0;
  unsigned block_size = 0;
  unsigned first_block = 0;  // 0: the table has no data blocks
  bool encrypted = false;
};

std::optional<Header> ReadHeader(int fd, std::uint64_t size) {
  // The common header and the part Paradox 4 and later add: 0x78 bytes.
  unsigned char h[0x78] = {};
  if (size < sizeof h || ::pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return std::nullopt;
  Header r;
  r.record_size = Le16(h);
  r.header_size = Le16(h + 2);
  const unsigned type = h[4], block_kb = h[5], version = h[0x39];
  r.fields = Le16(h + 0x21);
  const bool sizes = block_kb == 1 || block_kb == 2 || block_kb == 3 || block_kb == 4 || block_kb == 8 ||
                     block_kb == 16 || block_kb == 32;
  if ((type != 0 && type != 2) || !sizes || version < 3 || version > 12 || r.fields == 0 || r.fields > 255 ||
      r.record_size == 0 || r.header_size < sizeof h || r.header_size > size)
    return std::nullopt;
  r.block_size = block_kb * 1024u;
  r.first_block = Le16(h + 0x0E);
  // A password's key: in the first part of the header, or (Paradox 4 and
  // later, which mark the first place 0xFF00FF00) in the second.
  const std::uint32_t key = Le32(h + 0x25), later_key = version >= 5 ? Le32(h + 0x5C) : 0;
  r.encrypted = (key != 0 && key != 0xFF00FF00u) || later_key != 0;
  return r;
}

// Whether the chain of data blocks from the first is whole: each block in
// the file, none twice.  The library follows it without such checks, and a
// damaged chain sends it round for ever.
bool BlocksChained(int fd, std::uint64_t size, const Header& header) {
  const std::uint64_t blocks = (size - header.header_size) / header.block_size;
  std::vector<bool> seen(static_cast<std::size_t>(std::min<std::uint64_t>(blocks, 0x10000)) + 1);
  for (unsigned block = header.first_block; block != 0;) {
    if (block > blocks || seen[block]) return false;
    seen[block] = true;
    unsigned char head[6];
    const std::uint64_t at = header.header_size + static_cast<std::uint64_t>(block - 1) * header.block_size;
    if (!ReadAt(fd, at, head, sizeof head)) return false;
    block = Le16(head);
  }
  return true;
}

// The table's records in the order of its chain of data blocks (which
// BlocksChained checked), a block read at a time: each block begins with
// the next one's number, the previous one's, and the size of its records
// past the first.  False when a block cannot be read or each returns false.
template <typename Each>
bool ForEachRecord(int fd, const Header& header, unsigned record_size, Each each) {
  std::vector<char> block(header.block_size);
  const std::size_t room = (header.block_size - 6) / record_size;
  for (unsigned number = header.first_block; number != 0;) {
    const std::uint64_t at = header.header_size + static_cast<std::uint64_t>(number - 1) * header.block_size;
    if (!ReadAt(fd, at, block.data(), block.size())) return false;
    const auto* head = reinterpret_cast<const unsigned char*>(block.data());
    const auto more = static_cast<std::int16_t>(Le16(head + 4));
    const std::size_t records = more < 0 ? 0 : std::min<std::size_t>(more / record_size + 1, room);
    for (std::size_t r = 0; r < records; ++r)
      if (!each(block.data() + 6 + r * record_size)) return true;
    number = Le16(head);
  }
  return true;
}

// The character set of a code page number as the table keeps it (437,
// 850, 1252, ...); empty for none.
std::string CodePageCharset(int page) {
  if (page >= 1250 && page <= 1258) return "WINDOWS-" + std::to_string(page);
  if (page == 10000) return "MACINTOSH";
  if (page > 0 && page < 1000) return "CP" + std::to_string(page);
  return {};
}

std::string Date(long days) {
  int year = 0, month = 0, day = 0;
  PX_SdnToGregorian(days + kFirstDay, &year, &month, &day);
  if (year <= 0 || month <= 0 || day <= 0) return {};
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
  return buf;
}

std::string Time(long ms) {
  if (ms < 0 || ms >= 86400000L) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", ms / 3600000L, ms / 60000L % 60, ms / 1000L % 60);
  return buf;
}

// A memo longer than this is damaged or hostile.
constexpr std::uint32_t kMaxMemoBytes = 16u << 20;

// The memo file beside a table (.mb), read here: memos are kept in 4 KiB
// blocks, a long one in blocks of its own, short ones several to a block
// with a table of where each lies.  A record's memo field ends with ten
// bytes that place its memo: the block's offset with the memo's slot in
// the low byte (0xFF: the memo has blocks of its own), its length, and a
// number of changes.
class MemoFile {
 public:
  bool Open(const std::string& name) {
    file_.fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (file_.fd < 0 || ::fstat(file_.fd, &st) != 0) return false;
    size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  // The memo the ten bytes at place name; nullopt when it cannot be read.
  std::optional<std::string> Read(const unsigned char* place) const {
    const std::uint32_t where = Le32(place), length = Le32(place + 4);
    if (length == 0) return std::string();
    if (length > kMaxMemoBytes) return std::nullopt;
    const std::uint64_t block = where & ~0xFFu;
    const unsigned slot = where & 0xFFu;
    std::uint64_t start = 0;
    std::uint32_t size = 0;
    if (slot == 0xFF) {
      unsigned char head[9];
      if (!ReadAt(file_.fd, block, head, sizeof head) || head[0] != 2) return std::nullopt;
      start = block + sizeof head;
      size = std::min(length, Le32(head + 3));
    } else {
      unsigned char head[12], entry[5];
      if (slot >= 64 || !ReadAt(file_.fd, block, head, sizeof head) || head[0] != 3 ||
          !ReadAt(file_.fd, block + 12 + 5 * slot, entry, sizeof entry) || entry[1] == 0)
        return std::nullopt;
      start = block + 16u * entry[0];
      size = (entry[1] - 1u) * 16u + entry[4];
      if (16u * entry[0] + size > 4096u) return std::nullopt;
    }
    if (start > size_ || size > size_ - start) return std::nullopt;
    std::string memo(size, '\0');
    if (size > 0 && !ReadAt(file_.fd, start, memo.data(), size)) return std::nullopt;
    return memo;
  }

 private:
  Fd file_;
  std::uint64_t size_ = 0;
};

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// The library's own handle, freed on every path.
struct DocDelete {
  void operator()(pxdoc_t* p) const {
    PX_close(p);
    PX_delete(p);
  }
};
using Doc = std::unique_ptr<pxdoc_t, DocDelete>;

// What the library says goes with the result, not to standard error.
void OnLibraryMessage(pxdoc_t*, int, const char* message, void*) {
  if (message) NoteLibraryMessage(message);
}

class ParadoxFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::optional<Header> header;
    bool chained = false;
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (struct stat st {}; fd.fd >= 0 && ::fstat(fd.fd, &st) == 0) {
      header = ReadHeader(fd.fd, static_cast<std::uint64_t>(st.st_size));
      chained = header && BlocksChained(fd.fd, static_cast<std::uint64_t>(st.st_size), *header);
    }
    if (!header) return ExtractResult::UnknownFormat("not a Paradox table");
    // An encrypted table's blocks are read only through its password's key
    // (which the library would guess from a damaged header for ever).
    if (header->encrypted) return ExtractResult::Password();
    if (!chained) return ExtractResult::Failed("the table is damaged: its chain of data blocks is broken");
    if (header->first_block == 0) return ExtractResult::Ok();  // no data blocks: no records
    // Opened here, for reading only: the library's own opening asks to
    // write.  Closed after the library's handle, which reads through it.
    const File table(std::fopen(path.c_str(), "rbe"));
    if (!table) return ExtractResult::Failed("the table cannot be opened");
    Doc doc(PX_new2(OnLibraryMessage, nullptr, nullptr, nullptr));
    if (!doc) throw std::bad_alloc();
    // Its warnings (damage it reads past) would go to standard error.
    doc->warnings = px_false;
    if (PX_open_fp(doc.get(), table.get()) < 0)
      return ExtractResult::Failed("the table is damaged: its header cannot be read");
    pxdoc_t* px = doc.get();
    const int count = PX_get_num_fields(px);
    const int record_size = PX_get_recordsize(px);
    pxfield_t* fields = PX_get_fields(px);
    int sum = 0;
    for (int i = 0; fields && i < count; ++i) sum += fields[i].px_flen > 0 ? fields[i].px_flen : 0;
    if (!fields || count <= 0 || record_size <= 0 || sum != record_size)
      return ExtractResult::Failed("the table is damaged: its list of fields does not fit its records");

    std::vector<std::string> reasons;
    bool memos = false;
    for (int i = 0; i < count; ++i)
      memos = memos || fields[i].px_ftype == pxfMemoBLOb || fields[i].px_ftype == pxfFmtMemoBLOb;
    // The library's reading of memo files overruns its own buffer: they
    // are read here.
    MemoFile memo;
    bool memo_file = false;
    if (memos) {
      // The memo file is the table's side file (found, in either case, as
      // the converter is given it).
      const std::vector<std::string> beside = SideFiles(path);
      memo_file = !beside.empty() && memo.Open(beside.front());
      if (!memo_file)
        reasons.push_back("its memo file \"" + MemoName(path) +
                          "\" is not beside it: only the start of each memo is read");
    }

    std::string charset = CodePageCharset(px->px_head->px_doscodepage);
    std::unique_ptr<TextDecoder> decoder;
    try {
      if (!charset.empty()) decoder = std::make_unique<TextDecoder>(charset);
    } catch (const std::runtime_error&) {
      // A code page the system cannot decode: found from the bytes instead.
    }
    if (!decoder)
      decoder = std::make_unique<TextDecoder>(Detect(fd.fd, *header, static_cast<unsigned>(record_size), fields, count));

    std::vector<std::string> cells;
    for (int i = 0; i < count; ++i) cells.push_back(CellOnOneLine(fields[i].px_fname ? fields[i].px_fname : ""));
    const std::string names = TabRow(cells);
    std::string raw, text;
    bool started = false, memo_lost = false;
    std::size_t done = 0;
    // The library finds a record by its number through a list of blocks it
    // searches from the start each time: the blocks are read here, in order,
    // and only each field's value is the library's to decode.
    const bool whole = ForEachRecord(fd.fd, *header, static_cast<unsigned>(record_size), [&](char* record) {
      if (sink.full()) return false;
      int offset = 0;
      for (int i = 0; i < count; ++i) {
        cells[i] = Value(px, fields[i], record + offset, memo_file ? &memo : nullptr, &memo_lost);
        offset += fields[i].px_flen;
      }
      const std::string line = TabRow(cells);
      if (line.empty()) return true;
      // The field names come with the first record: a table without
      // records is no text.
      if (!started) {
        raw += names + '\n';
        started = true;
      }
      raw += line;
      raw += '\n';
      if (++done % kRecordsPerBlock == 0) Flush(*decoder, raw, text, sink);
      return true;
    });
    Flush(*decoder, raw, text, sink);
    decoder->Finish(text);
    sink.Append(text);
    if (!whole) reasons.push_back("the table is damaged: a record cannot be read");
    if (memo_lost) reasons.push_back("the memo file is damaged: only the start of some memos is read");
    return ExtractResult::PartlyRead(reasons);
  }

 private:
  // The name the memo file beside path would have: "name.mb".
  static std::string MemoName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    return std::string(name.substr(0, name.size() - ExtensionOf(name).size())) + ".mb";
  }

  static void Flush(TextDecoder& decoder, std::string& raw, std::string& text, TextSink& sink) {
    decoder.Decode(raw, text);
    raw.clear();
    sink.Append(text);
    text.clear();
  }

  // The character set of a table whose code page cannot be used, from its
  // text fields.
  static std::string Detect(int fd, const Header& header, unsigned record_size, pxfield_t* fields, int count) {
    std::string sample;
    ForEachRecord(fd, header, record_size, [&](const char* record) {
      int offset = 0;
      for (int i = 0; i < count; ++i) {
        if (fields[i].px_ftype == pxfAlpha) {
          sample += CellOnOneLine(std::string_view(record + offset, static_cast<std::size_t>(fields[i].px_flen)));
          sample += '\n';
        }
        offset += fields[i].px_flen;
      }
      return sample.size() < kSampleBytes;
    });
    MemorySource source(sample);
    const CharsetGuess guess = DetectCharset(source);
    return guess.binary || guess.charset.empty() ? "WINDOWS-1252" : guess.charset;
  }

  // A string the library made, as text, freed by the library.
  static std::string Take(pxdoc_t* px, char* value, std::size_t size) {
    if (!value) return {};
    std::string s(value, size);
    px->free(px, value);
    return s;
  }

  // One field's value as text in the table's code page.
  static std::string Value(pxdoc_t* px, const pxfield_t& f, char* data, const MemoFile* memo, bool* memo_lost) {
    // A blank field is all zero bytes.  Checked here: the library reads a
    // long integer's four bytes as eight to tell, and then takes the next
    // field's bytes for a value.
    if (f.px_flen <= 0 || std::all_of(data, data + f.px_flen, [](char c) { return c == 0; })) return {};
    switch (f.px_ftype) {
      case pxfAlpha: {
        char* value = nullptr;
        if (PX_get_data_alpha(px, data, f.px_flen, &value) <= 0) return {};
        return CellOnOneLine(Take(px, value, std::strlen(value)));
      }
      case pxfDate: {
        long days = 0;
        return PX_get_data_long(px, data, 4, &days) > 0 && days > 0 ? Date(days) : std::string();
      }
      case pxfShort: {
        short v = 0;
        return PX_get_data_short(px, data, 2, &v) > 0 ? std::to_string(v) : std::string();
      }
      case pxfLong:
      case pxfAutoInc: {
        long v = 0;
        return PX_get_data_long(px, data, 4, &v) > 0 ? std::to_string(v) : std::string();
      }
      case pxfCurrency: {
        double v = 0;
        if (PX_get_data_double(px, data, 8, &v) <= 0 || !std::isfinite(v)) return {};
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.2f", v);
        return buf;
      }
      case pxfNumber: {
        double v = 0;
        return PX_get_data_double(px, data, 8, &v) > 0 && std::isfinite(v) ? NumberCell(v) : std::string();
      }
      case pxfLogical: {
        char v = 0;
        if (PX_get_data_byte(px, data, 1, &v) <= 0) return {};
        return v ? "Yes" : "No";
      }
      case pxfTime: {
        long ms = 0;
        return PX_get_data_long(px, data, 4, &ms) > 0 ? Time(ms) : std::string();
      }
      case pxfTimestamp: {
        double ms = 0;
        if (PX_get_data_double(px, data, 8, &ms) <= 0 || !std::isfinite(ms) || ms <= 0 || ms > 1e15) return {};
        const double days = std::floor(ms / kMsPerDay);
        std::string s = Date(static_cast<long>(days));
        const long rest = static_cast<long>(ms - days * kMsPerDay);
        if (!s.empty() && rest > 0) s += " " + Time(rest);
        return s;
      }
      case pxfBCD: {
        char* value = nullptr;
        if (PX_get_data_bcd(px, reinterpret_cast<unsigned char*>(data), f.px_fdc, &value) <= 0) return {};
        return Take(px, value, std::strlen(value));
      }
      case pxfMemoBLOb:
      case pxfFmtMemoBLOb: {
        // The record keeps a memo's first bytes, then ten bytes that place
        // the rest in the memo file.
        if (f.px_flen <= 10) return {};
        const auto lead_size = static_cast<std::size_t>(f.px_flen - 10);
        const auto* place = reinterpret_cast<const unsigned char*>(data) + lead_size;
        const std::uint32_t length = Le32(place + 4);
        // A memo that fits is all in the record.
        if (length <= lead_size) return CellOnOneLine(std::string_view(data, length));
        if (memo) {
          if (std::optional<std::string> text = memo->Read(place)) return CellOnOneLine(*text);
          *memo_lost = true;
        }
        return CellOnOneLine(std::string_view(data, lead_size));
      }
      default:
        return {};  // pictures, OLE objects, binary data
    }
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateParadoxFilter() { return std::make_unique<ParadoxFilter>(); }

}  // namespace quarn

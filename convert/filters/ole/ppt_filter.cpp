#include "convert/filters/ole/ppt_filter.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "convert/filters/ole/office_crypt.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/ole/ppt_text.h"
#include "convert/charset.h"
#include "convert/filters/members.h"
#include "convert/filters/common/scanned_pictures.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Record types of the PowerPoint binary format that carry or locate text.
enum : uint16_t {
  kDocument = 0x03E8,
  kSlide = 0x03EE,
  kNotes = 0x03F0,
  kNotesAtom = 0x03F1,
  kSlidePersistAtom = 0x03F3,
  kMainMaster = 0x03F8,
  kTextCharsAtom = 0x0FA0,
  kTextBytesAtom = 0x0FA8,
  kCString = 0x0FBA,
  kHeadersFooters = 0x0FD9,
  kSlideListWithText = 0x0FF0,
  kUserEditAtom = 0x0FF5,
  kPersistDirectoryAtom = 0x1772,
  kComment10 = 0x2EE0,
  kCryptSession10 = 0x2F14,
  kSlideAtom = 0x03EF,
  kEnvironment = 0x03F2,
  kFontCollection = 0x07D5,
  kFontEntityAtom = 0x0FB7,
  kTextHeaderAtom = 0x0F9F,
  kStyleTextPropAtom = 0x0FA1,
  kTextMasterStyleAtom = 0x0FA3,
  kStyleTextProp9Atom = 0x0FAC,
  kExObjList = 0x0409,
  kExOleObjAtom = 0x0FC3,
  kExOleObjStg = 0x1011,
  kExObjRefAtom = 0x0BC1,
  kProgBinaryTag = 0x138A,
  kBinaryTagDataBlob = 0x138B,
  kSpgrContainer = 0xF003,
  kSpContainer = 0xF004,
  kShapeOptions = 0xF00B,
  kChildAnchor = 0xF00F,
  kClientAnchor = 0xF010,
  kClientTextbox = 0xF00D,
  kTertiaryOptions = 0xF122,
};

// A table is laid out as a grid of its cells up to this many grid places;
// past it (a damaged or hostile file) each cell is a line of its own.
constexpr std::size_t kMaxTableGrid = std::size_t{1} << 20;

// Embedded objects larger than this (inflated) are not read.
constexpr std::size_t kMaxObjectBytes = std::size_t{256} << 20;

constexpr int kMaxDepth = 48;

struct Record {
  uint16_t type = 0;
  uint16_t instance = 0;
  bool container = false;
  std::size_t body = 0;  // offset of the record's data
  std::size_t size = 0;  // length of the data, clipped to the stream
};

bool ReadRecord(std::string_view s, std::size_t at, Record* r) {
  if (at > s.size() || s.size() - at < 8) return false;
  uint16_t vi = Le16(s, at);
  r->container = (vi & 0x0F) == 0x0F;
  r->instance = vi >> 4;
  r->type = Le16(s, at + 2);
  r->body = at + 8;
  r->size = std::min<std::size_t>(Le32(s, at + 4), s.size() - r->body);
  return true;
}

// Calls visit for each child record of the data range [from, to).
void ForEachChild(std::string_view s, std::size_t from, std::size_t to, const std::function<bool(const Record&)>& visit) {
  Record r;
  for (std::size_t at = from; at < to && ReadRecord(s, at, &r);) {
    if (r.body + r.size > to) r.size = to - r.body;
    if (!visit(r)) return;
    at = r.body + r.size;
  }
}

// A text atom's characters as UTF-16 units: 8-bit atoms hold windows-1252.
std::u16string AtomUnits(std::string_view s, const Record& r) {
  std::string_view data = s.substr(r.body, r.size);
  std::u16string units;
  if (r.type == kTextBytesAtom) {
    // The C1 range of windows-1252; the rest of its bytes are Latin-1.
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    units.reserve(data.size());
    for (char c : data) {
      auto b = static_cast<unsigned char>(c);
      units.push_back(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : char16_t{b});
    }
  } else {
    units.reserve(data.size() / 2);
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) units.push_back(static_cast<char16_t>(Le16(data, i)));
  }
  return units;
}

std::string AtomText(std::string_view s, const Record& r) {
  std::string raw;
  std::string_view data = s.substr(r.body, r.size);
  if (r.type == kTextBytesAtom) raw = DecodeCharset(data, "windows-1252");
  else AppendUtf16Le(data, raw);
  std::string out;
  out.reserve(raw.size() + 1);
  for (char c : raw) {
    if (c == '\r' || c == '\v') out += '\n';
    else if (c == '\t' || static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

// Whether r marks a field in the text atom before it: a slide number, a
// date, a header or a footer the application fills in as the slide shows.
bool IsFieldAtom(const Record& r) {
  switch (r.type) {
    case 0x0FD8: case 0x0FF7: case 0x0FF8: case 0x0FF9: case 0x0FFA: case 0x1015: return r.size >= 4;
    default: return false;
  }
}

// The text keeps a "*" where such a field stands: it is dropped (made a
// control character, so that style runs keep their counts).
void DropFieldMark(std::string_view s, const Record& field, std::u16string& units) {
  uint32_t at = Le32(s, field.body);
  if (at < units.size() && units[at] == u'*') units[at] = 0x01;
}

// Text that only master slides and empty placeholders show.
bool IsPlaceholderPrompt(std::string_view text) {
  if (text == "*") return true;  // the stand-in for a slide number field
  return text.rfind("Click to edit", 0) == 0 || text.rfind("Click to add", 0) == 0;
}

class PptReader {
 public:
  // sink is the one the text goes to: embedded objects are read one level
  // below it, within what is left of its limit and its budget.
  PptReader(std::string stream, TextSink& sink) : s_(std::move(stream)), sink_(sink) {}

  bool Encrypted() const { return encrypted_; }

  // Finds the current edit and its persist directory; false when the
  // presentation's structure cannot be followed.
  bool ReadStructure(uint32_t current_edit);
  // Decrypts, in place, the persist objects of a presentation encrypted
  // with password (after ReadStructure): RC4 through the CryptoAPI, each
  // object from its start with the key its persist id gives; the edits,
  // their persist directories and the encryption's own record are plain.
  // False when the password does not open it or the encryption is of
  // another kind.
  bool Decrypt(std::u16string_view password);
  // Slides in order with their notes; false when the document record is missing.
  bool EmitSlides(TextSink& sink);
  // Every text record outside master slides, in stream order.
  void EmitAll(TextSink& sink);
  bool ScanForEncryption();

 private:
  // What the records around a text say about it while a drawing is walked.
  struct Context {
    const ppt::MasterStyles* masters = nullptr;
    int text_type = 4;                    // of the text atoms that follow (TextHeaderAtom)
    std::vector<ppt::AutoNumber> numbers;  // the current shape's auto-numbering
    bool in_shape = false;
  };
  // A text atom waiting for the StyleTextPropAtom that may follow it.
  struct PendingText {
    bool active = false;
    std::u16string units;
    int text_type = 4;
    std::string_view style;
  };

  void CollectText(const Record& r, int depth, Context& ctx, std::vector<std::string>& out, uint16_t parent,
                   bool skip_lists);
  void Finish(PendingText& text, const Context& ctx, std::vector<std::string>& out) const;
  // A group that is a table: its cells' text as rows of tab-separated cells
  // appended to out; false when the group is no table.
  bool CollectTable(const Record& group, int depth, Context& ctx, std::vector<std::string>& out, bool skip_lists);
  bool HasTableProperty(const Record& shape) const;
  bool RecordAt(uint32_t persist_id, uint16_t type, Record* r) const;
  void Emit(const std::vector<std::string>& texts, TextSink& sink);
  void ReadDocumentParts(const Record& doc);
  const ppt::MasterStyles& MastersOf(const Record& slide) const;
  std::vector<ppt::AutoNumber> NumbersOfTag(const Record& tag) const;
  // Appends the text of the comments a slide's tag holds.
  void CommentsOfTag(const Record& tag, std::vector<std::string>& out) const;
  std::string EmbeddedText(uint32_t object_id);

  // The encryption's own record met where only a plain presentation has
  // records: encrypted, unless it has been decrypted.
  void SawEncryption() {
    if (!decrypted_) encrypted_ = true;
  }

  std::string s_;
  TextSink& sink_;
  bool encrypted_ = false;
  bool decrypted_ = false;
  uint32_t crypt_session_ = 0;  // persist id of the encryption's record
  uint32_t doc_persist_ = 0;
  std::map<uint32_t, uint32_t> persist_;  // persist id -> stream offset
  ppt::Fonts fonts_;
  ppt::MasterStyles no_masters_;
  std::map<uint32_t, ppt::MasterStyles> masters_;  // by master slide id
  uint32_t first_master_ = 0;
  std::map<uint32_t, uint32_t> objects_;  // embedded object id -> persist id of its storage
  std::set<uint32_t> objects_read_;
};

bool PptReader::ReadStructure(uint32_t current_edit) {
  std::set<uint32_t> seen;
  uint32_t at = current_edit;
  bool first = true;
  while (seen.insert(at).second && seen.size() < 4096) {
    Record edit;
    if (!ReadRecord(s_, at, &edit) || edit.type != kUserEditAtom || edit.size < 28) return !first;
    std::string_view e = std::string_view(s_).substr(edit.body, edit.size);
    if (first) {
      doc_persist_ = Le32(e, 16);
      if (edit.size >= 32 && Le32(e, 28) != 0) {  // encryptSessionPersistIdRef
        crypt_session_ = Le32(e, 28);
        encrypted_ = true;
      }
      first = false;
    }
    Record dir;
    if (ReadRecord(s_, Le32(e, 12), &dir) && dir.type == kPersistDirectoryAtom) {
      std::string_view d = std::string_view(s_).substr(dir.body, dir.size);
      for (std::size_t p = 0; p + 4 <= d.size();) {
        uint32_t head = Le32(d, p);
        uint32_t id = head & 0xFFFFF, count = head >> 20;
        p += 4;
        for (uint32_t i = 0; i < count && p + 4 <= d.size(); ++i, p += 4)
          persist_.emplace(id + i, Le32(d, p));  // the newest edit was read first and wins
      }
    }
    uint32_t last = Le32(e, 8);
    if (last == 0) break;
    at = last;
  }
  return !persist_.empty();
}

bool PptReader::Decrypt(std::u16string_view password) {
  Record session;
  if (crypt_session_ == 0 || !RecordAt(crypt_session_, kCryptSession10, &session)) return false;
  const std::unique_ptr<CryptoApiRc4> keys =
      CryptoApiRc4::Open(std::string_view(s_).substr(session.body, session.size), password);
  if (!keys) return false;
  // Each object once; objects overlap only in a damaged or hostile file,
  // so what is decrypted is held to the stream's size.
  std::set<uint32_t> done;
  std::size_t budget = s_.size();
  for (const auto& [id, offset] : persist_) {
    if (id == crypt_session_ || offset >= s_.size() || !done.insert(offset).second) continue;
    char header[8] = {};
    const std::size_t head = std::min<std::size_t>(sizeof header, s_.size() - offset);
    std::memcpy(header, s_.data() + offset, head);
    if (head < sizeof header || !keys->Apply(id, header, sizeof header)) continue;
    const std::size_t size = 8 + std::min<std::size_t>(Le32(std::string_view(header, 8), 4), s_.size() - offset - 8);
    if (size > budget) break;
    budget -= size;
    if (!keys->Apply(id, s_.data() + offset, size)) return false;
  }
  decrypted_ = true;
  encrypted_ = false;
  return true;
}

bool PptReader::RecordAt(uint32_t persist_id, uint16_t type, Record* r) const {
  auto it = persist_.find(persist_id);
  return it != persist_.end() && ReadRecord(s_, it->second, r) && r->type == type;
}

void PptReader::Finish(PendingText& text, const Context& ctx, std::vector<std::string>& out) const {
  if (!text.active) return;
  text.active = false;
  std::string plain;
  for (char16_t u : text.units) AppendUtf8(u == u'\r' || u == 0x0B ? U'\n' : char32_t{u}, plain);
  if (IsPlaceholderPrompt(plain)) return;
  out.push_back(ppt::LabelledParagraphs(text.units, text.text_type, text.style, ctx.numbers,
                                        ctx.masters ? *ctx.masters : no_masters_, fonts_));
}

std::vector<ppt::AutoNumber> PptReader::NumbersOfTag(const Record& tag) const {
  // A tag named "___PPT9" carries the extension of PowerPoint 2000: for a
  // shape, its StyleTextProp9Atom.
  std::string name;
  std::vector<ppt::AutoNumber> numbers;
  ForEachChild(s_, tag.body, tag.body + tag.size, [&](const Record& r) {
    if (r.type == kCString) name = AtomText(s_, r);
    if (r.type == kBinaryTagDataBlob && name == "___PPT9") {
      ForEachChild(s_, r.body, r.body + r.size, [&](const Record& ext) {
        if (ext.type == kStyleTextProp9Atom) numbers = ppt::ReadStyleTextProp9(std::string_view(s_).substr(ext.body, ext.size));
        return numbers.empty();
      });
    }
    return true;
  });
  return numbers;
}

void PptReader::CommentsOfTag(const Record& tag, std::vector<std::string>& out) const {
  // A slide's tag named "___PPT10" carries the extension of PowerPoint 2002,
  // which keeps the reviewers' comments: each one's text is its string of
  // instance 1 (0 is the author's name, 2 the initials).
  std::string name;
  ForEachChild(s_, tag.body, tag.body + tag.size, [&](const Record& r) {
    if (r.type == kCString) name = AtomText(s_, r);
    if (r.type == kBinaryTagDataBlob && name == "___PPT10") {
      ForEachChild(s_, r.body, r.body + r.size, [&](const Record& ext) {
        if (ext.type == kComment10 && ext.container)
          ForEachChild(s_, ext.body, ext.body + ext.size, [&](const Record& field) {
            if (field.type == kCString && field.instance == 1) out.push_back(AtomText(s_, field));
            return true;
          });
        return true;
      });
    }
    return true;
  });
}

std::string PptReader::EmbeddedText(uint32_t object_id) {
  auto it = objects_.find(object_id);
  if (it == objects_.end() || !objects_read_.insert(object_id).second) return {};
  Record stg;
  if (!RecordAt(it->second, kExOleObjStg, &stg)) return {};
  std::string_view data = std::string_view(s_).substr(stg.body, stg.size);
  std::string bytes;
  if (stg.instance == 1) {  // zlib, after the inflated size
    std::optional<std::string> inflated =
        InflateZlib(data.substr(std::min<std::size_t>(4, data.size())), std::min<std::size_t>(Le32(data, 0), kMaxObjectBytes));
    if (!inflated) return {};
    bytes = std::move(*inflated);
  } else {
    bytes.assign(data);
  }
  TextSink inner = SideSink(sink_, sink_.limit() - std::min(sink_.limit(), sink_.size()));
  ExtractEmbeddedCompoundFile(bytes, inner);
  std::string text = inner.Joined();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void PptReader::CollectText(const Record& r, int depth, Context& ctx, std::vector<std::string>& out, uint16_t parent,
                            bool skip_lists) {
  if (depth > kMaxDepth) return;
  if (r.type == kCryptSession10) SawEncryption();
  if (r.container) {
    if (r.type == kMainMaster) return;
    if (r.type == kSlideListWithText && (skip_lists || r.instance == 1)) return;
    if (r.type == kProgBinaryTag) {
      if (ctx.in_shape) {  // the tags of a shape's client data
        std::vector<ppt::AutoNumber> numbers = NumbersOfTag(r);
        if (!numbers.empty()) ctx.numbers = std::move(numbers);
      } else {
        CommentsOfTag(r, out);
      }
      return;
    }
    if (r.type == kSpgrContainer && CollectTable(r, depth, ctx, out, skip_lists)) return;
    const bool was_in_shape = ctx.in_shape;
    if (r.type == kSpContainer) {
      ctx.numbers.clear();
      ctx.in_shape = true;
    }
    PendingText text;
    ForEachChild(s_, r.body, r.body + r.size, [&](const Record& child) {
      if (child.type == kTextHeaderAtom) {
        Finish(text, ctx, out);
        ctx.text_type = static_cast<int>(Le32(s_, child.body));
      } else if (child.type == kTextCharsAtom || child.type == kTextBytesAtom) {
        Finish(text, ctx, out);
        text = {true, AtomUnits(s_, child), ctx.text_type, {}};
      } else if (child.type == kStyleTextPropAtom && text.active && text.style.empty()) {
        text.style = std::string_view(s_).substr(child.body, child.size);
      } else if (IsFieldAtom(child) && text.active) {
        DropFieldMark(s_, child, text.units);
      } else {
        CollectText(child, depth + 1, ctx, out, r.type, skip_lists);
      }
      return true;
    });
    Finish(text, ctx, out);
    if (r.type == kSpContainer) {
      ctx.numbers.clear();
      ctx.in_shape = was_in_shape;
    }
    return;
  }
  if (r.type == kSlideAtom && r.size >= 16) {
    ctx.masters = &MastersOf(r);
  } else if (r.type == kExObjRefAtom && r.size >= 4) {
    std::string embedded = EmbeddedText(Le32(s_, r.body));
    if (!embedded.empty()) out.push_back(std::move(embedded));
  } else if (r.type == kCString) {
    // Footers and headers (instance 1, 2); other strings name tags and
    // authors.  Comments are read from their slide's tag (CommentsOfTag).
    if (parent == kHeadersFooters && (r.instance == 1 || r.instance == 2)) out.push_back(AtomText(s_, r));
  }
}

bool PptReader::HasTableProperty(const Record& shape) const {
  // The table property (0x39F, bit 0 set) in the shape's options or its
  // tertiary options; each entry is a 16-bit id and a 32-bit value.
  bool table = false;
  ForEachChild(s_, shape.body, shape.body + shape.size, [&](const Record& opt) {
    if (opt.type != kShapeOptions && opt.type != kTertiaryOptions) return true;
    for (std::size_t i = 0; i < opt.instance && 6 * (i + 1) <= opt.size; ++i) {
      const std::size_t at = opt.body + 6 * i;
      if ((Le16(s_, at) & 0x3FFF) == 0x39F && (Le32(s_, at + 2) & 1)) table = true;
    }
    return !table;
  });
  return table;
}

bool PptReader::CollectTable(const Record& group, int depth, Context& ctx, std::vector<std::string>& out,
                             bool skip_lists) {
  // The group's first shape stands for the group and carries the table
  // property; each cell is a shape with a text box, placed by its anchor
  // (borders are lines without one).  Rows follow the cells' top edges,
  // columns their left edges; a merged cell leaves the places it covers empty.
  struct Cell {
    int64_t left = 0, top = 0;
    std::string text;
  };
  std::vector<Cell> cells;
  bool first = true, table = false, placed = true;
  ForEachChild(s_, group.body, group.body + group.size, [&](const Record& shape) {
    if (first) {
      first = false;
      table = shape.type == kSpContainer && HasTableProperty(shape);
      return table;
    }
    if (shape.type != kSpContainer) return true;
    bool anchored = false, text_box = false;
    Cell cell;
    ForEachChild(s_, shape.body, shape.body + shape.size, [&](const Record& part) {
      if (part.type == kChildAnchor && part.size >= 16) {
        cell.left = static_cast<int32_t>(Le32(s_, part.body));
        cell.top = static_cast<int32_t>(Le32(s_, part.body + 4));
        anchored = true;
      } else if (part.type == kClientAnchor && part.size >= 8 && !anchored) {
        const bool wide = part.size >= 16;  // top, left, right, bottom
        cell.top = wide ? static_cast<int32_t>(Le32(s_, part.body)) : static_cast<int16_t>(Le16(s_, part.body));
        cell.left =
            wide ? static_cast<int32_t>(Le32(s_, part.body + 4)) : static_cast<int16_t>(Le16(s_, part.body + 2));
        anchored = true;
      } else if (part.type == kClientTextbox) {
        text_box = true;
      }
      return true;
    });
    if (!text_box) return true;
    std::vector<std::string> texts;
    CollectText(shape, depth + 1, ctx, texts, group.type, skip_lists);
    for (const std::string& t : texts) {
      if (t.empty() || IsPlaceholderPrompt(t)) continue;
      if (!cell.text.empty()) cell.text += ' ';
      cell.text += t;
    }
    // A cell stays on its row's line whatever its text holds.
    for (char& c : cell.text)
      if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    placed = placed && anchored;
    cells.push_back(std::move(cell));
    return true;
  });
  if (!table) return false;
  // Edges that lie within a small share of the table's extent of each other
  // are one grid line (positions rounded by the writer).
  auto grid = [](std::vector<int64_t> v) {
    std::sort(v.begin(), v.end());
    const int64_t slack = v.empty() ? 0 : std::max<int64_t>(1, (v.back() - v.front()) / 400);
    std::vector<int64_t> lines;
    for (int64_t x : v)
      if (lines.empty() || x - lines.back() > slack) lines.push_back(x);
    return lines;
  };
  auto index = [](const std::vector<int64_t>& lines, int64_t x) {
    auto it = std::upper_bound(lines.begin(), lines.end(), x);
    return static_cast<std::size_t>(it == lines.begin() ? 0 : it - lines.begin() - 1);
  };
  std::vector<int64_t> lefts, tops;
  for (const Cell& c : cells) {
    lefts.push_back(c.left);
    tops.push_back(c.top);
  }
  const std::vector<int64_t> columns = grid(lefts), rows = grid(tops);
  if (!placed || columns.empty() || rows.size() > kMaxTableGrid / columns.size()) {
    for (Cell& c : cells)
      if (!c.text.empty()) out.push_back(std::move(c.text));
    return true;
  }
  std::vector<std::vector<std::string>> grid_text(rows.size(), std::vector<std::string>(columns.size()));
  for (const Cell& c : cells) {
    if (c.text.empty()) continue;
    std::string& place = grid_text[index(rows, c.top)][index(columns, c.left)];
    if (!place.empty()) place += ' ';
    place += c.text;
  }
  std::string text;
  for (const std::vector<std::string>& row : grid_text) {
    if (std::all_of(row.begin(), row.end(), [](const std::string& t) { return t.empty(); })) continue;
    if (!text.empty()) text += '\n';
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i) text += '\t';
      text += row[i];
    }
  }
  if (!text.empty()) out.push_back(std::move(text));
  return true;
}

void PptReader::Emit(const std::vector<std::string>& texts, TextSink& sink) {
  for (const std::string& t : texts) {
    if (t.empty() || IsPlaceholderPrompt(t)) continue;
    sink.Append(t);
    sink.EndLine();
  }
}

const ppt::MasterStyles& PptReader::MastersOf(const Record& slide_atom) const {
  // SlideAtom: geometry, placeholder types, then the master's slide id.
  auto it = masters_.find(Le32(s_, slide_atom.body + 12));
  if (it == masters_.end()) it = masters_.find(first_master_);
  return it == masters_.end() ? no_masters_ : it->second;
}

void PptReader::ReadDocumentParts(const Record& doc) {
  ForEachChild(s_, doc.body, doc.body + doc.size, [&](const Record& part) {
    if (part.type == kEnvironment) {
      ForEachChild(s_, part.body, part.body + part.size, [&](const Record& fonts) {
        if (fonts.type != kFontCollection) return true;
        ForEachChild(s_, fonts.body, fonts.body + fonts.size, [&](const Record& font) {
          if (font.type == kFontEntityAtom)
            fonts_.Add(font.instance, std::string_view(s_).substr(font.body, font.size));
          return true;
        });
        return true;
      });
    } else if (part.type == kExObjList) {
      // Embedded objects: ExOleObjAtom names the object and the persist id of
      // its storage (type 0: embedded, not linked).
      ForEachChild(s_, part.body, part.body + part.size, [&](const Record& object) {
        if (!object.container) return true;
        ForEachChild(s_, object.body, object.body + object.size, [&](const Record& atom) {
          if (atom.type == kExOleObjAtom && atom.size >= 20 && Le32(s_, atom.body + 4) == 0)
            objects_.emplace(Le32(s_, atom.body + 8), Le32(s_, atom.body + 16));
          return atom.type != kExOleObjAtom;
        });
        return objects_.size() < 100000;
      });
    } else if (part.type == kSlideListWithText && part.instance == 1) {
      // The masters: their text styles give the bullets of the slides' text.
      ForEachChild(s_, part.body, part.body + part.size, [&](const Record& entry) {
        Record master;
        if (entry.type != kSlidePersistAtom || entry.size < 16 || !RecordAt(Le32(s_, entry.body), kMainMaster, &master))
          return true;
        uint32_t id = Le32(s_, entry.body + 12);
        if (masters_.empty()) first_master_ = id;
        ppt::MasterStyles& styles = masters_[id];
        ForEachChild(s_, master.body, master.body + master.size, [&](const Record& style) {
          if (style.type == kTextMasterStyleAtom)
            styles.Read(std::string_view(s_).substr(style.body, style.size), style.instance);
          return true;
        });
        return masters_.size() < 1000;
      });
    }
    return true;
  });
}

bool PptReader::EmitSlides(TextSink& sink) {
  Record doc;
  if (!RecordAt(doc_persist_, kDocument, &doc)) return false;
  ReadDocumentParts(doc);
  struct Entry {
    uint32_t persist = 0, slide_id = 0;
    std::vector<PendingText> texts;  // from the slide list, labelled once the slide's master is known
  };
  std::vector<Entry> slides, notes;
  std::vector<std::string> footers;
  ForEachChild(s_, doc.body, doc.body + doc.size, [&](const Record& list) {
    if (list.type == kCryptSession10) SawEncryption();
    if (list.type == kHeadersFooters && list.container) {
      Context ctx;
      CollectText(list, 1, ctx, footers, kDocument, true);
    }
    if (list.type != kSlideListWithText || (list.instance != 0 && list.instance != 2)) return true;
    std::vector<Entry>& into = list.instance == 0 ? slides : notes;
    int text_type = 4;
    ForEachChild(s_, list.body, list.body + list.size, [&](const Record& r) {
      if (r.type == kSlidePersistAtom && r.size >= 16) {
        into.push_back({Le32(s_, r.body), Le32(s_, r.body + 12), {}});
      } else if (into.empty()) {
      } else if (r.type == kTextHeaderAtom) {
        text_type = static_cast<int>(Le32(s_, r.body));
      } else if (r.type == kTextCharsAtom || r.type == kTextBytesAtom) {
        into.back().texts.push_back({true, AtomUnits(s_, r), text_type, {}});
      } else if (r.type == kStyleTextPropAtom && !into.back().texts.empty() && into.back().texts.back().style.empty()) {
        into.back().texts.back().style = std::string_view(s_).substr(r.body, r.size);
      } else if (IsFieldAtom(r) && !into.back().texts.empty()) {
        DropFieldMark(s_, r, into.back().texts.back().units);
      }
      return into.size() < 100000;
    });
    return true;
  });
  if (encrypted_) return true;
  // Notes pages name the slide they belong to.
  std::map<uint32_t, const Entry*> notes_of;
  for (const Entry& n : notes) {
    Record page;
    if (!RecordAt(n.persist, kNotes, &page)) continue;
    ForEachChild(s_, page.body, page.body + page.size, [&](const Record& r) {
      if (r.type == kNotesAtom && r.size >= 4) notes_of.emplace(Le32(s_, r.body), &n);
      return r.type != kNotesAtom;
    });
  }
  for (const Entry& slide : slides) {
    if (sink.full()) break;
    Context ctx;
    Record page;
    bool have_page = RecordAt(slide.persist, kSlide, &page);
    if (have_page) {
      ForEachChild(s_, page.body, page.body + page.size, [&](const Record& r) {
        if (r.type == kSlideAtom && r.size >= 16) ctx.masters = &MastersOf(r);
        return r.type != kSlideAtom;
      });
    }
    if (!ctx.masters) ctx.masters = masters_.empty() ? &no_masters_ : &masters_.begin()->second;
    std::vector<std::string> listed;
    for (PendingText text : slide.texts) Finish(text, ctx, listed);
    Emit(listed, sink);
    std::vector<std::string> own;
    if (have_page) CollectText(page, 0, ctx, own, 0, true);
    Emit(own, sink);
    auto it = notes_of.find(slide.slide_id);
    if (it != notes_of.end()) {
      Context note_ctx;
      std::vector<std::string> note_texts;
      for (PendingText text : it->second->texts) Finish(text, note_ctx, note_texts);
      Record notes_page;
      if (RecordAt(it->second->persist, kNotes, &notes_page)) CollectText(notes_page, 0, note_ctx, note_texts, 0, true);
      Emit(note_texts, sink);
    }
    sink.EndChunk();
  }
  // The slide list names every slide, read or not.
  if (!slides.empty()) sink.set_pages(static_cast<std::int64_t>(slides.size()));
  Emit(footers, sink);
  sink.EndChunk();
  return !slides.empty();
}

void PptReader::EmitAll(TextSink& sink) {
  std::vector<std::string> texts;
  Context ctx;
  ForEachChild(s_, 0, s_.size(), [&](const Record& r) {
    CollectText(r, 0, ctx, texts, 0, false);
    return texts.size() < 1000000;
  });
  Emit(texts, sink);
  sink.EndChunk();
}

bool PptReader::ScanForEncryption() {
  ForEachChild(s_, 0, s_.size(), [&](const Record& r) {
    if (r.type == kCryptSession10) SawEncryption();
    return !encrypted_;
  });
  return encrypted_;
}

// PowerPoint 95 keeps the text of its slides, for searching, in a stream of
// its own: paragraphs end with CR, in the system's 8-bit code page.
bool EmitTextContent(std::string_view bytes, TextSink& sink) {
  std::string text = DecodeCharset(bytes, "windows-1252");
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\r' || c == '\v') out += '\n';
    else if (c == '\t' || c == '\n' || static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  if (out.find_first_not_of(" \t\n") == std::string::npos) return false;
  sink.Append(out);
  sink.EndLine();
  sink.EndChunk();
  return true;
}

// PowerPoint 4.0 writes one "PP40" stream whose layout is not published.
// Its text sits in runs that a 16-bit 1 and a 32-bit length introduce; a run
// counts as text when every byte of it is a printable windows-1252
// character or a paragraph or line end.  Prompts of the masters are left out.
bool EmitPowerPoint4(std::string_view s, TextSink& sink) {
  auto printable = [](unsigned char b) {
    return (b >= 0x20 && b != 0x7F && b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) || b == '\r' ||
           b == '\t' || b == 0x0B;
  };
  bool any = false;
  for (std::size_t at = 0; at + 6 <= s.size() && !sink.full();) {
    std::size_t mark = s.find(std::string_view("\x01\x00", 2), at);
    if (mark == std::string_view::npos || mark + 6 > s.size()) break;
    uint32_t n = Le32(s, mark + 2);
    std::size_t from = mark + 6;
    bool text = n >= 1 && n <= 65535 && n <= s.size() - from;
    for (std::size_t i = 0; text && i < n; ++i) text = printable(static_cast<unsigned char>(s[from + i]));
    if (!text) {
      at = mark + 1;
      continue;
    }
    std::string run = DecodeCharset(s.substr(from, n), "windows-1252");
    for (char& c : run)
      if (c == '\r' || c == '\v') c = '\n';
    if (!IsPlaceholderPrompt(run) && run.find_first_not_of(" \t\n") != std::string::npos) {
      sink.Append(run);
      sink.EndLine();
      any = true;
    }
    at = from + n;
  }
  sink.EndChunk();
  return any;
}

class PptFilter : public BuiltinFilter {
 public:
  explicit PptFilter(std::u16string password) : password_(std::move(password)) {}

  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "ppt", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.encrypted_package) return ExtractResult::Password();
    if (what.rights_managed) return ExtractResult::RightsManaged();
    if (what.kind != ContentKind::kCompoundFile)
      return ExtractResult::UnknownFormat("not a PowerPoint presentation: no compound-file signature");
    std::string why;
    CompoundFile file = OpenCompoundFile(path, &why);
    if (!file) return ExtractResult::Failed(why);
    bool encrypted = false;
    for (const std::string& name : CompoundEntryNames(file.get()))
      if (name == "EncryptedSummary") encrypted = true;
    std::optional<std::string> stream = ReadCompoundStream(file.get(), "PowerPoint Document");
    if (!stream) {
      if (encrypted) return ExtractResult::Password();
      if (std::optional<std::string> pp40 = ReadCompoundStream(file.get(), "PP40")) {
        if (EmitPowerPoint4(*pp40, sink)) return Finished(sink);
        return ExtractResult::Failed("no slide text could be found in the PowerPoint 4.0 presentation");
      }
      return ExtractResult::UnknownFormat("not a PowerPoint presentation: no PowerPoint Document stream");
    }
    uint32_t current_edit = 0;
    bool have_user = false;
    if (std::optional<std::string> user = ReadCompoundStream(file.get(), "Current User", 1 << 16)) {
      // CurrentUserAtom: header token (another one when the presentation
      // is encrypted), then the offset of the last edit.
      if (Le32(*user, 12) == 0xF3D1C4DF) encrypted = true;
      current_edit = Le32(*user, 16);
      have_user = user->size() >= 20;
    }
    PptReader reader(std::move(*stream), sink);
    bool structured = have_user && reader.ReadStructure(current_edit);
    // An encrypted presentation is read when it opens with the password
    // PowerPoint itself uses (its pictures stay as they are: they are not
    // read then).
    if (encrypted || reader.Encrypted()) {
      if (!structured || !reader.Decrypt(password_)) return ExtractResult::Password();
    } else if (reader.ScanForEncryption()) {
      return ExtractResult::Password();
    }
    const std::size_t before = sink.size();
    TextSink slides = SideSink(sink, sink.limit() - sink.size());
    const bool emitted = structured && reader.EmitSlides(slides);
    // Slides without text still count (pictures may fill them).
    if (emitted) sink.set_pages(slides.pages());
    if (emitted && !slides.empty()) {
      if (reader.Encrypted()) return ExtractResult::Password();
      for (const std::string& chunk : slides.chunks()) {
        sink.Append(chunk);
        sink.EndChunk();
      }
    } else if (std::optional<std::string> content = ReadCompoundStream(file.get(), "Text_Content")) {
      // PowerPoint 95: its records are not those of later versions, but it
      // keeps the slides' text in a stream of its own.
      if (EmitTextContent(*content, sink)) return Finished(sink);
      reader.EmitAll(sink);
    } else {
      // The edit chain is damaged or from an old version: read every text
      // record outside the masters, in stream order.
      reader.EmitAll(sink);
    }
    // Slides of pictures and no words are scans shown as slides: the pictures
    // (all kept in one stream, in the order they were added) are read by OCR.
    if (!sink.full() && !HasWords(sink) && !encrypted) {
      if (std::optional<std::string> pictures = ReadCompoundStream(file.get(), "Pictures", std::size_t{256} << 20)) {
        PrivateFolder folder;
        RecognizeOfficeArtPictures(*pictures, folder, sink);
      }
    }
    if (sink.full() || slides.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (sink.size() == before && !structured)
      return ExtractResult::Failed("no slide text could be found (PowerPoint 95 and older records are not read)");
    return ExtractResult::Ok();
  }

 private:
  static ExtractResult Finished(const TextSink& sink) {
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    return ExtractResult::Ok();
  }

  std::u16string password_;
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePptFilter(std::u16string_view password) {
  return std::make_unique<PptFilter>(std::u16string(password));
}

}  // namespace quarn

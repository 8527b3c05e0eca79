#include "convert/filters/ole/ppt_filter.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "convert/filters/ole/ole_util.h"
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
};

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

// Text that only master slides and empty placeholders show.
bool IsPlaceholderPrompt(std::string_view text) {
  if (text == "*") return true;  // the stand-in for a slide number field
  return text.rfind("Click to edit", 0) == 0 || text.rfind("Click to add", 0) == 0;
}

class PptReader {
 public:
  explicit PptReader(std::string stream) : s_(std::move(stream)) {}

  bool Encrypted() const { return encrypted_; }

  // Finds the current edit and its persist directory; false when the
  // presentation's structure cannot be followed.
  bool ReadStructure(uint32_t current_edit);
  // Slides in order with their notes; false when the document record is missing.
  bool EmitSlides(TextSink& sink);
  // Every text record outside master slides, in stream order.
  void EmitAll(TextSink& sink);
  bool ScanForEncryption();

 private:
  void CollectText(const Record& r, int depth, std::vector<std::string>& out, uint16_t parent, bool skip_lists);
  bool RecordAt(uint32_t persist_id, uint16_t type, Record* r) const;
  void Emit(const std::vector<std::string>& texts, TextSink& sink);

  std::string s_;
  bool encrypted_ = false;
  uint32_t doc_persist_ = 0;
  std::map<uint32_t, uint32_t> persist_;  // persist id -> stream offset
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
      if (edit.size >= 32 && Le32(e, 28) != 0) encrypted_ = true;  // encryptSessionPersistIdRef
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

bool PptReader::RecordAt(uint32_t persist_id, uint16_t type, Record* r) const {
  auto it = persist_.find(persist_id);
  return it != persist_.end() && ReadRecord(s_, it->second, r) && r->type == type;
}

void PptReader::CollectText(const Record& r, int depth, std::vector<std::string>& out, uint16_t parent,
                            bool skip_lists) {
  if (depth > kMaxDepth) return;
  if (r.type == kCryptSession10) encrypted_ = true;
  if (r.container) {
    if (r.type == kMainMaster) return;
    if (r.type == kSlideListWithText && (skip_lists || r.instance == 1)) return;
    ForEachChild(s_, r.body, r.body + r.size, [&](const Record& child) {
      CollectText(child, depth + 1, out, r.type, skip_lists);
      return true;
    });
    return;
  }
  if (r.type == kTextCharsAtom || r.type == kTextBytesAtom) {
    out.push_back(AtomText(s_, r));
  } else if (r.type == kCString) {
    // Footers and headers (instance 1, 2) and comment text (instance 1);
    // other strings name tags and authors.
    if ((parent == kHeadersFooters && (r.instance == 1 || r.instance == 2)) ||
        (parent == kComment10 && r.instance == 1))
      out.push_back(AtomText(s_, r));
  }
}

void PptReader::Emit(const std::vector<std::string>& texts, TextSink& sink) {
  for (const std::string& t : texts) {
    if (t.empty() || IsPlaceholderPrompt(t)) continue;
    sink.Append(t);
    sink.EndLine();
  }
}

bool PptReader::EmitSlides(TextSink& sink) {
  Record doc;
  if (!RecordAt(doc_persist_, kDocument, &doc)) return false;
  struct Entry {
    uint32_t persist = 0, slide_id = 0;
    std::vector<std::string> texts;  // from the slide list
  };
  std::vector<Entry> slides, notes;
  std::vector<std::string> footers;
  ForEachChild(s_, doc.body, doc.body + doc.size, [&](const Record& list) {
    if (list.type == kCryptSession10) encrypted_ = true;
    if (list.type == kHeadersFooters && list.container) CollectText(list, 1, footers, kDocument, true);
    if (list.type != kSlideListWithText || (list.instance != 0 && list.instance != 2)) return true;
    std::vector<Entry>& into = list.instance == 0 ? slides : notes;
    ForEachChild(s_, list.body, list.body + list.size, [&](const Record& r) {
      if (r.type == kSlidePersistAtom && r.size >= 16) {
        into.push_back({Le32(s_, r.body), Le32(s_, r.body + 12), {}});
      } else if (!into.empty() && (r.type == kTextCharsAtom || r.type == kTextBytesAtom)) {
        into.back().texts.push_back(AtomText(s_, r));
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
    Emit(slide.texts, sink);
    std::vector<std::string> own;
    Record page;
    if (RecordAt(slide.persist, kSlide, &page)) CollectText(page, 0, own, 0, true);
    Emit(own, sink);
    auto it = notes_of.find(slide.slide_id);
    if (it != notes_of.end()) {
      std::vector<std::string> note_texts = it->second->texts;
      Record notes_page;
      if (RecordAt(it->second->persist, kNotes, &notes_page)) CollectText(notes_page, 0, note_texts, 0, true);
      Emit(note_texts, sink);
    }
    sink.EndChunk();
  }
  Emit(footers, sink);
  sink.EndChunk();
  return !slides.empty();
}

void PptReader::EmitAll(TextSink& sink) {
  std::vector<std::string> texts;
  ForEachChild(s_, 0, s_.size(), [&](const Record& r) {
    CollectText(r, 0, texts, 0, false);
    return texts.size() < 1000000;
  });
  Emit(texts, sink);
  sink.EndChunk();
}

bool PptReader::ScanForEncryption() {
  ForEachChild(s_, 0, s_.size(), [&](const Record& r) {
    if (r.type == kCryptSession10) encrypted_ = true;
    return !encrypted_;
  });
  return encrypted_;
}

class PptFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "ppt", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.encrypted_package) return ExtractResult::Password();
    if (what.kind != ContentKind::kCompoundFile)
      return ExtractResult::UnknownFormat("not a PowerPoint presentation: no compound-file signature");
    std::string why;
    CompoundFile file = OpenCompoundFile(path, &why);
    if (!file) return ExtractResult::Failed(why);
    for (const std::string& name : CompoundEntryNames(file.get()))
      if (name == "EncryptedSummary") return ExtractResult::Password();
    std::optional<std::string> stream = ReadCompoundStream(file.get(), "PowerPoint Document");
    if (!stream)
      return ExtractResult::UnknownFormat(
          "not a PowerPoint 97-2003 presentation: no PowerPoint Document stream (PowerPoint 4 files are not read)");
    uint32_t current_edit = 0;
    bool have_user = false;
    if (std::optional<std::string> user = ReadCompoundStream(file.get(), "Current User", 1 << 16)) {
      // CurrentUserAtom: header token, then the offset of the last edit.
      uint32_t token = Le32(*user, 12);
      if (token == 0xF3D1C4DF) return ExtractResult::Password();
      current_edit = Le32(*user, 16);
      have_user = user->size() >= 20;
    }
    PptReader reader(std::move(*stream));
    bool structured = have_user && reader.ReadStructure(current_edit);
    if (reader.Encrypted() || reader.ScanForEncryption()) return ExtractResult::Password();
    EmitSummaryInformation(file.get(), sink);
    const std::size_t before = sink.size();
    TextSink slides(sink.limit() - sink.size());
    if (structured && reader.EmitSlides(slides) && !slides.empty()) {
      if (reader.Encrypted()) return ExtractResult::Password();
      for (const std::string& chunk : slides.chunks()) {
        sink.Append(chunk);
        sink.EndChunk();
      }
    } else {
      // The edit chain is damaged or from an old version: read every text
      // record outside the masters, in stream order.
      reader.EmitAll(sink);
    }
    if (sink.full() || slides.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (sink.size() == before && !structured)
      return ExtractResult::Failed("no slide text could be found (PowerPoint 95 and older records are not read)");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePptFilter() { return std::make_unique<PptFilter>(); }

}  // namespace quarn

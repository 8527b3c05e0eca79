#include "app/converter_wire.h"

#include <cstring>

namespace quarn::wire {

namespace {

// Each field: a 32-bit tag, a 64-bit length, the bytes.  Numbers are 8 bytes.
enum Tag : std::uint32_t {
  kMemoryLimit = 1,
  kReadRoot = 2,
  kScratch = 3,
  kError = 4,
  kLandlockAbi = 5,
  kPath = 6,
  kOption = 7,
  kOutcome = 8,
  kReason = 9,
  kTextSize = 10,
  kRecognizedPages = 11,
  kMemoryExhausted = 12,
  kOneDocument = 13,
  // 14 carried the system-call filter, which the program now has built in.
  kReader = 15,
  kPages = 16,
};

// More pages than any document holds: a converter that says so is not believed.
constexpr std::uint64_t kMaxPages = std::uint64_t{1} << 32;

constexpr std::size_t kFieldHead = sizeof(std::uint32_t) + sizeof(std::uint64_t);

class Writer {
 public:
  explicit Writer(Kind kind) : bytes_(sizeof(FrameHeader), '\0') {
    const FrameHeader h{kMagic, static_cast<std::uint32_t>(kind), 0};
    std::memcpy(bytes_.data(), &h, sizeof h);
  }
  void Text(Tag tag, std::string_view value) {
    char head[kFieldHead];
    const std::uint32_t t = tag;
    const std::uint64_t n = value.size();
    std::memcpy(head, &t, sizeof t);
    std::memcpy(head + sizeof t, &n, sizeof n);
    bytes_.append(head, sizeof head).append(value);
  }
  void Number(Tag tag, std::uint64_t value) {
    char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    Text(tag, std::string_view(raw, sizeof raw));
  }
  std::string Finish() {
    const std::uint64_t size = bytes_.size() - sizeof(FrameHeader);
    std::memcpy(bytes_.data() + offsetof(FrameHeader, size), &size, sizeof size);
    return std::move(bytes_);
  }

 private:
  std::string bytes_;
};

// Walks the fields, handing each to visit(tag, bytes); visit returns false
// for a field it finds malformed.
template <typename Visit>
bool Fields(std::string_view fields, Visit visit) {
  while (!fields.empty()) {
    if (fields.size() < kFieldHead) return false;
    std::uint32_t tag;
    std::uint64_t n;
    std::memcpy(&tag, fields.data(), sizeof tag);
    std::memcpy(&n, fields.data() + sizeof tag, sizeof n);
    fields.remove_prefix(kFieldHead);
    if (n > fields.size()) return false;
    if (!visit(tag, fields.substr(0, n))) return false;
    fields.remove_prefix(n);
  }
  return true;
}

bool ToNumber(std::string_view bytes, std::uint64_t* value) {
  if (bytes.size() != sizeof *value) return false;
  std::memcpy(value, bytes.data(), sizeof *value);
  return true;
}

}  // namespace

std::string Encode(const Setup& m) {
  Writer w(Kind::kSetup);
  w.Number(kMemoryLimit, m.memory_limit);
  for (const std::string& root : m.read_roots) w.Text(kReadRoot, root);
  w.Text(kScratch, m.scratch);
  w.Number(kOneDocument, m.one_document ? 1 : 0);
  return w.Finish();
}

std::string Encode(const Ready& m) {
  Writer w(Kind::kReady);
  w.Text(kError, m.error);
  w.Number(kLandlockAbi, static_cast<std::uint64_t>(m.landlock_abi));
  return w.Finish();
}

std::string Encode(const Request& m) {
  Writer w(Kind::kRequest);
  w.Text(kPath, m.path);
  for (const std::string& option : m.options) w.Text(kOption, option);
  return w.Finish();
}

std::string EncodeProgress() { return Writer(Kind::kProgress).Finish(); }

std::string Encode(const Reply& m) {
  Writer w(Kind::kReply);
  w.Number(kOutcome, static_cast<std::uint64_t>(m.outcome));
  w.Text(kReason, m.reason);
  w.Number(kTextSize, m.text_size);
  w.Number(kRecognizedPages, m.recognized_pages);
  w.Number(kMemoryExhausted, m.memory_exhausted ? 1 : 0);
  if (!m.reader.empty()) w.Text(kReader, m.reader);
  if (m.pages >= 0) w.Number(kPages, static_cast<std::uint64_t>(m.pages));
  return w.Finish();
}

bool Decode(std::string_view fields, Setup* m) {
  *m = Setup{};
  return Fields(fields, [&](std::uint32_t tag, std::string_view v) {
    switch (tag) {
      case kMemoryLimit: return ToNumber(v, &m->memory_limit);
      case kReadRoot: m->read_roots.emplace_back(v); return true;
      case kScratch: m->scratch = v; return true;
      case kOneDocument: {
        std::uint64_t n = 0;
        if (!ToNumber(v, &n)) return false;
        m->one_document = n != 0;
        return true;
      }
      default: return true;
    }
  });
}

bool Decode(std::string_view fields, Ready* m) {
  *m = Ready{};
  return Fields(fields, [&](std::uint32_t tag, std::string_view v) {
    std::uint64_t n = 0;
    switch (tag) {
      case kError: m->error = v; return true;
      case kLandlockAbi:
        if (!ToNumber(v, &n) || n > 1000) return false;
        m->landlock_abi = static_cast<int>(n);
        return true;
      default: return true;
    }
  });
}

bool Decode(std::string_view fields, Request* m) {
  *m = Request{};
  bool has_path = false;
  const bool ok = Fields(fields, [&](std::uint32_t tag, std::string_view v) {
    switch (tag) {
      case kPath: m->path = v; has_path = true; return true;
      case kOption: m->options.emplace_back(v); return true;
      default: return true;
    }
  });
  return ok && has_path;
}

bool Decode(std::string_view fields, Reply* m) {
  *m = Reply{};
  bool has_outcome = false, has_size = false;
  const bool ok = Fields(fields, [&](std::uint32_t tag, std::string_view v) {
    std::uint64_t n = 0;
    switch (tag) {
      case kOutcome:
        // A converter reads; only the program decides that a file is its own text.
        if (!ToNumber(v, &n) || (n != static_cast<std::uint64_t>(Outcome::kFailed) &&
                                 n != static_cast<std::uint64_t>(Outcome::kWritten) &&
                                 n != static_cast<std::uint64_t>(Outcome::kNoText)))
          return false;
        m->outcome = static_cast<Outcome>(n);
        has_outcome = true;
        return true;
      case kReason: m->reason = v; return true;
      case kReader: m->reader = v; return true;
      case kPages:
        if (!ToNumber(v, &n) || n > kMaxPages) return false;
        m->pages = static_cast<std::int64_t>(n);
        return true;
      case kTextSize: has_size = true; return ToNumber(v, &m->text_size);
      case kRecognizedPages: return ToNumber(v, &m->recognized_pages);
      case kMemoryExhausted:
        if (!ToNumber(v, &n) || n > 1) return false;
        m->memory_exhausted = n == 1;
        return true;
      default: return true;
    }
  });
  return ok && has_outcome && has_size;
}

bool HeaderFits(const FrameHeader& h, Kind want, std::uint64_t max_size) {
  return h.magic == kMagic && h.kind == static_cast<std::uint32_t>(want) && h.size <= max_size;
}

}  // namespace quarn::wire

#include "convert/filters/mail/dbx_filter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "convert/conversion_options.h"
#include "convert/filters/mail/eml_filter.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Versions 5 and 6: a header of fixed size, then tree nodes, entries'
// information objects and message blocks, each object starting with its
// own place in the file (which is how damage shows).
constexpr std::uint32_t kHeaderBytes = 0x24BC;
constexpr std::size_t kNodeBytes = 0x27C;
constexpr unsigned kMaxNodeEntries = 0x33;
constexpr std::uint32_t kBlockHeader = 0x10;
constexpr std::uint32_t kBlockData = 0x200;
constexpr std::uint32_t kMaxInfoBytes = 1 << 20;
// Real trees are a few levels deep; a damaged one may point anywhere.
constexpr int kMaxTreeDepth = 64;
// Version 4: a header, then each message after a header of its own.
constexpr std::uint32_t kV4Header = 0x54;
constexpr std::uint32_t kV4Magic = 0x7F007F00;  // 00 7F 00 7F
// The largest message read; the rest of the folder goes on without it.
constexpr std::size_t kMaxMessageBytes = std::size_t{256} << 20;

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

class Folder {
 public:
  explicit Folder(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0) size_ = static_cast<std::uint64_t>(st.st_size);
  }
  ~Folder() {
    if (fd_ >= 0) ::close(fd_);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  bool open() const { return fd_ >= 0; }
  std::uint64_t size() const { return size_; }

  // n bytes from at on, all inside the file, or false.
  bool Read(std::uint64_t at, void* buffer, std::size_t n) const {
    if (at > size_ || n > size_ - at) return false;
    auto* p = static_cast<char*>(buffer);
    while (n > 0) {
      const ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      p += got;
      at += static_cast<std::uint64_t>(got);
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  // Appends n bytes from at on to out; false (out as it was) when they are not all there.
  bool Append(std::uint64_t at, std::size_t n, std::string& out) const {
    const std::size_t old = out.size();
    out.resize(old + n);
    if (Read(at, out.data() + old, n)) return true;
    out.resize(old);
    return false;
  }

 private:
  int fd_;
  std::uint64_t size_ = 0;
};

// The places of the entries' information objects, in the tree's order: a
// node's left subtree, then each entry followed by its own subtree.
class TreeWalk {
 public:
  explicit TreeWalk(const Folder& folder) : folder_(folder) {}

  void Visit(std::uint32_t node, int depth) {
    if (node == 0) return;
    if (depth > kMaxTreeDepth || !seen_.insert(node).second) {
      damaged = true;
      return;
    }
    unsigned char n[kNodeBytes];
    if (!folder_.Read(node, n, sizeof n) || Le32(n) != node || n[0x11] == 0 || n[0x11] > kMaxNodeEntries) {
      damaged = true;
      return;
    }
    Visit(Le32(n + 0x08), depth + 1);
    for (unsigned i = 0; i < n[0x11]; ++i) {
      entries.push_back(Le32(n + 0x18 + 12 * i));
      Visit(Le32(n + 0x18 + 12 * i + 4), depth + 1);
    }
  }

  std::vector<std::uint32_t> entries;
  bool damaged = false;

 private:
  const Folder& folder_;
  std::unordered_set<std::uint32_t> seen_;
};

// The first block of an entry's message, from the entry's information
// object (property 4, held in the index itself or in the data after it); 0
// when the entry keeps no message (a news header whose article was never
// fetched).  False when the object is damaged.
bool MessageStart(const Folder& folder, std::uint32_t info, std::uint32_t* first) {
  unsigned char h[12];
  if (!folder.Read(info, h, sizeof h) || Le32(h) != info) return false;
  const std::uint32_t length = Le32(h + 4);
  const std::uint32_t count = h[10];
  if (length > kMaxInfoBytes || 4 * count > length) return false;
  std::string body;
  if (!folder.Append(std::uint64_t{info} + sizeof h, length, body)) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(body.data());
  *first = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char id = b[4 * i];
    if ((id & 0x7F) != 0x04) continue;
    const std::uint32_t value = static_cast<std::uint32_t>(b[4 * i + 1]) | static_cast<std::uint32_t>(b[4 * i + 2]) << 8 |
                                static_cast<std::uint32_t>(b[4 * i + 3]) << 16;
    if (id & 0x80) {
      *first = value;
      return true;
    }
    const std::uint64_t at = std::uint64_t{4} * count + value;
    if (at + 4 > length) return false;
    *first = Le32(b + at);
    return true;
  }
  return true;
}

// A block's header: its own place, the room for data, the data's length and
// the next block (0 after the last).
bool BlockHeader(const unsigned char* h, std::uint64_t at, std::uint64_t file_size) {
  const std::uint32_t length = Le32(h + 8), next = Le32(h + 12);
  return Le32(h) == at && Le32(h + 4) == kBlockData && length <= kBlockData &&
         (next == 0 || (next != at && next % 4 == 0 && next < file_size));
}

enum class Chain { kWhole, kCut, kNone };

// Appends the message whose blocks start at first; kCut when damage ends it
// part way, kNone when there is nothing to read.
Chain ReadChain(const Folder& folder, std::uint32_t first, std::string& out) {
  std::unordered_set<std::uint32_t> seen;
  for (std::uint32_t at = first; at != 0;) {
    unsigned char h[kBlockHeader];
    if (!seen.insert(at).second || !folder.Read(at, h, sizeof h) || Le32(h) != at || Le32(h + 8) > kBlockData ||
        Le32(h + 8) > Le32(h + 4))
      return out.empty() ? Chain::kNone : Chain::kCut;
    const std::uint32_t length = Le32(h + 8);
    if (out.size() + length > kMaxMessageBytes) {
      out.clear();
      return Chain::kNone;
    }
    if (!folder.Append(std::uint64_t{at} + kBlockHeader, length, out)) return out.empty() ? Chain::kNone : Chain::kCut;
    at = Le32(h + 12);
  }
  return out.empty() ? Chain::kNone : Chain::kWhole;
}

// The first blocks of the chains that no other block continues, in the
// file's order: the messages of a folder whose tree is damaged, found from
// the blocks themselves.  Freed blocks have another header and are passed over.
std::vector<std::uint32_t> ChainStarts(const Folder& folder) {
  std::vector<std::uint32_t> blocks, continued;
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::vector<unsigned char> piece(kPiece + kBlockHeader);
  std::uint64_t base = 0, held = 0;  // the file's bytes [base, base + held) are in piece
  for (std::uint64_t at = kHeaderBytes; at + kBlockHeader <= folder.size(); at += 4) {
    if (at < base || at + kBlockHeader > base + held) {
      base = at;
      held = std::min<std::uint64_t>(piece.size(), folder.size() - at);
      if (!folder.Read(base, piece.data(), static_cast<std::size_t>(held))) break;
    }
    const unsigned char* h = piece.data() + (at - base);
    if (!BlockHeader(h, at, folder.size())) continue;
    blocks.push_back(static_cast<std::uint32_t>(at));
    if (const std::uint32_t next = Le32(h + 12); next != 0) continued.push_back(next);
    // Blocks do not overlap: the next one starts after this one at the
    // earliest, which also bounds how many a hostile file can make.
    at += kBlockHeader + kBlockData - 4;
  }
  std::sort(continued.begin(), continued.end());
  std::vector<std::uint32_t> starts;
  for (std::uint32_t b : blocks)
    if (!std::binary_search(continued.begin(), continued.end(), b)) starts.push_back(b);
  return starts;
}

// What a folder's reading came to.
struct Tally {
  explicit Tally(std::uint64_t file_size) : budget(2 * file_size + (std::uint64_t{64} << 20)) {}

  std::size_t written = 0;
  std::size_t unreadable = 0;
  std::size_t cut = 0;
  std::size_t recovered = 0;
  std::size_t encrypted = 0;
  std::string damage;  // what is wrong with the folder beyond single messages
  // Messages do not share blocks, so their bytes add up to less than the
  // file; a hostile tree whose entries all lead into one long chain would
  // read it again for each.  Past the budget the rest is left out.
  std::uint64_t budget;
  std::uint64_t bytes_read = 0;

  bool Spent() {
    if (bytes_read <= budget) return false;
    if (damage.empty()) damage = "its entries lead to the same blocks again and again; the rest is left out";
    return true;
  }

  void Message(std::string bytes, Chain chain, TextSink& sink) {
    bytes_read += bytes.size();
    if (chain == Chain::kNone) {
      ++unreadable;
      return;
    }
    if (chain == Chain::kCut) ++cut;
    if (!WriteFolderMessage(std::move(bytes), sink, &written, &encrypted)) ++unreadable;
    // A folder of many messages is long work, not a hang.
    NoteProgress();
  }

  ExtractResult Result(const TextSink& sink) const {
    if (written == 0)
      return ExtractResult::Failed(unreadable > 0 || !damage.empty() ? "no message could be read from the mail folder"
                                                                     : "the mail folder holds no messages");
    std::vector<std::string> notes;
    if (sink.full()) notes.push_back("the text was cut at the size limit");
    if (!damage.empty())
      notes.push_back(damage + (recovered > 0 ? "; " + std::to_string(recovered) + " message(s) were found from its blocks"
                                              : std::string()));
    if (unreadable > 0) notes.push_back(std::to_string(unreadable) + " message(s) could not be read");
    if (cut > 0) notes.push_back(std::to_string(cut) + " message(s) were cut short by damage");
    if (encrypted > 0) notes.push_back(EncryptedReason(encrypted));
    return ExtractResult::PartlyRead(notes);
  }
};

ExtractResult ReadVersion5(const Folder& folder, const unsigned char* head, TextSink& sink) {
  Tally tally(folder.size());
  const std::uint32_t count = Le32(head + 0xC4), root = Le32(head + 0xE4);
  TreeWalk tree(folder);
  // An empty folder has neither entries nor a tree; a tree is read whatever
  // the count says, which damage may have changed.
  if (root != 0) tree.Visit(root, 0);
  else if (count > 0) tree.damaged = true;
  std::unordered_set<std::uint32_t> read;
  for (std::uint32_t info : tree.entries) {
    if (sink.full() || tally.Spent()) break;
    std::uint32_t first = 0;
    if (!MessageStart(folder, info, &first)) {
      ++tally.unreadable;
      continue;
    }
    if (first == 0 || !read.insert(first).second) continue;
    std::string bytes;
    const Chain chain = ReadChain(folder, first, bytes);
    tally.Message(std::move(bytes), chain, sink);
  }
  // Entries lost with a damaged part of the tree: their messages are still
  // in the blocks.
  if (tree.damaged) {
    tally.damage = "the folder's index is damaged";
    for (std::uint32_t first : ChainStarts(folder)) {
      if (sink.full() || tally.Spent()) break;
      if (read.count(first)) continue;
      std::string bytes;
      const Chain chain = ReadChain(folder, first, bytes);
      const std::size_t before = tally.written;
      tally.Message(std::move(bytes), chain, sink);
      tally.recovered += tally.written - before;
    }
  }
  return tally.Result(sink);
}

// Where the next version 4 message header starts at or after from, or the
// file's size: the way past a damaged one.
std::uint64_t NextV4Message(const Folder& folder, std::uint64_t from) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string piece(kPiece + 3, '\0');
  static constexpr char kMagic[] = {'\0', '\x7F', '\0', '\x7F'};
  for (std::uint64_t base = from; base + 4 <= folder.size(); base += kPiece) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), folder.size() - base));
    if (!folder.Read(base, piece.data(), n)) break;
    const std::string_view view(piece.data(), n);
    const std::size_t at = view.find(std::string_view(kMagic, 4));
    if (at != std::string_view::npos && at < kPiece) return base + at;
  }
  return folder.size();
}

ExtractResult ReadVersion4(const Folder& folder, TextSink& sink) {
  Tally tally(folder.size());
  std::uint64_t at = kV4Header;
  while (at + kBlockHeader <= folder.size() && !sink.full()) {
    unsigned char h[kBlockHeader];
    const bool header = folder.Read(at, h, sizeof h) && Le32(h) == kV4Magic;
    const std::uint32_t total = header ? Le32(h + 8) : 0, length = header ? Le32(h + 12) : 0;
    if (!header || total < kBlockHeader || length > total - kBlockHeader || total > folder.size() - at) {
      tally.damage = "damaged parts of the folder were passed over";
      at = NextV4Message(folder, at + 1);
      continue;
    }
    std::string bytes;
    Chain chain = Chain::kNone;
    if (length <= kMaxMessageBytes && folder.Append(at + kBlockHeader, length, bytes) && !bytes.empty())
      chain = Chain::kWhole;
    tally.Message(std::move(bytes), chain, sink);
    at += total;
  }
  return tally.Result(sink);
}

class DbxFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "dbx", sink)) return *r;
    const Folder folder(path);
    if (!folder.open()) return ExtractResult::Failed(std::string("cannot open the mail folder: ") + std::strerror(errno));
    unsigned char head[0x100] = {};
    if (!folder.Read(0, head, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, folder.size()))))
      return ExtractResult::Failed("cannot read the mail folder");
    if (std::memcmp(head, "JMF6", 4) == 0) return ReadVersion4(folder, sink);
    if (std::memcmp(head, "\xCF\xAD\x12\xFE", 4) != 0)
      return ExtractResult::UnknownFormat("not an Outlook Express mail folder");
    if (head[4] == 0xC6) return ExtractResult::Failed("Outlook Express's list of folders, which holds no messages");
    if (std::memcmp(head + 4, "\xC5\xFD\x74\x6F", 4) != 0)
      return ExtractResult::Failed("an Outlook Express file that holds no messages");
    if (folder.size() < kHeaderBytes) return ExtractResult::Failed("the mail folder is damaged: its header is cut short");
    return ReadVersion5(folder, head, sink);
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateDbxFilter() { return std::make_unique<DbxFilter>(); }

}  // namespace quarn

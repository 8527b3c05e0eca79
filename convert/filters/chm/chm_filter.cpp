#include "convert/filters/chm/chm_filter.h"

#include <chm_lib.h>
#include <libxml/HTMLparser.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "convert/filters/common/file_bytes.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/markup/html_filter.h"
#include "convert/filters/members.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Objects larger than this are damaged or hostile; pages are far smaller.
constexpr std::uint64_t kMaxObjectBytes = std::uint64_t{64} << 20;
constexpr std::size_t kMaxPages = 100000;

struct ChmClose {
  void operator()(chmFile* f) const { chm_close(f); }
};
struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && LowerAscii(s.substr(s.size() - tail.size())) == tail;
}

// A whole object, or nullopt when it is missing or implausibly large.
std::optional<std::string> ReadObject(chmFile* file, const std::string& path) {
  chmUnitInfo ui{};
  if (chm_resolve_object(file, path.c_str(), &ui) != CHM_RESOLVE_SUCCESS) return std::nullopt;
  if (ui.length > kMaxObjectBytes) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(ui.length), '\0');
  if (ui.length == 0) return bytes;
  LONGUINT64 got = chm_retrieve_object(file, &ui, reinterpret_cast<unsigned char*>(bytes.data()), 0,
                                       static_cast<LONGINT64>(ui.length));
  bytes.resize(static_cast<std::size_t>(std::min<LONGUINT64>(got, ui.length)));
  return bytes;
}

// A page reference of the contents as a path inside the file: without its
// anchor, without an "its:" prefix, and absolute from the contents' folder.
std::string PagePath(std::string ref, const std::string& folder) {
  if (std::size_t hash = ref.find('#'); hash != std::string::npos) ref.resize(hash);
  if (std::size_t sep = ref.find("::"); sep != std::string::npos) {
    ref = ref.substr(sep + 2);
  } else if (std::size_t colon = ref.find(':'); colon != std::string::npos && colon < ref.find('/')) {
    return {};  // a web address or another scheme: not a page of this file
  }
  if (ref.empty()) return {};
  std::string path = ref.front() == '/' ? ref : folder + ref;
  // Resolve "." and ".." segments.
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string seg = path.substr(start, slash - start);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    start = slash + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out;
}

// The "Local" values of the contents' <param> elements, in document order.
void CollectLocals(xmlNode* node, const std::string& folder, std::vector<std::string>& out, int depth = 0) {
  if (depth > 256) return;
  for (xmlNode* n = node; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE && xmlStrcasecmp(n->name, BAD_CAST "param") == 0) {
      xmlChar* name = xmlGetProp(n, BAD_CAST "name");
      if (name && xmlStrcasecmp(name, BAD_CAST "Local") == 0) {
        if (xmlChar* value = xmlGetProp(n, BAD_CAST "value")) {
          std::string p = PagePath(reinterpret_cast<const char*>(value), folder);
          if (!p.empty()) out.push_back(p);
          xmlFree(value);
        }
      }
      if (name) xmlFree(name);
    }
    if (n->children) CollectLocals(n->children, folder, out, depth + 1);
  }
}

// The contents file named in the #SYSTEM object (code 0), or empty.
std::string SystemContentsFile(chmFile* file) {
  auto system = ReadObject(file, "/#SYSTEM");
  if (!system || system->size() < 4) return {};
  const std::string& s = *system;
  for (std::size_t at = 4; at + 4 <= s.size();) {
    unsigned code = static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
    std::size_t len = static_cast<unsigned char>(s[at + 2]) | static_cast<unsigned char>(s[at + 3]) << 8;
    at += 4;
    if (at + len > s.size()) break;
    if (code == 0) {
      std::string name = s.substr(at, len);
      while (!name.empty() && name.back() == '\0') name.pop_back();
      return name.empty() ? name : PagePath(name, "/");
    }
    at += len;
  }
  return {};
}

// A number of the directory's entries: seven bits a byte, the high bit set
// on all but the last.
bool ReadEncint(const unsigned char*& p, const unsigned char* end, std::uint64_t* value) {
  std::uint64_t v = 0;
  for (int i = 0; i < 9 && p < end; ++i) {
    const unsigned char b = *p++;
    v = v << 7 | (b & 0x7F);
    if (!(b & 0x80)) {
      *value = v;
      return true;
    }
  }
  return false;
}

// Whether every link between the blocks of the file's directory leads
// somewhere new.  chmlib follows them without looking back: a listing block
// whose next is itself (or one before it) keeps its listing going for ever,
// and an index block that leads back to one above it keeps every look-up of
// a name (its opening does three) going for ever.  Both are checked here,
// before chmlib sees the file; a link out of the file or to a block of
// another kind is left to chmlib, which stops there.
bool DirectoryLinksEnd(const std::string& path) {
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0) return true;  // chmlib says it cannot open it
  const auto size = static_cast<std::uint64_t>(st.st_size);
  unsigned char itsf[0x58], itsp[0x54];
  if (!ReadAt(file.fd, 0, itsf, sizeof itsf) || std::memcmp(itsf, "ITSF", 4) != 0) return true;
  const std::uint64_t header_at = Le32(itsf + 0x48) | std::uint64_t{Le32(itsf + 0x4C)} << 32;
  if (header_at > size || !ReadAt(file.fd, header_at, itsp, sizeof itsp) || std::memcmp(itsp, "ITSP", 4) != 0)
    return true;
  const std::uint64_t blocks_at = header_at + Le32(itsp + 0x08);
  const std::uint32_t block_len = Le32(itsp + 0x10);
  if (block_len < 0x20 || block_len > (1U << 20)) return true;  // chmlib reads nothing
  const auto root = static_cast<std::int32_t>(Le32(itsp + 0x1C));
  const auto head = static_cast<std::int32_t>(Le32(itsp + 0x20));
  std::vector<unsigned char> block(block_len);
  // Reads block n into `block`; false where chmlib's read would fail too.
  auto read_block = [&](std::int64_t n) {
    return n >= 0 && blocks_at + (static_cast<std::uint64_t>(n) + 1) * block_len <= size &&
           ReadAt(file.fd, blocks_at + static_cast<std::uint64_t>(n) * block_len, block.data(), block_len);
  };

  // The chain of listing blocks, from the first.
  std::unordered_set<std::int64_t> listed;
  for (std::int64_t n = head; n != -1;) {
    if (!listed.insert(n).second) return false;
    if (!read_block(n) || std::memcmp(block.data(), "PMGL", 4) != 0) break;
    n = static_cast<std::int32_t>(Le32(block.data() + 16));
  }

  // The tree of index blocks, from its root: depth first, a block met again
  // while below itself is a loop.
  if (root < 0) return true;  // no index: names are looked up in the first listing block
  enum : char { kBelow = 1, kDone = 2 };
  std::unordered_map<std::int64_t, char> state;
  struct Visit {
    std::int64_t block;
    std::vector<std::int64_t> children;
    std::size_t next = 0;
  };
  std::vector<Visit> path_down;
  auto enter = [&](std::int64_t n) {
    state[n] = kBelow;
    Visit v{n, {}};
    if (read_block(n) && std::memcmp(block.data(), "PMGI", 4) == 0) {
      // Entries start before the block's free space; as in chmlib, the last
      // one may run on into it.
      const std::uint32_t free_space = Le32(block.data() + 4);
      const unsigned char* p = block.data() + 8;
      const unsigned char* block_end = block.data() + block_len;
      const unsigned char* end = block_end - std::min<std::uint32_t>(free_space, block_len - 8);
      std::uint64_t name_len = 0, child = 0;
      while (p < end && ReadEncint(p, block_end, &name_len) && name_len <= 512 &&
             name_len <= static_cast<std::uint64_t>(block_end - p)) {
        p += name_len;
        if (!ReadEncint(p, block_end, &child)) break;
        v.children.push_back(static_cast<std::int64_t>(child));
      }
    }
    path_down.push_back(std::move(v));
  };
  enter(root);
  while (!path_down.empty()) {
    Visit& v = path_down.back();
    if (v.next == v.children.size()) {
      state[v.block] = kDone;
      path_down.pop_back();
      continue;
    }
    const std::int64_t child = v.children[v.next++];
    const auto it = state.find(child);
    if (it == state.end()) {
      enter(child);
    } else if (it->second == kBelow) {
      return false;
    }
  }
  return true;
}

// While it lives, memory the process allocates comes filled with zeros and
// memory it frees is overwritten.  chmlib's decompression does not fill the
// whole of its window before a damaged file's back-references read from it:
// they would copy whatever the memory last held, which in a converter that
// read other documents before is their text.  Zeros read as no text.
class ZeroedAllocations {
 public:
  // Allocations are filled with the complement of the byte (zeros), freed
  // memory with the byte itself.
  ZeroedAllocations() { ::mallopt(M_PERTURB, 0xFF); }
  ~ZeroedAllocations() { ::mallopt(M_PERTURB, 0); }
  ZeroedAllocations(const ZeroedAllocations&) = delete;
  ZeroedAllocations& operator=(const ZeroedAllocations&) = delete;
};

class ChmFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Sniffed what = SniffContent(path);
    if (what.kind != ContentKind::kHelp) {
      if (auto r = ExtractRedirected(path, "chm", sink)) return *r;
      return ExtractResult::UnknownFormat("not a compiled help file");
    }
    if (!DirectoryLinksEnd(path))
      return ExtractResult::Failed("the help file is damaged: its directory leads back into itself");
    const ZeroedAllocations zeroed;  // before chmlib allocates anything
    std::unique_ptr<chmFile, ChmClose> file(chm_open(path.c_str()));
    if (!file) return ExtractResult::Failed("the help file is damaged: its directory cannot be read");

    struct Listing {
      std::vector<std::string> pages, contents;
    } listing;
    chm_enumerate(
        file.get(), CHM_ENUMERATE_NORMAL | CHM_ENUMERATE_FILES,
        [](chmFile*, chmUnitInfo* ui, void* context) -> int {
          auto* l = static_cast<Listing*>(context);
          std::string p(ui->path, strnlen(ui->path, sizeof ui->path));
          if (EndsWith(p, ".htm") || EndsWith(p, ".html")) l->pages.push_back(p);
          else if (EndsWith(p, ".hhc")) l->contents.push_back(p);
          return l->pages.size() < kMaxPages ? CHM_ENUMERATOR_CONTINUE : CHM_ENUMERATOR_SUCCESS;
        },
        &listing);

    std::string contents = SystemContentsFile(file.get());
    if (contents.empty() && !listing.contents.empty()) contents = listing.contents.front();
    std::vector<std::string> order;
    if (!contents.empty()) {
      if (auto hhc = ReadObject(file.get(), contents)) {
        std::unique_ptr<xmlDoc, DocFree> doc(htmlReadMemory(
            hhc->data(), static_cast<int>(hhc->size()), nullptr, nullptr,
            HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_RECOVER));
        if (doc) CollectLocals(xmlDocGetRootElement(doc.get()), contents.substr(0, contents.rfind('/') + 1), order);
      }
    }
    for (const std::string& p : listing.pages) order.push_back(p);

    std::set<std::string> seen;
    std::size_t pages = 0, missing = 0;
    ContainerBudget& budget = sink.budget();
    const ContainerLimits limits;
    for (const std::string& page : order) {
      if (sink.full()) break;
      if (!seen.insert(LowerAscii(page)).second) continue;
      auto html = ReadObject(file.get(), page);
      if (!html) {
        ++missing;
        continue;
      }
      budget.unpacked_bytes += html->size();
      if (budget.unpacked_bytes > limits.max_total_bytes)
        return ExtractResult::Incomplete("the help file unpacks to more than 1024 MiB; the rest is left out");
      // A page's <title> is not shown in the help viewer's page (it nearly
      // always repeats the page's heading).
      ExtractHtmlText(*html, "", sink, HtmlTitle::kDropped);
      sink.EndLine();
      sink.EndChunk();
      ++pages;
    }
    if (pages == 0) return ExtractResult::Failed("the help file holds no page that can be read");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (missing > 0)
      return ExtractResult::Incomplete(std::to_string(missing) + " page(s) of the contents could not be read");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateChmFilter() { return std::make_unique<ChmFilter>(); }

}  // namespace quarn

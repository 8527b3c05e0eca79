#include "convert/filters/archive/archive_filter.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "convert/filters/builtin.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

struct ReaderFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;

using SupportFn = int (*)(archive*);

// The decompression filters, each only when libarchive does it in-process: a
// filter that would run an external program (ARCHIVE_WARN) is left out.
const std::vector<SupportFn>& UsableFilters() {
  static const std::vector<SupportFn> usable = [] {
    std::vector<SupportFn> out;
    for (SupportFn fn : {archive_read_support_filter_gzip, archive_read_support_filter_bzip2,
                         archive_read_support_filter_xz, archive_read_support_filter_lzma,
                         archive_read_support_filter_lzip, archive_read_support_filter_zstd,
                         archive_read_support_filter_lz4, archive_read_support_filter_compress}) {
      Reader probe(archive_read_new());
      if (probe && fn(probe.get()) == ARCHIVE_OK) out.push_back(fn);
    }
    return out;
  }();
  return usable;
}

// A reader of the archive at path; with raw_only, of the one compressed file
// it is, whatever that file holds.
Reader OpenReader(const std::string& path, std::string* error, bool raw_only = false) {
  Reader a(archive_read_new());
  if (!a) {
    *error = "out of memory";
    return nullptr;
  }
  // An empty stream inside a compression filter is an empty compressed
  // file, not an unknown format.
  archive_read_support_format_empty(a.get());
  if (raw_only) {
    archive_read_support_format_raw(a.get());
  } else {
    for (SupportFn fn : {archive_read_support_format_7zip, archive_read_support_format_ar,
                         archive_read_support_format_cab, archive_read_support_format_cpio,
                         archive_read_support_format_iso9660, archive_read_support_format_lha,
                         archive_read_support_format_rar, archive_read_support_format_rar5,
                         archive_read_support_format_tar, archive_read_support_format_xar,
                         archive_read_support_format_zip, archive_read_support_format_raw})
      fn(a.get());
  }
  for (SupportFn fn : UsableFilters()) fn(a.get());
  if (archive_read_open_filename(a.get(), path.c_str(), 64 * 1024) != ARCHIVE_OK) {
    const char* e = archive_error_string(a.get());
    *error = e ? e : "unreadable";
    return nullptr;
  }
  return a;
}

bool MentionsPassphrase(const char* error) {
  if (!error) return false;
  std::string e = LowerAscii(error);
  return e.find("passphrase") != std::string::npos || e.find("encrypted") != std::string::npos ||
         e.find("password") != std::string::npos;
}

// The name a gzip stream gives the file inside (its FNAME field), or empty.
std::string GzipInnerName(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[10];
  if (!in.read(head, sizeof head) || head[0] != '\x1F' || head[1] != '\x8B') return {};
  const unsigned flags = static_cast<unsigned char>(head[3]);
  if (flags & 0x04) {  // FEXTRA: a length, then that many bytes
    unsigned char len[2];
    if (!in.read(reinterpret_cast<char*>(len), 2)) return {};
    in.seekg(len[0] | (len[1] << 8), std::ios::cur);
  }
  if (!(flags & 0x08)) return {};
  std::string name;
  for (char c; name.size() < 1024 && in.get(c) && c != '\0';) name.push_back(c);
  return name;
}

// The name of the file inside a single compressed file: the name the gzip
// header keeps, else the outer name without its compression extension.
std::string InnerName(const std::string& path) {
  std::string stored = GzipInnerName(path);
  if (!stored.empty()) return MemberBaseName(stored);
  std::string base = MemberBaseName(path);
  std::size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) return base;
  std::string ext = LowerAscii(std::string_view(base).substr(dot));
  for (std::string_view c : {".gz", ".bz2", ".xz", ".zst", ".lz4", ".lz", ".lzma", ".z"})
    if (ext == c) return base.substr(0, dot);
  return base.substr(0, dot);
}

// A zip member's name written without the zip's UTF-8 flag, in the code page
// of the system that made the zip: DOS code page 437, or Shift-JIS from
// Japanese Windows.  Shift-JIS when the bytes decode as it throughout and
// look like Japanese words: two-byte characters in a row, or mostly with a
// second byte beyond ASCII (a code page 437 letter stands alone between ASCII
// letters: "\x8Enderung" is "Änderung"); else code page 437, which gives
// every byte a character.
std::string LegacyZipName(std::string_view raw) {
  std::size_t high_trail = 0, ascii_trail = 0, run = 0, longest_run = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(raw[i]);
    if (c < 0x80 || (c >= 0xA1 && c <= 0xDF)) {  // ASCII, half-width katakana
      run = 0;
      continue;
    }
    const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    const unsigned char t = i + 1 < raw.size() ? static_cast<unsigned char>(raw[i + 1]) : 0;
    if (!lead || t < 0x40 || t == 0x7F || t > 0xFC) return DecodeToUtf8(raw, "CP437");
    ++(t >= 0x80 ? high_trail : ascii_trail);
    longest_run = std::max(longest_run, ++run);
    ++i;
  }
  if (longest_run >= 2 || high_trail > ascii_trail) {
    std::string name = DecodeToUtf8(raw, "SHIFT_JIS");
    if (name.find("\xEF\xBF\xBD") == std::string::npos) return name;
  }
  return DecodeToUtf8(raw, "CP437");
}

// Whether archives of this format are usually compressed as a whole (a
// .tar.gz); a compressed archive of another format (a zip, a 7z) is a file
// someone compressed, named for what it is inside.
bool MadeToBeCompressedWhole(int format) {
  const int base = format & ARCHIVE_FORMAT_BASE_MASK;
  return base == ARCHIVE_FORMAT_TAR || base == ARCHIVE_FORMAT_CPIO || base == ARCHIVE_FORMAT_AR ||
         base == ARCHIVE_FORMAT_RAW;
}

std::string Mib(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

class ArchiveReader {
 public:
  ArchiveReader(archive* a, TextSink& sink, const ContainerLimits& limits)
      : a_(a), sink_(sink), limits_(limits), budget_(sink.budget()) {}

  ExtractResult Read(const std::string& path) {
    for (int failures = 0;;) {
      if (sink_.full()) return Finish("the text was cut at the size limit");
      archive_entry* entry = nullptr;
      int r = archive_read_next_header(a_, &entry);
      if (r == ARCHIVE_EOF) {
        if (entries_ == 0 && archive_format(a_) == ARCHIVE_FORMAT_EMPTY) {
          if (archive_filter_count(a_) <= 1)
            return ExtractResult::UnknownFormat("not an archive that can be read: the file is empty");
          return ExtractResult::Ok();  // an empty compressed file: no text, and nothing wrong
        }
        break;
      }
      if (r == ARCHIVE_RETRY && ++failures < 16) continue;
      if (r < ARCHIVE_WARN) {
        const char* e = archive_error_string(a_);
        if (entries_ == 0) {
          if (MentionsPassphrase(e)) return ExtractResult::Password();
          return ExtractResult::UnknownFormat(std::string("not an archive that can be read: ") +
                                              (e ? e : "unknown format"));
        }
        stop_ = std::string("the archive is damaged after ") + std::to_string(entries_) + " members" +
                (e ? std::string(": ") + e : std::string());
        // A damaged header may still let the next one be found; a fatal
        // error, or damage after damage, ends the archive.
        if (r == ARCHIVE_FATAL || ++failures >= 16) break;
        continue;
      }
      failures = 0;
      if (entries_++ == 0 && archive_format(a_) == ARCHIVE_FORMAT_RAW) {
        // Without a compression filter, "raw" is any file at all.
        if (archive_filter_count(a_) <= 1) return ExtractResult::UnknownFormat("not an archive or compressed file");
        return ReadSingle(path, entry);
      }
      if (entries_ == 1 && archive_filter_count(a_) > 1 && !MadeToBeCompressedWhole(archive_format(a_))) {
        // A compressed zip is one compressed file (a .docx.gz, an .odt.gz):
        // read as the document its inner name says, not as the zip inside it.
        return ReadCompressedFile(path);
      }
      if (!Entry(entry)) break;
    }
    return Finish({});
  }

 private:
  // One member; false when the archive cannot go on.
  bool Entry(archive_entry* entry) {
    const mode_t type = archive_entry_filetype(entry);
    if (++budget_.members > limits_.max_members) {
      stop_ = "the archive holds more than " + std::to_string(limits_.max_members) + " members; the rest are left out";
      return false;
    }
    const char* utf8 = archive_entry_pathname_utf8(entry);
    const char* raw = archive_entry_pathname(entry);
    std::string name = utf8 ? utf8 : raw ? raw : "";
    if (!utf8 && raw && !IsValidUtf8(name)) {
      const int format = archive_format(a_) & ARCHIVE_FORMAT_BASE_MASK;
      // Names the archive keeps as bytes, in the code page of the system that
      // wrote it: zip's own legacy code pages; for Unix archives (tar, cpio,
      // ar) from before UTF-8, Latin-1 in its Windows superset.
      if (format == ARCHIVE_FORMAT_ZIP)
        name = LegacyZipName(name);
      else if (format == ARCHIVE_FORMAT_TAR || format == ARCHIVE_FORMAT_CPIO || format == ARCHIVE_FORMAT_AR)
        name = DecodeToUtf8(name, "WINDOWS-1252");
    }
    for (char& c : name)
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (name.empty()) name = "(unnamed)";
    const char* hardlink = archive_entry_hardlink(entry);
    if (type == AE_IFLNK || hardlink) {
      const char* target = hardlink ? hardlink : archive_entry_symlink(entry);
      Header(name + " (link to " + (target ? target : "?") + ")");
      return Skip();
    }
    if (type == AE_IFDIR) {
      // A folder is named, so that empty ones are seen too; its files follow.
      if (name.back() != '/') name.push_back('/');
      Header(name);
      return true;
    }
    // A member without a file type is a file: some 7z writers keep a Unix
    // mode of permissions alone (links and folders were told apart above).
    if (type != AE_IFREG && type != 0) {
      Header(name);
      return Skip();
    }
    if (archive_entry_is_encrypted(entry)) {
      ++protected_;
      Header(name + " (password-protected)");
      return Skip();
    }
    if (archive_entry_size_is_set(entry) && static_cast<std::uint64_t>(archive_entry_size(entry)) > limits_.max_member_bytes) {
      Fail(name, "larger than " + Mib(limits_.max_member_bytes));
      return Skip();
    }
    return ReadMember(name, entry, /*single=*/false);
  }

  // The member's data: the first block tells whether anything reads it; then
  // it goes to a file of the private folder and through its filter.
  bool ReadMember(const std::string& name, archive_entry* entry, bool single) {
    const std::int64_t raw_start = archive_filter_bytes(a_, -1);
    std::uint64_t member_bytes = 0;
    std::string block(64 * 1024, '\0');
    std::string why;
    bool damaged = false;
    auto next = [&]() -> la_ssize_t {
      la_ssize_t n = archive_read_data(a_, block.data(), block.size());
      if (n < 0) {
        const char* e = archive_error_string(a_);
        damaged = !MentionsPassphrase(e);
        why = damaged ? std::string("damaged: ") + (e ? e : "read error") : "password-protected";
        return n;
      }
      member_bytes += static_cast<std::uint64_t>(n);
      budget_.unpacked_bytes += static_cast<std::uint64_t>(n);
      const std::uint64_t stored =
          static_cast<std::uint64_t>(std::max<std::int64_t>(archive_filter_bytes(a_, -1) - raw_start, 1));
      if (member_bytes > limits_.max_member_bytes) {
        why = "unpacks to more than " + Mib(limits_.max_member_bytes);
      } else if (budget_.unpacked_bytes > limits_.max_total_bytes) {
        why = "the archive unpacks to more than " + Mib(limits_.max_total_bytes) + " in all";
        stop_ = why + "; the rest is left out";
      } else if (member_bytes > limits_.ratio_floor_bytes && member_bytes / stored > limits_.max_ratio) {
        why = "unpacks far beyond its stored size (a decompression bomb?)";
      }
      return why.empty() ? n : -1;
    };
    la_ssize_t n = next();
    if (n < 0) return Failed(name, why, single);
    if (n == 0 && !single) {  // an empty member: its name is all there is
      Header(name);
      return true;
    }
    std::string_view head(block.data(), static_cast<std::size_t>(n));
    if (single && (head.substr(0, 7) == "WARC/1." || head.substr(0, 7) == "WARC/0." || head.substr(0, 11) == "filedesc://") &&
        FindBuiltinFilter("warc")) {
      web_archive_ = true;
      return false;
    }
    bool wanted = HasFilterForName(sink_, name);
    if (!wanted) {
      Sniffed s = SniffHead(head);
      // A known kind, or a format its first bytes name (a database, a
      // WordPerfect letter, a DjVu book under a name no filter knows).
      wanted = (s.kind != ContentKind::kUnknown && s.kind != ContentKind::kEmpty) || !s.filter.empty();
      // A file without an extension may be plain text (README, a mailbox);
      // one under a name no filter knows is read when it plainly is text
      // (a rotated log "syslog.2", "changelog.Debian").
      std::string base = MemberBaseName(name);
      if (!wanted && s.kind == ContentKind::kUnknown &&
          (base.find('.', 1) == std::string::npos || ReadableTextUnderUnknownName(head)))
        wanted = true;
    }
    if (wanted && !single && ++budget_.read > limits_.max_read_members) {
      if (budget_.read == limits_.max_read_members + 1)
        Note("", "more than " + std::to_string(limits_.max_read_members) + " members; the rest are named only");
      wanted = false;
    }
    if (!wanted) {
      if (single) return false;
      Header(name);
      return SkipRest();
    }
    MemberFile file(folder_, name);
    bool written = file.Write(head);
    bool cut_short = false;
    while (written && n > 0) {
      n = next();
      if (n < 0) {
        // Damage part way (a truncated file): what was unpacked before it is
        // read, and the member reported cut short.
        if (!damaged) return Failed(name, why, single);
        cut_short = true;
        break;
      }
      written = file.Write(std::string_view(block.data(), static_cast<std::size_t>(n)));
    }
    if (!written || !file.Close()) {
      // The private folder is full or cannot be made: no later member fares better.
      stop_ = file.error();
      Fail(name, file.error());
      return false;
    }
    (void)entry;
    TextSink member = MemberSink(sink_);
    ExtractResult r = ExtractMember(file.path(), member, limits_);
    using S = ExtractResult::Status;
    if (single) {
      single_result_ = r;
      if (cut_short && r.status != S::kPassword)
        single_result_ = member.empty() ? ExtractResult::Failed(why) : ExtractResult::Incomplete(why);
      AppendMemberText(member, sink_);
      return true;
    }
    if (cut_short && member.empty() && r.status != S::kPassword) {
      Fail(name, why);
      return SkipRest();
    }
    if (r.status == S::kPassword) {
      ++protected_;
      Header(name + " (password-protected)");
    } else if (r.status == S::kUnknownFormat && member.empty()) {
      // Not what its name says, and nothing else reads it (a .dat file that
      // is no TNEF stream): listed by name, like any member without a filter.
      Header(name);
    } else if ((r.status == S::kFailed || r.status == S::kUnknownFormat) && member.empty()) {
      Fail(name, r.reason);
    } else {
      Header(name);
      // The member's text with its last line ended.  Its last chunk stays
      // open, so that the blank line and the next member's name join it: a
      // new chunk would start that blank line with the space put between chunks.
      const std::vector<std::string>& chunks = member.chunks();
      for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0) sink_.EndChunk();
        sink_.Append(chunks[i]);
      }
      sink_.EndLine();
      sink_.CountRecognizedPages(member.recognized_pages());
      after_text_ = !member.empty();
      if (cut_short) Note(name, why);
      else if (r.status == S::kIncomplete || (r.status != S::kOk && !r.reason.empty())) Note(name, r.reason);
      return !cut_short || SkipRest();
    }
    return true;
  }

  bool Failed(const std::string& name, const std::string& why, bool single) {
    if (single) {
      single_result_ = why == "password-protected" ? ExtractResult::Password() : ExtractResult::Failed(why);
      return false;
    }
    if (why == "password-protected") {
      ++protected_;
      Header(name + " (password-protected)");
    } else {
      Fail(name, why);
    }
    // A member that was cut off is skipped to its end; when even that fails,
    // so does the archive.
    return stop_.empty() && SkipRest();
  }

  // Skips a member's data: cheap where the format can seek past it, else
  // read and counted against the budget, so skipping is bounded too.
  bool Skip() { return SkipRest(); }
  bool SkipRest() {
    const bool seekable = archive_filter_count(a_) <= 1 &&
                          (archive_format(a_) & ARCHIVE_FORMAT_BASE_MASK) != ARCHIVE_FORMAT_7ZIP &&
                          (archive_format(a_) & ARCHIVE_FORMAT_BASE_MASK) != ARCHIVE_FORMAT_RAR &&
                          (archive_format(a_) & ARCHIVE_FORMAT_BASE_MASK) != ARCHIVE_FORMAT_RAR_V5;
    if (seekable) {
      if (archive_read_data_skip(a_) >= ARCHIVE_WARN) return true;
      stop_ = "the archive is damaged after " + std::to_string(entries_) + " members";
      return false;
    }
    char buffer[64 * 1024];
    for (;;) {
      la_ssize_t n = archive_read_data(a_, buffer, sizeof buffer);
      if (n == 0) return true;
      if (n < 0) return true;  // the next header tells whether the archive goes on
      budget_.unpacked_bytes += static_cast<std::uint64_t>(n);
      if (budget_.unpacked_bytes > limits_.max_total_bytes) {
        stop_ = "the archive unpacks to more than " + Mib(limits_.max_total_bytes) + " in all; the rest is left out";
        return false;
      }
    }
  }

  // The file at path read again as one compressed file.
  ExtractResult ReadCompressedFile(const std::string& path) {
    std::string error;
    Reader raw = OpenReader(path, &error, /*raw_only=*/true);
    archive_entry* entry = nullptr;
    if (!raw || archive_read_next_header(raw.get(), &entry) < ARCHIVE_WARN)
      return ExtractResult::Failed("the compressed file cannot be read: " + error);
    return ArchiveReader(raw.get(), sink_, limits_).ReadSingle(path, entry);
  }

  ExtractResult ReadSingle(const std::string& path, archive_entry* entry) {
    const std::string inner = InnerName(path);
    single_result_ = ExtractResult::UnknownFormat("the compressed file holds " + inner + ", which no filter reads");
    ++budget_.members;
    ReadMember(inner, entry, /*single=*/true);
    // A compressed web archive (.warc.gz, many gigabytes once unpacked) is
    // read as it streams out of the compressed file, not unpacked first.
    if (web_archive_) return ExtractWithBuiltin("warc", path, sink_);
    return single_result_;
  }

  // A member's line; a blank line sets it off from the text of the member
  // before.  Names join the open chunk: a chunk of their own would start its
  // line with the space put between chunks.
  void Header(const std::string& line) {
    sink_.EndLine();
    if (after_text_) sink_.Append("\n");
    after_text_ = false;
    sink_.Line(line);
  }

  void Fail(const std::string& name, const std::string& why) {
    Header(name + " (not read: " + why + ")");
    if (failed_.size() < 3) failed_.push_back(name + ": " + why);
    ++failures_;
  }

  // A problem for the result; name is the member's, or empty for the archive's own.
  void Note(const std::string& name, const std::string& why) {
    if (name.empty()) {
      notes_.push_back(why);
      return;
    }
    if (failed_.size() < 3) failed_.push_back(name + ": " + why);
    ++failures_;
  }

  ExtractResult Finish(std::string cut) {
    std::vector<std::string> notes = notes_;
    if (!cut.empty()) notes.push_back(std::move(cut));
    if (!stop_.empty()) notes.push_back(stop_);
    if (failures_ > 0) {
      std::string s = std::to_string(failures_) + (failures_ == 1 ? " member was" : " members were") +
                      " not read whole (";
      for (std::size_t i = 0; i < failed_.size(); ++i) s += (i ? "; " : "") + failed_[i];
      notes.push_back(s + (failures_ > failed_.size() ? "; ...)" : ")"));
    }
    if (protected_ > 0)
      notes.push_back(std::to_string(protected_) + (protected_ == 1 ? " member is" : " members are") +
                      " password-protected");
    if (notes.empty()) return ExtractResult::Ok();
    std::string all;
    for (const std::string& n : notes) all += (all.empty() ? "" : "; ") + n;
    if (sink_.empty() && protected_ > 0 && failures_ == 0) return ExtractResult::Password();
    return sink_.empty() ? ExtractResult::Failed(all) : ExtractResult::Incomplete(all);
  }

  archive* a_;
  TextSink& sink_;
  const ContainerLimits& limits_;
  ContainerBudget& budget_;
  PrivateFolder folder_;
  std::uint64_t entries_ = 0;
  std::size_t failures_ = 0;
  std::size_t protected_ = 0;
  std::vector<std::string> failed_, notes_;
  std::string stop_;
  ExtractResult single_result_;
  bool after_text_ = false;
  bool web_archive_ = false;
};

class ArchiveFilter : public BuiltinFilter {
 public:
  explicit ArchiveFilter(const ContainerLimits& limits) : limits_(limits) {}

  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "archive", sink)) return *r;
    std::string error;
    Reader a = OpenReader(path, &error);
    if (!a) {
      if (MentionsPassphrase(error.c_str())) return ExtractResult::Password();
      return ExtractResult::UnknownFormat("not an archive that can be read: " + error);
    }
    return ArchiveReader(a.get(), sink, limits_).Read(path);
  }

 private:
  ContainerLimits limits_;
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateArchiveFilter(const ContainerLimits& limits) {
  return std::make_unique<ArchiveFilter>(limits);
}

}  // namespace quarn

#include "convert/filters/members.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "convert/filters/builtin.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/sniff.h"
#include "convert/registry.h"

namespace quarn {

namespace {

// The extension of a bare name: from its last "."; empty when there is none
// or the name starts with its only dot.
std::string_view NameExtension(std::string_view base) {
  std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return base.substr(dot);
}

// The built-in filter registered for an extension in the built-in table.
const BuiltinFilterInfo* BuiltinForExtension(std::string_view ext) {
  std::string lower = LowerAscii(ext);
  for (const BuiltinFilterInfo& f : BuiltinFilters())
    for (std::string_view e : f.extensions)
      if (e == lower) return &f;
  return nullptr;
}

// The filter class for a member file, through the document's registry.
std::string ClassFor(const Registry& registry, const std::string& path) {
  try {
    return FindFilterClass(registry, path);
  } catch (const std::exception&) {
    return {};  // a registration of the wrong type reads as none
  }
}

ExtractResult RunBuiltin(const BuiltinFilterInfo& info, const std::string& path, TextSink& sink) {
  std::string error;
  std::unique_ptr<BuiltinFilter> filter = CreateBuiltinFilter(info, &error);
  if (!filter) return ExtractResult::Failed(error);
  try {
    return filter->Extract(path, sink);
  } catch (const std::bad_alloc&) {
    return ExtractResult::Failed("out of memory");
  } catch (const std::exception& e) {
    return ExtractResult::Failed(e.what());
  }
}

// A filter plug-in of a shared object: read through the plug-in interface,
// in UTF-8, within what the sink has room for.
ExtractResult RunPlugin(const Registry& registry, const std::string& class_id, const std::string& path,
                        TextSink& sink) {
  FilterLimits limits;
  limits.max_text_bytes = sink.limit() - sink.size();
  FilterText text = ExtractWithFilterClass(registry, class_id, path, limits, "UTF-8");
  sink.Append(text.text);
  if (!text.text.empty() && text.text.find_first_not_of(' ') != std::string::npos) {
    return text.incomplete ? ExtractResult::Incomplete(text.problem) : ExtractResult::Ok();
  }
  if (text.problem == "the document is password-protected") return ExtractResult::Password();
  return ExtractResult::Failed(text.problem.empty() ? "the document has no text" : text.problem);
}

}  // namespace

PrivateFolder::~PrivateFolder() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string PrivateFolder::NewPath(std::string_view member_name, std::string* error) {
  if (path_.empty()) {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quarn-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {  // mode 0700
      if (error) *error = std::string("cannot make a private temporary folder: ") + std::strerror(errno);
      return {};
    }
    path_ = std::move(tmpl);
  }
  // A serial number, then the member's own extensions (".txt.gz" too), kept
  // to safe characters: the name never comes from the archive as a path.
  std::string base = MemberBaseName(member_name);
  std::size_t dot = base.find('.', 1);
  std::string tail;
  if (dot != std::string::npos) {
    for (char c : std::string_view(base).substr(dot, 40)) {
      unsigned char u = static_cast<unsigned char>(c);
      tail.push_back(std::isalnum(u) || c == '.' || c == '-' || c == '_' ? c : '_');
    }
  }
  return path_ + "/" + std::to_string(++serial_) + tail;
}

MemberFile::MemberFile(PrivateFolder& folder, std::string_view member_name) {
  path_ = folder.NewPath(member_name, &error_);
  if (path_.empty()) return;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = std::string("cannot write a temporary file: ") + std::strerror(errno);
    path_.clear();
  }
}

MemberFile::~MemberFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool MemberFile::Write(std::string_view bytes) {
  if (fd_ < 0) return false;
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = std::string("cannot write a temporary file: ") + std::strerror(n < 0 ? errno : ENOSPC);
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool MemberFile::Close() {
  if (fd_ < 0) return false;
  int fd = fd_;
  fd_ = -1;
  closed_ = true;
  if (::close(fd) != 0) {
    error_ = std::string("cannot write a temporary file: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::string MemberBaseName(std::string_view name) {
  while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.remove_suffix(1);
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string out;
  for (char c : name) out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '_' : c);
  return out.empty() ? std::string("unnamed") : out;
}

bool HasFilterForName(const TextSink& sink, std::string_view name) {
  std::string base = MemberBaseName(name);
  std::string_view ext = NameExtension(base);
  if (ext.empty()) return false;
  if (const Registry* registry = sink.nesting().registry) return !ClassFor(*registry, "x" + std::string(ext)).empty();
  return BuiltinForExtension(ext) != nullptr;
}

TextSink MemberSink(TextSink& parent) {
  TextSink member(parent.limit() - std::min(parent.limit(), parent.size()));
  const Nesting& n = parent.nesting();
  member.set_nesting(Nesting{n.registry, n.depth + 1, &parent.budget()});
  return member;
}

TextSink SideSink(TextSink& parent, std::size_t limit) {
  TextSink side(limit);
  const Nesting& n = parent.nesting();
  side.set_nesting(Nesting{n.registry, n.depth, &parent.budget()});
  return side;
}

namespace {

// The first 4 KiB of the file at path (fewer when it is shorter or cannot be read).
std::string Head(const std::string& path) {
  std::string head(4096, '\0');
  ssize_t n = -1;
  if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    n = ::pread(fd, head.data(), head.size(), 0);
    ::close(fd);
  }
  head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return head;
}

ExtractResult ReadMember(const std::string& path, TextSink& sink, const ContainerLimits& limits) {
  if (sink.nesting().depth > limits.max_depth)
    return ExtractResult::Failed("not read: nested more than " + std::to_string(limits.max_depth) + " levels deep");
  const std::string base = MemberBaseName(path);
  const std::string_view ext = NameExtension(base);
  if (!ext.empty()) {
    if (const Registry* registry = sink.nesting().registry) {
      std::string class_id = ClassFor(*registry, path);
      if (!class_id.empty()) {
        std::string server = registry->ReadDefaultText("Software\\Classes\\CLSID\\" + class_id + "\\InprocServer32");
        constexpr std::string_view kBuiltin = "builtin:";
        if (server.compare(0, kBuiltin.size(), kBuiltin) == 0) {
          const BuiltinFilterInfo* info = FindBuiltinFilter(std::string_view(server).substr(kBuiltin.size()));
          if (!info) return ExtractResult::Failed("unknown built-in filter " + server);
          return RunBuiltin(*info, path, sink);
        }
        return RunPlugin(*registry, class_id, path, sink);
      }
    } else if (const BuiltinFilterInfo* info = BuiltinForExtension(ext)) {
      return RunBuiltin(*info, path, sink);
    }
  }
  Sniffed what = SniffContent(path);
  if (!what.filter.empty())
    if (const BuiltinFilterInfo* info = FindBuiltinFilter(what.filter)) return RunBuiltin(*info, path, sink);
  if (what.kind == ContentKind::kEmpty) return ExtractResult::Ok();
  // Text under a name no filter knows is read as the text it is: a member
  // without an extension, a rotated log ("syslog.2"), a changelog
  // ("changelog.Debian"), the one file of a compressed file.
  if (what.kind == ContentKind::kUnknown && (ext.empty() || (what.text && ReadableTextUnderUnknownName(Head(path)))))
    if (const BuiltinFilterInfo* info = FindBuiltinFilter("text")) return RunBuiltin(*info, path, sink);
  return ExtractResult::UnknownFormat(ext.empty() ? std::string("no filter reads it")
                                                  : "no filter reads \"" + std::string(ext) + "\" files");
}

}  // namespace

ExtractResult ExtractMember(const std::string& path, TextSink& sink, const ContainerLimits& limits) {
  ExtractResult result = ReadMember(path, sink, limits);
  // A container of many members is long work, not a hang.
  NoteProgress();
  return result;
}

void AppendMemberText(const TextSink& member_sink, TextSink& parent) {
  for (const std::string& chunk : member_sink.chunks()) {
    parent.Append(chunk);
    parent.EndChunk();
  }
  parent.CountRecognizedPages(member_sink.recognized_pages());
}

void AppendMemberLines(const TextSink& member_sink, TextSink& parent) {
  const auto& chunks = member_sink.chunks();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    parent.Append(chunks[i]);
    if (i + 1 == chunks.size()) parent.EndLine();
    parent.EndChunk();
  }
  parent.CountRecognizedPages(member_sink.recognized_pages());
}

ExtractResult ExtractMemberBytes(PrivateFolder& folder, std::string_view name, std::string_view bytes,
                                 TextSink& member_sink, const ContainerLimits& limits) {
  if (member_sink.nesting().depth > limits.max_depth)
    return ExtractResult::Failed("not read: nested more than " + std::to_string(limits.max_depth) + " levels deep");
  MemberFile file(folder, name);
  if (!file.Write(bytes) || !file.Close()) return ExtractResult::Failed(file.error());
  return ExtractMember(file.path(), member_sink, limits);
}

bool ReadableTextUnderUnknownName(std::string_view head) {
  head = head.substr(0, 4096);
  if (!LooksLikeText(head) || head.starts_with("%!") || head.starts_with("-----BEGIN ")) return false;
  const auto blanks = std::count_if(head.begin(), head.end(), [](char c) { return c == ' ' || c == '\t'; });
  return head.size() < 200 || static_cast<std::size_t>(blanks) * 100 >= head.size();
}

bool IsPictureAttachment(std::string_view bytes) { return LooksLikePicture(bytes.substr(0, 4096)); }

}  // namespace quarn

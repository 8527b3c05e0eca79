#include "convert/registry.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "convert/charset.h"
#include "convert/filters/builtin.h"

#ifndef QUARN_INSTALL_PREFIX
#define QUARN_INSTALL_PREFIX "/usr/local"
#endif

namespace quarn {

namespace {

constexpr std::string_view kIFilterKey = "{89BCB740-6119-101A-BCB7-00DD010655AF}";

// UTF-16LE bytes to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) |
                                      (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), out);
        i += 2;
        continue;
      }
    }
    AppendUtf8(u, out);
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

// Maps a full key name to its path below HKEY_LOCAL_MACHINE; nullopt for
// keys under other roots, which Quarn never reads.
std::optional<std::string> MachinePath(std::string_view full) {
  std::size_t slash = full.find('\\');
  std::string_view root = full.substr(0, slash);
  std::string_view rest = slash == std::string_view::npos ? std::string_view{} : full.substr(slash + 1);
  if (IEquals(root, "HKEY_LOCAL_MACHINE") || IEquals(root, "HKLM")) return std::string(rest);
  if (IEquals(root, "HKEY_CLASSES_ROOT") || IEquals(root, "HKCR"))
    return rest.empty() ? std::string("Software\\Classes") : "Software\\Classes\\" + std::string(rest);
  return std::nullopt;
}

struct Operation {
  enum Kind { kSet, kDeleteValue, kDeleteKey } kind;
  std::string key;
  RegValue value;
};

class RegParser {
 public:
  RegParser(std::string_view text, std::string origin_dir, bool utf16)
      : text_(text), origin_dir_(std::move(origin_dir)), utf16_(utf16) {}

  bool Parse(std::vector<Operation>& ops, std::string* error) {
    std::size_t pos = 0;
    bool header_seen = false;
    std::optional<std::string> key;  // nullopt: no key yet or a foreign root
    bool in_key = false;
    while (pos < text_.size() || !header_seen) {
      if (pos >= text_.size()) return Fail(error, "the file is empty");
      std::string line = NextLogicalLine(pos);
      std::string_view l = Trim(line);
      if (!header_seen) {
        if (l.empty()) continue;
        if (l == "REGEDIT4") {
          utf16_hex2_ = false;
        } else if (l == "Windows Registry Editor Version 5.00") {
          utf16_hex2_ = true;
        } else {
          return Fail(error, "not a registry file (missing REGEDIT4 or version 5.00 header)");
        }
        header_seen = true;
        continue;
      }
      if (l.empty() || l.front() == ';') continue;
      if (l.front() == '[') {
        if (l.back() != ']') return Fail(error, "unterminated key name");
        std::string_view name = l.substr(1, l.size() - 2);
        bool remove = !name.empty() && name.front() == '-';
        if (remove) name.remove_prefix(1);
        if (name.empty()) return Fail(error, "empty key name");
        key = MachinePath(name);
        in_key = true;
        if (remove) {
          if (key) ops.push_back({Operation::kDeleteKey, *key, {}});
          key.reset();  // values after a removal header go nowhere
        }
        continue;
      }
      if (!in_key) return Fail(error, "a value before any key");
      std::string name;
      std::size_t at = 0;
      if (l.front() == '@') {
        at = 1;
      } else if (l.front() == '"') {
        at = 1;
        if (!ReadQuoted(l, at, name)) return Fail(error, "unterminated value name");
        name.insert(name.begin(), '"');  // mark as named
      } else {
        return Fail(error, "expected a key, a value or a comment");
      }
      while (at < l.size() && (l[at] == ' ' || l[at] == '\t')) ++at;
      if (at >= l.size() || l[at] != '=') return Fail(error, "expected '='");
      ++at;
      while (at < l.size() && (l[at] == ' ' || l[at] == '\t')) ++at;
      std::string_view data = l.substr(at);
      bool is_default = name.empty();
      if (data == "-") {
        if (is_default && key) ops.push_back({Operation::kDeleteValue, *key, {}});
        continue;
      }
      RegValue value;
      value.origin_dir = origin_dir_;
      if (!ParseData(data, value)) return Fail(error, "malformed value data");
      if (is_default && key) ops.push_back({Operation::kSet, *key, std::move(value)});
    }
    return true;
  }

 private:
  bool Fail(std::string* error, const std::string& what) const {
    if (error) *error = std::to_string(line_number_) + ": " + what;
    return false;
  }

  // One line, with hex data continued by a trailing backslash joined on.
  std::string NextLogicalLine(std::size_t& pos) {
    std::string out;
    bool first = true;
    for (;;) {
      std::size_t end = text_.find('\n', pos);
      std::string_view raw = text_.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
      pos = end == std::string_view::npos ? text_.size() : end + 1;
      ++line_number_;
      std::string_view l = Trim(raw);
      if (first) {
        out.assign(raw.begin(), raw.end());
        first = false;
      } else {
        out.append(l.begin(), l.end());
      }
      std::string_view t = Trim(out);
      // Only hex lists continue; a quoted string ending in "\" is a value.
      bool continues = !t.empty() && t.back() == '\\' && t.find("=hex") != std::string_view::npos;
      if (!continues || pos >= text_.size()) return out;
      while (!out.empty() && out.back() != '\\') out.pop_back();
      out.pop_back();
    }
  }

  static bool ReadQuoted(std::string_view l, std::size_t& at, std::string& out) {
    while (at < l.size()) {
      char c = l[at++];
      if (c == '"') return true;
      if (c == '\\' && at < l.size()) {
        char e = l[at++];
        out.push_back(e);  // \\ and \" stand for themselves
        continue;
      }
      out.push_back(c);
    }
    return false;
  }

  static bool ParseHexBytes(std::string_view list, std::string& out) {
    std::size_t i = 0;
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    while (i < list.size()) {
      while (i < list.size() && (list[i] == ' ' || list[i] == '\t')) ++i;
      if (i >= list.size()) break;
      if (i + 1 >= list.size()) return false;
      int hi = digit(list[i]), lo = digit(list[i + 1]);
      if (hi < 0 || lo < 0) return false;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
      while (i < list.size() && (list[i] == ' ' || list[i] == '\t')) ++i;
      if (i < list.size()) {
        if (list[i] != ',') return false;
        ++i;
      }
    }
    return true;
  }

  bool ParseData(std::string_view data, RegValue& value) const {
    if (!data.empty() && data.front() == '"') {
      std::size_t at = 1;
      std::string s;
      if (!ReadQuoted(data, at, s) || !Trim(data.substr(at)).empty()) return false;
      value.type = RegType::kString;
      value.data = std::move(s);
      return true;
    }
    if (data.substr(0, 6) == "dword:") {
      std::string_view digits = data.substr(6);
      if (digits.size() != 8 ||
          digits.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return false;
      std::uint32_t v = static_cast<std::uint32_t>(std::strtoul(std::string(digits).c_str(), nullptr, 16));
      value.type = RegType::kDword;
      value.data.assign(reinterpret_cast<const char*>(&v), 4);
      return true;
    }
    std::uint32_t type = 3;
    std::string_view list;
    if (data.substr(0, 4) == "hex:") {
      list = data.substr(4);
    } else if (data.substr(0, 4) == "hex(") {
      std::size_t close = data.find("):");
      if (close == std::string_view::npos || close == 4) return false;
      std::string digits(data.substr(4, close - 4));
      if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
      type = static_cast<std::uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
      list = data.substr(close + 2);
    } else {
      return false;
    }
    std::string bytes;
    if (!ParseHexBytes(list, bytes)) return false;
    value.type = static_cast<RegType>(type);
    if (type == 1 || type == 2 || type == 7) {
      value.data = utf16_hex2_ ? Utf16LeToUtf8(bytes) : bytes;
    } else {
      value.data = std::move(bytes);
    }
    return true;
  }

  std::string_view text_;
  std::string origin_dir_;
  bool utf16_;
  bool utf16_hex2_ = true;
  std::size_t line_number_ = 0;
};

// The text of a string value: up to its first NUL.  A value of another
// type reads as an error unless it is empty.
std::string TextOf(const RegValue& v) {
  if (v.type == RegType::kString || v.type == RegType::kExpandString) {
    std::size_t nul = v.data.find('\0');
    return nul == std::string::npos ? v.data : v.data.substr(0, nul);
  }
  if (v.data.empty()) return {};
  throw std::runtime_error("Invalid data type for ''");
}

constexpr std::string_view kClassesKey = "software\\classes\\";
constexpr std::string_view kHandlerKey = "\\persistenthandler";
constexpr std::string_view kClsidKey = "clsid\\";
constexpr std::string_view kServerKey = "inprocserver32";
constexpr std::string_view kAddinsKey = "persistentaddinsregistered\\";

// The value the built-in filters' registrations give a folded key: empty
// when they give it none.  Of two registrations of one key, the later
// filter's holds.
std::string BuiltinText(std::string_view folded) {
  if (!folded.starts_with(kClassesKey)) return {};
  std::string_view rest = folded.substr(kClassesKey.size());
  if (rest.starts_with('.') && rest.ends_with(kHandlerKey)) {
    const BuiltinFilterInfo* f = FindBuiltinFilterForExtension(rest.substr(0, rest.size() - kHandlerKey.size()));
    return f ? std::string(f->handler_id) : std::string();
  }
  if (!rest.starts_with(kClsidKey)) return {};
  rest.remove_prefix(kClsidKey.size());
  const std::size_t slash = rest.find('\\');
  if (slash == std::string_view::npos) return {};
  const std::string_view id = rest.substr(0, slash), below = rest.substr(slash + 1);
  const bool server = below == kServerKey;
  const bool addin = below.starts_with(kAddinsKey) && IEquals(below.substr(kAddinsKey.size()), kIFilterKey);
  if (!server && !addin) return {};
  const std::span<const BuiltinFilterInfo> filters = BuiltinFilters();
  for (auto f = filters.rbegin(); f != filters.rend(); ++f) {
    if (server && IEquals(id, f->class_id)) return "builtin:" + std::string(f->name);
    if (addin && IEquals(id, f->handler_id)) return std::string(f->class_id);
  }
  return {};
}

}  // namespace

std::string Registry::Fold(std::string_view key) {
  std::string out(key);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

void Registry::SetDefault(std::string_view key, RegValue value) {
  defaults_.insert_or_assign(Fold(key), std::move(value));
}

void Registry::DeleteDefault(std::string_view key) {
  CopyBuiltinsIn();
  defaults_.erase(Fold(key));
}

std::vector<std::string> Registry::ExtensionKeys() const {
  constexpr std::string_view kPrefix = "software\\classes\\.";
  std::vector<std::string> out;
  if (builtins_)
    for (const BuiltinFilterInfo& f : BuiltinFilters())
      for (std::string_view ext : f.extensions) out.emplace_back(ext);
  for (const auto& entry : defaults_) {
    const std::string& key = entry.first;
    if (key.size() <= kPrefix.size() || key.compare(0, kPrefix.size(), kPrefix) != 0) continue;
    const std::size_t end = key.find('\\', kPrefix.size());
    if (end == kPrefix.size()) continue;  // "Software\Classes\.\..." names no extension
    const std::size_t dot = kPrefix.size() - 1;
    out.push_back(key.substr(dot, end == std::string::npos ? std::string::npos : end - dot));
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::size_t Registry::size() const {
  if (!builtins_) return defaults_.size();
  Registry all = *this;
  all.CopyBuiltinsIn();
  return all.defaults_.size();
}

void Registry::DeleteTree(std::string_view key) {
  CopyBuiltinsIn();
  std::string folded = Fold(key);
  std::string prefix = folded + "\\";
  for (auto it = defaults_.begin(); it != defaults_.end();) {
    if (it->first == folded || it->first.compare(0, prefix.size(), prefix) == 0)
      it = defaults_.erase(it);
    else
      ++it;
  }
}

const RegValue* Registry::FindDefault(std::string_view key) const {
  const std::string folded = Fold(key);
  if (auto it = defaults_.find(folded); it != defaults_.end()) return &it->second;
  if (!builtins_) return nullptr;
  // Rarely asked (the lookups read text): the built-ins' values are made
  // once, for every registry, the first time.
  static const std::unordered_map<std::string, RegValue> kBuiltinValues = [] {
    Registry all;
    all.builtins_ = true;
    all.CopyBuiltinsIn();
    return std::move(all.defaults_);
  }();
  auto it = kBuiltinValues.find(folded);
  return it == kBuiltinValues.end() ? nullptr : &it->second;
}

std::string Registry::ReadDefaultText(std::string_view key) const {
  const std::string folded = Fold(key);
  if (auto it = defaults_.find(folded); it != defaults_.end()) return TextOf(it->second);
  return builtins_ ? BuiltinText(folded) : std::string();
}

void Registry::AddBuiltins() { builtins_ = true; }

void Registry::CopyBuiltinsIn() {
  if (!builtins_) return;
  builtins_ = false;
  std::size_t keys = defaults_.size();
  for (const BuiltinFilterInfo& f : BuiltinFilters()) keys += f.extensions.size() + 2;
  defaults_.reserve(keys);
  // The keys are made folded (the table's extensions are in lower case
  // already, which a test checks).  A key set since the built-ins were added
  // keeps its value, as it came later; of two filters that register one key,
  // the later one's holds: the table is walked from its end.
  auto set = [this](std::string folded_key, std::string data) {
    defaults_.try_emplace(std::move(folded_key), RegValue{RegType::kString, std::move(data), {}});
  };
  const std::string filter_interface = Fold(kIFilterKey);
  const std::span<const BuiltinFilterInfo> filters = BuiltinFilters();
  for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
    const BuiltinFilterInfo& f = *it;
    const std::string handler(f.handler_id), clsid(f.class_id);
    const std::string handler_key = Fold(handler), clsid_key = Fold(clsid);
    for (std::string_view ext : f.extensions) {
      std::string key;
      key.reserve(18 + ext.size() + 18);
      key.append("software\\classes\\").append(ext).append("\\persistenthandler");
      set(std::move(key), handler);
    }
    set("software\\classes\\clsid\\" + handler_key + "\\persistentaddinsregistered\\" + filter_interface, clsid);
    set("software\\classes\\clsid\\" + clsid_key + "\\inprocserver32", "builtin:" + std::string(f.name));
  }
}

bool Registry::LoadRegText(std::string_view bytes, const std::string& origin_dir, std::string* error) {
  std::string decoded;
  bool utf16 = false;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    decoded = Utf16LeToUtf8(bytes.substr(2));
    utf16 = true;
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    decoded.assign(bytes.substr(3));
  } else {
    decoded.assign(bytes);
  }
  std::vector<Operation> ops;
  RegParser parser(decoded, origin_dir, utf16);
  if (!parser.Parse(ops, error)) return false;
  for (Operation& op : ops) {
    switch (op.kind) {
      case Operation::kSet: SetDefault(op.key, std::move(op.value)); break;
      case Operation::kDeleteValue: DeleteDefault(op.key); break;
      case Operation::kDeleteKey: DeleteTree(op.key); break;
    }
  }
  return true;
}

bool Registry::LoadRegFile(const std::filesystem::path& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (error) *error = file.string() + ": cannot be read";
    return false;
  }
  // A registry file is small; one over 16 MiB is not one of ours.
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size > (16 << 20)) {
    if (error) *error = file.string() + ": too large for a registry file";
    return false;
  }
  in.seekg(0);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string where;
  if (!LoadRegText(bytes, file.parent_path().string(), &where)) {
    if (error) *error = file.string() + ":" + where;
    return false;
  }
  return true;
}

void Registry::LoadFolder(const std::string& folder) {
  // Read with the system's directory calls: every start looks here, mostly
  // into an empty folder.
  std::vector<std::string> files;
  if (const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir); dir) {
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name.size() > 4 && name.ends_with(".reg")) files.push_back(folder + "/" + std::string(name));
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::string error;
    if (!LoadRegFile(file, &error)) std::fprintf(stderr, "quarn: warning: skipped %s\n", error.c_str());
  }
}

std::vector<std::filesystem::path> Registry::ServerLibraries() const {
  constexpr std::string_view kServer = "\\inprocserver32";
  std::vector<std::filesystem::path> libraries;
  for (const auto& [key, value] : defaults_) {
    if (!key.ends_with(kServer) || value.data.empty() || value.data.starts_with("builtin:")) continue;
    std::filesystem::path library(value.data);
    if (library.is_relative() && !value.origin_dir.empty()) library = std::filesystem::path(value.origin_dir) / library;
    libraries.push_back(std::move(library));
  }
  return libraries;
}

std::vector<std::string> Registry::StandardFolders() {
  std::vector<std::string> folders;
  // Each folder that exists, once, by its real path: a folder that is not
  // there holds no registrations (and costs no more than one look).
  auto add = [&](const std::string& p) {
    // One look first: realpath walks a missing folder's whole path.
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    char real[PATH_MAX];
    if (!::realpath(p.c_str(), real)) return;
    std::string canonical(real);
    if (std::find(folders.begin(), folders.end(), canonical) == folders.end()) folders.push_back(std::move(canonical));
  };
  // Plain system calls and string pieces: every start comes here, and the
  // library's path and stream types cost a first use each.
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
  if (n > 0 && n < static_cast<ssize_t>(sizeof exe)) {
    std::string_view program(exe, static_cast<std::size_t>(n));
    // The program's folder's parent: "/usr" of "/usr/bin/quarn".
    for (int up = 0; up < 2; ++up) program = program.substr(0, program.rfind('/'));
    add(std::string(program) + "/share/quarn/registry");
  }
  add(QUARN_INSTALL_PREFIX "/share/quarn/registry");
  const char* xdg = std::getenv("XDG_DATA_DIRS");
  const std::string_view dirs = (xdg && *xdg) ? xdg : "/usr/local/share:/usr/share";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string_view::npos) end = dirs.size();
    if (end > at) add(std::string(dirs.substr(at, end - at)) + "/quarn/registry");
    at = end + 1;
  }
  return folders;
}

Registry Registry::LoadStandard() {
  Registry r;
  r.AddBuiltins();
  for (const auto& folder : StandardFolders()) r.LoadFolder(folder);
  return r;
}

}  // namespace quarn

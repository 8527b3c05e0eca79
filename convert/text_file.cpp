#include "convert/text_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

namespace quarn {

namespace {

std::string AbsoluteText(const std::string& path) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.string();
}

[[noreturn]] void ThrowFileError(const char* what, const std::string& path, int err) {
  std::string reason = std::strerror(err);
  while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n' || reason.back() == '\r'))
    reason.pop_back();
  throw FileError(std::string(what) + " \"" + AbsoluteText(path) + "\". " + reason);
}

// Writes all of data to fd; false with errno set when it cannot.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports the result: a delayed write error shows here.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Follows symbolic links to the file they finally name (which may not exist
// yet); gives up after 40 links, as the kernel does.
std::string ResolveLinks(const std::string& path) {
  std::filesystem::path p(path);
  for (int i = 0; i < 40; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(p, ec))) return p.string();
    std::filesystem::path target = std::filesystem::read_symlink(p, ec);
    if (ec) return p.string();
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return p.string();
}

struct Split {
  std::string folder;
  std::string name;
};

Split SplitPath(const std::string& path) {
  std::filesystem::path p(path);
  return {p.has_parent_path() ? p.parent_path().string() : std::string("."), p.filename().string()};
}

// ---- named temporary files that signal handlers remove --------------------

// A slot is free (0), being filled or emptied (1), or names a file (2).  Only
// lock-free atomics and plain reads of filled slots happen in the handler.
struct TemporarySlot {
  std::atomic<int> state{0};
  int folder_fd = -1;
  char name[NAME_MAX + 1] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);

// Two workers and the main thread write at most one file each; the spare
// slots only matter for callers of the library beyond this program.
TemporarySlot temporary_slots[32];

int RememberTemporary(int folder_fd, const std::string& name) {
  if (name.size() > NAME_MAX) return -1;
  for (int i = 0; i < static_cast<int>(std::size(temporary_slots)); ++i) {
    TemporarySlot& s = temporary_slots[i];
    int expected = 0;
    if (!s.state.compare_exchange_strong(expected, 1)) continue;
    s.folder_fd = folder_fd;
    std::memcpy(s.name, name.c_str(), name.size() + 1);
    s.state.store(2);
    return i;
  }
  return -1;  // written all the same, only not removed on a signal
}

void ForgetTemporary(int slot) {
  if (slot >= 0) temporary_slots[slot].state.store(0);
}

std::atomic<bool> unnamed_temporaries{true};

}  // namespace

std::uint64_t RandomBits() {
  // getrandom first: std::random_device asks the processor what it offers
  // each time one is made, which in a virtual machine costs more than the
  // rest of a small conversion's start.
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) return bits;
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

namespace {

// Unnamed temporary files are put in place through /proc/self/fd; without
// /proc they cannot be, so the named route is taken from the start.
bool UnnamedTemporariesWork() {
  static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
  return proc && unnamed_temporaries.load();
}

std::string TemporaryName(const std::string& name) {
  thread_local std::mt19937_64 random{RandomBits()};
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx~", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  // Short enough for NAME_MAX even when the target's own name is long.
  return "." + name.substr(0, 200) + suffix;
}

// The text being written: an unnamed file in the target's folder where the
// file system has them, else a named hidden one.  Until Place succeeds the
// destructor discards it; nothing of it is ever seen under the target's name.
class TemporaryText {
 public:
  TemporaryText(int folder_fd, const std::string& out_path) : folder_fd_(folder_fd), out_path_(out_path) {
    if (UnnamedTemporariesWork()) {
      // 0666 lets the umask decide, as for any new file.
      fd_.reset(::openat(folder_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
      if (fd_.get() >= 0) return;
      // File systems without unnamed files say so in one of these ways.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
        ThrowFileError("Cannot create file", out_path, errno);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = TemporaryName(SplitPath(out_path).name);
      // Remembered before it exists, so that no moment passes in which a
      // signal would leave it behind.
      const int slot = RememberTemporary(folder_fd, name);
      const int fd = ::openat(folder_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (fd >= 0) {
        fd_.reset(fd);
        name_ = std::move(name);
        slot_ = slot;
        return;
      }
      const int err = errno;
      ForgetTemporary(slot);
      if (err != EEXIST) ThrowFileError("Cannot create file", out_path, err);
    }
    ThrowFileError("Cannot create file", out_path, EEXIST);
  }
  ~TemporaryText() {
    if (!name_.empty()) ::unlinkat(folder_fd_, name_.c_str(), 0);
    ForgetTemporary(slot_);
  }
  TemporaryText(const TemporaryText&) = delete;
  TemporaryText& operator=(const TemporaryText&) = delete;

  int fd() const { return fd_.get(); }

  // Named files are closed before they take their name, so that a delayed
  // write error is seen while the old file is still in place.
  void Finish() {
    if (name_.empty()) return;
    if (!fd_.Close()) ThrowFileError("Cannot write file", out_path_, errno);
  }

  // Gives the text the name `name` in the folder.  `replace`: the name holds
  // a file to be replaced; otherwise the name must still be free, and false
  // (errno EEXIST) says something took it meanwhile.
  bool Place(const std::string& name, bool replace) {
    if (name_.empty()) return PlaceUnnamed(name, replace);
    const int r = replace ? ::renameat(folder_fd_, name_.c_str(), folder_fd_, name.c_str())
                          : ::linkat(folder_fd_, name_.c_str(), folder_fd_, name.c_str(), 0);
    if (r != 0) return false;
    if (!replace) ::unlinkat(folder_fd_, name_.c_str(), 0);
    name_.clear();
    ForgetTemporary(slot_);
    slot_ = -1;
    return true;
  }

  // Closes an unnamed file after it took its name.
  bool CloseAfterPlace() { return fd_.get() < 0 || fd_.Close(); }

 private:
  bool PlaceUnnamed(const std::string& name, bool replace) {
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_.get());
    if (!replace) return ::linkat(AT_FDCWD, proc, folder_fd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    // A link cannot replace a name, so the whole text gets a hidden name of
    // its own for the moment of the rename.
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string hidden = TemporaryName(name);
      const int slot = RememberTemporary(folder_fd_, hidden);
      if (::linkat(AT_FDCWD, proc, folder_fd_, hidden.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        const int err = errno;
        ForgetTemporary(slot);
        if (err == EEXIST) continue;
        errno = err;
        return false;
      }
      const bool ok = ::renameat(folder_fd_, hidden.c_str(), folder_fd_, name.c_str()) == 0;
      const int err = errno;
      if (!ok) ::unlinkat(folder_fd_, hidden.c_str(), 0);
      ForgetTemporary(slot);
      errno = err;
      return ok;
    }
    errno = EEXIST;
    return false;
  }

  int folder_fd_;
  const std::string& out_path_;
  Fd fd_;
  std::string name_;  // the named temporary file, empty for an unnamed one or once placed
  int slot_ = -1;
};

// A pipe, a device or the like: there is nothing to replace, so the text is
// written as it is.  A pipe named on its own waits for its reader, as any
// program's output would; in a run (`wait` false) a pipe without a reader
// fails at once, so that it cannot hold up the run.
void WriteInPlace(const std::string& out_path, const std::string& target, std::string_view text, bool wait) {
  Fd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (wait ? 0 : O_NONBLOCK)));
  if (fd.get() < 0) ThrowFileError("Cannot create file", out_path, errno == ENXIO ? EPIPE : errno);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (!wait && flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  if (!WriteAll(fd.get(), text)) ThrowFileError("Cannot write file", out_path, errno);
  if (!fd.Close()) ThrowFileError("Cannot write file", out_path, errno);
}

// What the given output name holds now, as the gate is told.
OutputSlot DescribeSlot(const std::string& out_path, int folder_fd) {
  OutputSlot slot;
  slot.path = out_path;
  slot.folder_fd = folder_fd;
  slot.name = SplitPath(out_path).name;
  struct stat st {};
  if (::fstat(folder_fd, &st) == 0) slot.folder = IdentityOf(st);
  if (::fstatat(folder_fd, slot.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    slot.exists = true;
    if (::fstatat(folder_fd, slot.name.c_str(), &st, 0) == 0) {
      slot.existing = IdentityOf(st);
      slot.written_by_us = WrittenByUs(out_path);
    }
  }
  return slot;
}

int OpenFolder(const std::string& folder, const std::string& out_path) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) ThrowFileError("Cannot create file", out_path, errno);
  return fd;
}

}  // namespace

bool WrittenByUs(const std::string& path) {
  char value[8];
  const ssize_t n = ::getxattr(path.c_str(), kOriginAttribute, value, sizeof value);
  return n >= 0 || errno == ERANGE;
}

std::string RunMarkValue(std::string_view run, std::string_view document) {
  std::string value(run);
  value += ':';
  value += document;
  return value;
}

bool ReadRunMark(const std::string& path, RunMark* mark) {
  // Most marks fit here; a longer one is read again at its size.
  char small[1024];
  std::string large;
  const char* value = small;
  ssize_t n = ::getxattr(path.c_str(), kRunAttribute, small, sizeof small);
  if (n < 0 && errno == ERANGE) {
    n = ::getxattr(path.c_str(), kRunAttribute, nullptr, 0);
    if (n < 0) return false;
    large.resize(static_cast<std::size_t>(n) + 1);
    n = ::getxattr(path.c_str(), kRunAttribute, large.data(), large.size());
    value = large.data();
  }
  if (n < 17 || value[16] != ':') return false;
  mark->run.assign(value, 16);
  mark->document.assign(value + 17, static_cast<std::size_t>(n) - 17);
  return true;
}

bool IsTemporaryTextName(std::string_view name) {
  // "." + at least one character + "." + 12 hex digits + "~"
  if (name.size() < 16 || name.front() != '.' || name.back() != '~') return false;
  const std::string_view tail = name.substr(name.size() - 14);
  if (tail[0] != '.') return false;
  for (char c : tail.substr(1, 12))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

void RemoveTemporaryTextFiles() {
  for (TemporarySlot& s : temporary_slots)
    if (s.state.load() == 2) ::unlinkat(s.folder_fd, s.name, 0);
}

void UseUnnamedTemporaryFiles(bool use) { unnamed_temporaries.store(use); }

SaveResult SaveTextFile(const std::string& out_path, std::string_view text, const SaveOptions& options) {
  const std::string target = ResolveLinks(out_path);
  const Split where = SplitPath(target);
  Fd folder(OpenFolder(where.folder, out_path));
  // The name as given is what the gate judges; when it is a link, its own
  // folder may differ from the folder written to.
  Fd given_folder;
  if (options.gate && target != out_path) given_folder.reset(OpenFolder(SplitPath(out_path).folder, out_path));
  const int gate_folder = given_folder.get() >= 0 ? given_folder.get() : folder.get();

  struct stat st {};
  const bool exists = ::fstatat(folder.get(), where.name.c_str(), &st, 0) == 0;
  if (exists && S_ISDIR(st.st_mode)) ThrowFileError("Cannot create file", out_path, EISDIR);
  if (exists && !S_ISREG(st.st_mode)) {
    if (options.gate) {
      const OutputSlot slot = DescribeSlot(out_path, gate_folder);
      std::string why = options.gate->Admit(slot);
      if (!why.empty()) return {Saved::kRefused, std::move(why)};
      try {
        WriteInPlace(out_path, target, text, false);
      } catch (...) {
        options.gate->Placed(slot, false, {});
        throw;
      }
      options.gate->Placed(slot, true, IdentityOf(st));
      return {};
    }
    WriteInPlace(out_path, target, text, true);
    return {};
  }

  TemporaryText temp(folder.get(), out_path);
  if (exists) (void)::fchmod(temp.fd(), st.st_mode & 07777);  // a replaced file keeps its permissions
  if (!WriteAll(temp.fd(), text)) ThrowFileError("Cannot write file", out_path, errno);
  // Marked: the file carries its origin and the run's mark, so the run can
  // find both on disk instead of keeping them.
  bool marked = false;
  if (!options.origin.empty()) {
    marked = ::fsetxattr(temp.fd(), kOriginAttribute, options.origin.data(), options.origin.size(), 0) == 0;
    const std::string mark = options.gate ? options.gate->Mark() : std::string();
    marked = marked && !mark.empty() && ::fsetxattr(temp.fd(), kRunAttribute, mark.data(), mark.size(), 0) == 0;
  }
  if (!options.source.empty())
    (void)::fsetxattr(temp.fd(), kSourceAttribute, options.source.data(), options.source.size(), 0);
  FileIdentity written;
  if (struct stat own {}; ::fstat(temp.fd(), &own) == 0) written = IdentityOf(own);
  temp.Finish();

  // The name is judged right before the file takes it: what it holds then is
  // what would be replaced.  Something that takes a free name in between
  // sends the question round again.
  for (int round = 0; round < 8; ++round) {
    struct stat now {};
    const bool present = ::fstatat(folder.get(), where.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (present && options.input.valid() && IdentityOf(now) == options.input)
      return {Saved::kSameFile, "the output is the document itself"};
    if (present && S_ISDIR(now.st_mode)) ThrowFileError("Cannot create file", out_path, EISDIR);
    OutputSlot slot;
    if (options.gate) {
      slot = DescribeSlot(out_path, gate_folder);
      std::string why = options.gate->Admit(slot);
      if (!why.empty()) return {Saved::kRefused, std::move(why)};
    }
    const bool placed = temp.Place(where.name, present);
    const int err = errno;
    if (!placed) {
      if (options.gate) options.gate->Placed(slot, false, {});
      if (!present && err == EEXIST) continue;
      ThrowFileError("Cannot create file", out_path, err);
    }
    if (!temp.CloseAfterPlace()) {
      // The text in place may be incomplete: no file is better than a short one.
      const int close_err = errno;
      ::unlinkat(folder.get(), where.name.c_str(), 0);
      if (options.gate) options.gate->Placed(slot, false, {});
      ThrowFileError("Cannot write file", out_path, close_err);
    }
    if (options.gate) options.gate->Placed(slot, true, written, marked);
    return {};
  }
  ThrowFileError("Cannot create file", out_path, EEXIST);
}

void SaveTextFile(const std::string& out_path, std::string_view text) { SaveTextFile(out_path, text, SaveOptions{}); }

std::string SourceStateValue(const struct stat& document) {
  char value[64];
  std::snprintf(value, sizeof value, "%lld:%lld.%09ld", static_cast<long long>(document.st_size),
                static_cast<long long>(document.st_mtim.tv_sec), static_cast<long>(document.st_mtim.tv_nsec));
  return value;
}

std::string ReadSourceState(const std::string& path) {
  char value[64];
  const ssize_t n = ::getxattr(path.c_str(), kSourceAttribute, value, sizeof value);
  return n > 0 ? std::string(value, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace quarn

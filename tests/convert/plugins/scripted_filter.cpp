// A filter plug-in for tests whose behaviour is the document itself: each
// line of the loaded file is the answer to one call, so a test writes the
// exact sequence of chunk and text results it wants the pipeline to meet.
//   chunk | value | end | chunkfail        answers to GetChunk
//   text WORDS | last WORDS | units HEX... answers to GetText (S_OK, S_LAST_TEXT)
//   nomore | textfail | keep               NO_MORE_TEXT, E_FAIL, S_OK touching nothing
//   loadfail | initfail                    first line: fail Load or Init
//   pages N                                what the optional page_count answers
// A line ending in " *" repeats forever.  When the lines run out GetChunk
// reports the end of chunks and GetText reports no more text.
//
// Misbehaviour, carried out in order when the document is loaded, for the
// tests of the converter processes (never run these in a test's own process):
//   crash | abort | exit N                 segmentation fault, abort(), _exit(N)
//   hang | spin                            sleep for ever, or loop on the processor
//   sleep MS                               sleep MS milliseconds, then go on
//   hog                                    allocate and fill memory until it fails,
//                                          then use the null pointer as a careless library does
//   stdout WORDS                           write WORDS to standard output, then go on
//   connect PORT | write PATH | run PATH   connect to 127.0.0.1:PORT, create PATH, or run
//                                          "touch PATH" (by system() and by execl())
//   read PATH | tmpwrite NAME              open PATH for reading; create NAME in $TMPDIR
//   child                                  start a process that sleeps for ever
//   mapcut                                 map the document, wait (up to a minute) until
//                                          it is cut short, then read the mapping's end
// A refused connect, write, run, read, tmpwrite or child makes the load
// fail, and the filter's diagnostic says what was refused.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "convert/filter_api.h"
#include "convert/filter_path.h"

namespace {

struct Op {
  std::string verb;
  std::string arg;
  bool forever = false;
};

struct Scripted : QuarnFilter {
  std::vector<Op> ops;
  std::size_t next = 0;
  std::u16string pending;  // text of the current "text" answer not yet delivered
  std::string diagnostic;  // what a misbehaviour met
  int64_t pages = -1;      // what page_count answers ("pages N")
};

// Carries out one misbehaviour; false (with s->diagnostic set) when it was refused.
bool Misbehave(Scripted* s, const Op& op, const char* path) {
  auto refused = [&](const std::string& what) {
    s->diagnostic = what + ": " + std::strerror(errno);
    return false;
  };
  if (op.verb == "crash") {
    // A real segmentation fault, as a broken library dies of it; raised
    // rather than made by a null store, which the undefined-behaviour
    // sanitizer would report and turn into an exit of its own, and with the
    // default action, which a sanitizer's handler would otherwise replace.
    struct sigaction fault {};
    fault.sa_handler = SIG_DFL;
    sigemptyset(&fault.sa_mask);
    ::sigaction(SIGSEGV, &fault, nullptr);
    ::raise(SIGSEGV);
  } else if (op.verb == "abort") {
    std::abort();
  } else if (op.verb == "killed") {
    ::raise(SIGKILL);  // as the system's out-of-memory killer ends a process
  } else if (op.verb == "exit") {
    ::_exit(std::atoi(op.arg.c_str()));
  } else if (op.verb == "sleep") {
    ::usleep(static_cast<useconds_t>(std::atoi(op.arg.c_str())) * 1000);
  } else if (op.verb == "hang") {
    for (;;) ::pause();
  } else if (op.verb == "spin") {
    volatile unsigned long n = 0;
    for (;;) n = n + 1;
  } else if (op.verb == "hog") {
    std::vector<char*> kept;
    for (;;) {
      constexpr std::size_t kChunk = std::size_t{16} << 20;
      char* p = static_cast<char*>(std::malloc(kChunk));
      std::memset(p, 0x5A, kChunk);  // a null p ends here
      kept.push_back(p);
    }
  } else if (op.verb == "stdout") {
    std::printf("%s\n", op.arg.c_str());
    std::fflush(stdout);
    [[maybe_unused]] ssize_t n = ::write(STDOUT_FILENO, op.arg.data(), op.arg.size());
  } else if (op.verb == "connect") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return refused("cannot open a network socket");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(op.arg.c_str())));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (rc != 0) {
      const int e = errno;
      ::close(fd);
      errno = e;
      return refused("cannot connect");
    }
    [[maybe_unused]] ssize_t n = ::write(fd, "leaked", 6);
    ::close(fd);
  } else if (op.verb == "write") {
    const int fd = ::open(op.arg.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return refused("cannot create " + op.arg);
    ::close(fd);
  } else if (op.verb == "read") {
    const int fd = ::open(op.arg.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return refused("cannot read " + op.arg);
    ::close(fd);
  } else if (op.verb == "tmpwrite") {
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp ? tmp : "/tmp") + "/" + op.arg;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return refused("cannot create " + path);
    ::close(fd);
  } else if (op.verb == "tmpgrow") {
    // One byte at the offset given: a file that size, without the disk.
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp ? tmp : "/tmp") + "/grown";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return refused("cannot create " + path);
    const bool written = ::pwrite(fd, "x", 1, static_cast<off_t>(std::stoll(op.arg))) == 1;
    ::close(fd);
    if (!written) return refused("cannot grow " + path);
  } else if (op.verb == "run") {
    const std::string command = "touch '" + op.arg + "'";
    const int status = std::system(command.c_str());
    if (status != 0) {
      ::execl("/usr/bin/touch", "touch", op.arg.c_str(), static_cast<char*>(nullptr));
      return refused("cannot run a program");
    }
  } else if (op.verb == "mapcut") {
    // As a reader that maps its document meets a file truncated under it.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return refused("cannot open the document");
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) return refused("cannot map the document");
    for (int i = 0; i < 6000 && ::fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) >= size; ++i)
      ::usleep(10000);
    struct sigaction bus {};  // the default action, as for "crash"
    bus.sa_handler = SIG_DFL;
    sigemptyset(&bus.sa_mask);
    ::sigaction(SIGBUS, &bus, nullptr);
    volatile const char last = static_cast<const char*>(map)[size - 1];
    (void)last;
    ::munmap(map, size);
    ::close(fd);
  } else if (op.verb == "child") {
    const pid_t pid = ::fork();
    if (pid < 0) return refused("cannot start a process");
    if (pid == 0) {
      ::setsid();
      for (;;) ::pause();
    }
  }
  return true;
}

bool IsMisbehaviour(const std::string& v) {
  for (const char* m :
       {"crash", "abort", "killed", "exit", "sleep", "hang", "spin", "hog", "stdout", "connect", "write", "read", "tmpwrite", "tmpgrow", "run", "child", "mapcut"})
    if (v == m) return true;
  return false;
}

bool IsChunkVerb(const std::string& v) { return v == "chunk" || v == "value" || v == "end" || v == "chunkfail"; }

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t i = 0; i < s.size();) {
    uint32_t cp;
    std::size_t n = quarn_utf8_sequence(p + i, s.size() - i, &cp);
    if (!n) { cp = 0xFFFD; n = 1; }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

extern const QuarnFilterVtbl kDiagnosingVtbl;
extern const QuarnFilterVtbl kPagingVtbl;

const Op* Peek(Scripted* s) { return s->next < s->ops.size() ? &s->ops[s->next] : nullptr; }
void Consume(Scripted* s) {
  if (s->next < s->ops.size() && !s->ops[s->next].forever) ++s->next;
}

QUARN_HRESULT Load(QuarnFilter* f, const QUARN_WCHAR* path, uint32_t) {
  auto* s = static_cast<Scripted*>(f);
  char native[8192];
  if (quarn_path_from_utf16(path, native, sizeof native) == static_cast<std::size_t>(-1) || !native[0])
    return QUARN_E_INVALIDARG;
  std::ifstream in(native);
  if (!in) return QUARN_FILTER_E_ACCESS;
  for (std::string line; std::getline(in, line);) {
    Op op;
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, " *") == 0) {
      op.forever = true;
      line.resize(line.size() - 2);
    }
    std::size_t sp = line.find(' ');
    op.verb = line.substr(0, sp);
    if (sp != std::string::npos) op.arg = line.substr(sp + 1);
    if (!op.verb.empty()) s->ops.push_back(op);
  }
  if (!s->ops.empty() && s->ops[0].verb == "loadfail") return QUARN_E_FAIL;
  std::vector<Op> answers;
  for (const Op& op : s->ops) {
    if (op.verb == "pages") {
      s->pages = std::atoll(op.arg.c_str());
      s->vtbl = &kPagingVtbl;
    } else if (!IsMisbehaviour(op.verb)) {
      answers.push_back(op);
    } else if (!Misbehave(s, op, native)) {
      s->vtbl = &kDiagnosingVtbl;
      return QUARN_E_ACCESSDENIED;
    }
  }
  s->ops = std::move(answers);
  return QUARN_S_OK;
}

QUARN_HRESULT Init(QuarnFilter* f, uint32_t, uint32_t, const void*, uint32_t*) {
  auto* s = static_cast<Scripted*>(f);
  if (!s->ops.empty() && s->ops[0].verb == "initfail") return QUARN_E_FAIL;
  return QUARN_S_OK;
}

QUARN_HRESULT GetChunk(QuarnFilter* f, QuarnStatChunk* chunk) {
  auto* s = static_cast<Scripted*>(f);
  // Text answers the pipeline did not ask for are passed over.
  while (Peek(s) && !IsChunkVerb(Peek(s)->verb)) ++s->next;
  const Op* op = Peek(s);
  if (!op) return QUARN_FILTER_E_END_OF_CHUNKS;
  std::string verb = op->verb;
  Consume(s);
  *chunk = QuarnStatChunk{};
  if (verb == "chunk") {
    chunk->flags = QUARN_CHUNK_TEXT;
    return QUARN_S_OK;
  }
  if (verb == "value") {
    chunk->flags = QUARN_CHUNK_VALUE;
    return QUARN_S_OK;
  }
  if (verb == "end") return QUARN_FILTER_E_END_OF_CHUNKS;
  return QUARN_E_FAIL;
}

QUARN_HRESULT GetText(QuarnFilter* f, uint32_t* count, QUARN_WCHAR* buffer) {
  auto* s = static_cast<Scripted*>(f);
  if (!s->pending.empty()) {
    std::size_t n = std::min<std::size_t>(*count, s->pending.size());
    std::memcpy(buffer, s->pending.data(), n * 2);
    s->pending.erase(0, n);
    *count = static_cast<uint32_t>(n);
    return QUARN_S_OK;
  }
  const Op* op = Peek(s);
  if (!op || IsChunkVerb(op->verb)) {
    *count = 0;
    return QUARN_FILTER_E_NO_MORE_TEXT;
  }
  Op o = *op;
  Consume(s);
  if (o.verb == "nomore") {
    *count = 0;
    return QUARN_FILTER_E_NO_MORE_TEXT;
  }
  if (o.verb == "textfail") {
    *count = 0;
    return QUARN_E_FAIL;
  }
  if (o.verb == "keep") return QUARN_S_OK;
  std::u16string units;
  if (o.verb == "units") {
    std::istringstream hex(o.arg);
    for (std::string h; hex >> h;) units.push_back(static_cast<char16_t>(std::stoul(h, nullptr, 16)));
  } else {
    units = Utf16(o.arg);
  }
  std::size_t n = std::min<std::size_t>(*count, units.size());
  std::memcpy(buffer, units.data(), n * 2);
  s->pending = units.substr(n);
  *count = static_cast<uint32_t>(n);
  return o.verb == "last" ? QUARN_FILTER_S_LAST_TEXT : QUARN_S_OK;
}

void Release(QuarnFilter* f) { delete static_cast<Scripted*>(f); }

const char* Diagnostic(QuarnFilter* f) { return static_cast<Scripted*>(f)->diagnostic.c_str(); }

// Built without the optional diagnostic member, as an older plug-in would be.
const QuarnFilterVtbl kVtbl = {offsetof(QuarnFilterVtbl, diagnostic), Load, Init, GetChunk, GetText, Release,
                               nullptr, nullptr, nullptr};
// Once a misbehaviour was refused, the object says what was refused.
const QuarnFilterVtbl kDiagnosingVtbl = {sizeof(QuarnFilterVtbl), Load, Init, GetChunk, GetText, Release, Diagnostic,
                                         nullptr, nullptr};

int64_t PageCount(QuarnFilter* f) { return static_cast<Scripted*>(f)->pages; }

// A document that names its pages gets the whole interface.
const QuarnFilterVtbl kPagingVtbl = {sizeof(QuarnFilterVtbl), Load, Init, GetChunk, GetText, Release, Diagnostic,
                                     nullptr, PageCount};

}  // namespace

extern "C" __attribute__((visibility("default"))) QUARN_HRESULT QuarnCreateFilter(const char* class_id,
                                                                                    QuarnFilter** filter) {
  if (std::strcmp(class_id, "{5155524E-7E57-4000-8000-000000000001}") != 0) return QUARN_CLASS_E_CLASSNOTAVAILABLE;
  auto* s = new Scripted();
  s->vtbl = &kVtbl;
  *filter = s;
  return QUARN_S_OK;
}

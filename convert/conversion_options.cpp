#include "convert/conversion_options.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <utility>
#include <string>
#include <vector>

namespace quarn {

namespace {

// Written once at start-up, before any conversion thread exists.
ConversionOptions installed_options;

std::atomic<int> own_spare_workers{1};
std::atomic<std::atomic<int>*> spare_workers{&own_spare_workers};

}  // namespace

namespace {
// Set once before any conversion, then only called.
std::function<void()> progress_hook;
}  // namespace

void SetProgressHook(std::function<void()> hook) { progress_hook = std::move(hook); }

void NoteProgress() {
  if (progress_hook) progress_hook();
}

std::string DefaultOcrLanguages() {
  const char* env = std::getenv("QUARN_OCR_LANG");
  return env && *env ? std::string(env) : std::string("eng");
}

std::vector<std::string> EncodeConversionOptions(const ConversionOptions& options) {
  return {std::string("ocr=") + (options.ocr ? "1" : "0"), "ocr-lang=" + options.ocr_languages,
          "ocr-page-seconds=" + std::to_string(options.ocr_page_seconds)};
}

ConversionOptions DecodeConversionOptions(const std::vector<std::string>& fields) {
  ConversionOptions options;
  for (const std::string& field : fields) {
    const std::size_t eq = field.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = field.substr(0, eq);
    const std::string value = field.substr(eq + 1);
    if (name == "ocr") {
      options.ocr = value != "0";
    } else if (name == "ocr-lang" && !value.empty()) {
      options.ocr_languages = value;
    } else if (name == "ocr-page-seconds") {
      char* end = nullptr;
      const long seconds = std::strtol(value.c_str(), &end, 10);
      if (end && *end == '\0' && seconds > 0 && seconds <= 86400) options.ocr_page_seconds = static_cast<int>(seconds);
    }
  }
  return options;
}

void SetConversionOptions(const ConversionOptions& options) {
  installed_options = options;
  // libgomp reads the limit when it is loaded, which happens with the OCR
  // module, after this.
  ::setenv("OMP_THREAD_LIMIT", "1", 0);
}

const ConversionOptions& CurrentConversionOptions() { return installed_options; }

int SpareWorkers() { return spare_workers.load(std::memory_order_relaxed)->load(std::memory_order_relaxed); }

void SetSpareWorkers(int count) {
  spare_workers.load(std::memory_order_relaxed)->store(count < 0 ? 0 : count, std::memory_order_relaxed);
}

void BindSpareWorkers(std::atomic<int>* count) {
  spare_workers.store(count ? count : &own_spare_workers, std::memory_order_relaxed);
}

namespace {

std::atomic<int>* MapSpareWorkers(int fd) {
  void* p = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<std::atomic<int>*>(p);
}

// The shared count's memory file, made once per process.
int shared_spare_fd = -1;

}  // namespace

int ShareSpareWorkers() {
  if (shared_spare_fd >= 0) return shared_spare_fd;
  const int made = ::memfd_create("quarn-spare-workers", MFD_CLOEXEC);
  if (made < 0) return -1;
  // Above the low descriptors that started processes are handed their
  // channels on, so that handing it on never overwrites one of them.
  const int fd = ::fcntl(made, F_DUPFD_CLOEXEC, 10);
  ::close(made);
  if (fd < 0) return -1;
  std::atomic<int>* count = nullptr;
  if (::ftruncate(fd, sizeof(std::atomic<int>)) != 0 || !(count = MapSpareWorkers(fd))) {
    ::close(fd);
    return -1;
  }
  // The mapping and the descriptor stay for the life of the process: every
  // converter started later maps the same count.
  new (count) std::atomic<int>(SpareWorkers());
  BindSpareWorkers(count);
  shared_spare_fd = fd;
  return fd;
}

bool AttachSpareWorkers(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(sizeof(std::atomic<int>)))
    return false;
  std::atomic<int>* count = MapSpareWorkers(fd);
  if (!count) return false;
  ::close(fd);
  BindSpareWorkers(count);
  return true;
}

}  // namespace quarn

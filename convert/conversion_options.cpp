#include "convert/conversion_options.h"

#include <cstdlib>

namespace quarn {

namespace {

// Written once at start-up, before any conversion thread exists.
ConversionOptions installed_options;

std::atomic<int> own_spare_workers{1};
std::atomic<std::atomic<int>*> spare_workers{&own_spare_workers};

}  // namespace

std::string DefaultOcrLanguages() {
  const char* env = std::getenv("QUARN_OCR_LANG");
  return env && *env ? std::string(env) : std::string("eng");
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

}  // namespace quarn

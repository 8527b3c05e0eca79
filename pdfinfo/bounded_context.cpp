#include "pdfinfo/bounded_context.h"

#include <time.h>

#include <cstdlib>
#include <cstring>

namespace quarn::pdf {

namespace {

// Every block carries its size in front so that frees can be counted.
constexpr std::size_t kBlockHeader = 16;

bool Admit(Budget* b, std::size_t size) {
  if (b->deadline_ns && !b->expired && (++b->calls & 63) == 0 && NowNs() > b->deadline_ns) {
    b->expired = true;
    if (b->cookie) b->cookie->abort = 1;
  }
  // Once time is up every allocation fails, so that any phase of MuPDF (the
  // page interpreter, repair, the page tree) unwinds promptly.
  if (b->expired) return false;
  if (size > b->limit - b->used) {
    b->exhausted = true;
    return false;
  }
  return true;
}

void* CountedMalloc(void* user, std::size_t size) {
  Budget* b = static_cast<Budget*>(user);
  if (size > b->limit || !Admit(b, size)) return nullptr;
  auto* p = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
  if (!p) return nullptr;
  std::memcpy(p, &size, sizeof size);
  b->used += size;
  return p + kBlockHeader;
}

void CountedFree(void* user, void* ptr) {
  if (!ptr) return;
  Budget* b = static_cast<Budget*>(user);
  unsigned char* p = static_cast<unsigned char*>(ptr) - kBlockHeader;
  std::size_t size;
  std::memcpy(&size, p, sizeof size);
  b->used -= size;
  std::free(p);
}

void* CountedRealloc(void* user, void* old, std::size_t size) {
  if (!old) return CountedMalloc(user, size);
  if (size == 0) {
    CountedFree(user, old);
    return nullptr;
  }
  Budget* b = static_cast<Budget*>(user);
  unsigned char* p = static_cast<unsigned char*>(old) - kBlockHeader;
  std::size_t old_size;
  std::memcpy(&old_size, p, sizeof old_size);
  if (size > old_size && (size > b->limit || !Admit(b, size - old_size))) return nullptr;
  auto* q = static_cast<unsigned char*>(std::realloc(p, size + kBlockHeader));
  if (!q) return nullptr;
  std::memcpy(q, &size, sizeof size);
  b->used = b->used - old_size + size;
  return q + kBlockHeader;
}

void Quiet(void*, const char*) {}

}  // namespace

long long NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

BoundedContext::BoundedContext(std::size_t memory_limit, long long time_limit_ms, std::size_t store_size,
                               LimitReasons reasons)
    : reasons_(reasons) {
  budget_.limit = memory_limit;
  if (time_limit_ms > 0) StartClock(time_limit_ms);
  alloc_ = {&budget_, CountedMalloc, CountedRealloc, CountedFree};
  ctx_ = fz_new_context(&alloc_, nullptr, store_size);
  if (ctx_) {
    fz_set_warning_callback(ctx_, Quiet, nullptr);
    fz_set_error_callback(ctx_, Quiet, nullptr);
  }
}

BoundedContext::~BoundedContext() {
  if (ctx_) fz_drop_context(ctx_);
}

void BoundedContext::StartClock(long long time_limit_ms) {
  budget_.deadline_ns = NowNs() + time_limit_ms * 1000000LL;
  budget_.expired = false;
  budget_.exhausted = false;
}

const char* BoundedContext::LimitReason() const {
  if (budget_.expired) return reasons_.too_long;
  if (budget_.exhausted) return reasons_.too_much_memory;
  return nullptr;
}

}  // namespace quarn::pdf

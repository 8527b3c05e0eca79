// A stand-in filter plug-in for the pipeline benchmark: it serves the
// document file's bytes, taken as UTF-16LE, through the plug-in interface,
// one chunk per 64 Ki units, so the benchmark times the host's side only
// (chunk and text loop, conversion, thinning, writing).
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "convert/filter_api.h"
#include "convert/filter_path.h"

namespace {

constexpr std::size_t kChunkUnits = 64 * 1024;

struct Fake : QuarnFilter {
  std::vector<QUARN_WCHAR> text;
  std::size_t chunk_start = 0, chunk_end = 0, pos = 0;
  bool started = false;
};

Fake* Self(QuarnFilter* f) { return static_cast<Fake*>(f); }

QUARN_HRESULT Load(QuarnFilter* f, const QUARN_WCHAR* path, uint32_t) {
  char native[4096];
  if (quarn_path_from_utf16(path, native, sizeof native) == static_cast<std::size_t>(-1)) return QUARN_E_INVALIDARG;
  std::FILE* in = std::fopen(native, "rb");
  if (!in) return QUARN_FILTER_E_ACCESS;
  std::fseek(in, 0, SEEK_END);
  long size = std::ftell(in);
  std::fseek(in, 0, SEEK_SET);
  Self(f)->text.resize(static_cast<std::size_t>(size) / 2);
  std::size_t got = std::fread(Self(f)->text.data(), 2, Self(f)->text.size(), in);
  std::fclose(in);
  return got == Self(f)->text.size() ? QUARN_S_OK : QUARN_E_FAIL;
}

QUARN_HRESULT Init(QuarnFilter*, uint32_t, uint32_t, const void*, uint32_t* flags) {
  if (flags) *flags = 0;
  return QUARN_S_OK;
}

QUARN_HRESULT GetChunk(QuarnFilter* f, QuarnStatChunk* chunk) {
  Fake* s = Self(f);
  std::size_t next = s->started ? s->chunk_end : 0;
  s->started = true;
  if (next >= s->text.size()) return QUARN_FILTER_E_END_OF_CHUNKS;
  s->chunk_start = s->pos = next;
  s->chunk_end = std::min(s->text.size(), next + kChunkUnits);
  *chunk = QuarnStatChunk{};
  chunk->flags = QUARN_CHUNK_TEXT;
  chunk->break_type = QUARN_CHUNK_EOP;
  return QUARN_S_OK;
}

QUARN_HRESULT GetText(QuarnFilter* f, uint32_t* count, QUARN_WCHAR* buffer) {
  Fake* s = Self(f);
  std::size_t n = std::min<std::size_t>(*count, s->chunk_end - s->pos);
  if (n == 0) {
    *count = 0;
    return QUARN_FILTER_E_NO_MORE_TEXT;
  }
  std::memcpy(buffer, s->text.data() + s->pos, n * 2);
  s->pos += n;
  *count = static_cast<uint32_t>(n);
  return QUARN_S_OK;
}

void Release(QuarnFilter* f) { delete Self(f); }

const QuarnFilterVtbl kVtbl = {sizeof(QuarnFilterVtbl), Load, Init, GetChunk, GetText, Release, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) QUARN_HRESULT QuarnCreateFilter(const char*, QuarnFilter** out) {
  Fake* f = new (std::nothrow) Fake();
  if (!f) return QUARN_E_OUTOFMEMORY;
  f->vtbl = &kVtbl;
  *out = f;
  return QUARN_S_OK;
}

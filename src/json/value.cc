// The per-thread block cache behind the storage of json::Array and
// json::Object's members (see value.h).
#include "json/value.h"

#include <cstddef>
#include <new>

// Under AddressSanitizer the cache runs as in the release, and tells the
// sanitizer which bytes are in use: a cached block is poisoned whole, a block
// handed out is poisoned past the bytes asked for. A read or write of a freed
// container, or past a container's end within its size class, is then
// reported as it would be for the heap's own blocks.
#if defined(__SANITIZE_ADDRESS__)
#define DOVEK_JSON_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVEK_JSON_ASAN 1
#endif
#endif
#ifdef DOVEK_JSON_ASAN
#include <sanitizer/asan_interface.h>
#define DOVEK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define DOVEK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define DOVEK_POISON(p, n) static_cast<void>(0)
#define DOVEK_UNPOISON(p, n) static_cast<void>(0)
#endif

namespace dovek::json {
namespace detail {
namespace {

// Size classes in steps of kGrain bytes up to kClasses * kGrain; larger
// blocks go straight to the heap. A thread keeps at most kMaxCachedBytes of
// freed blocks: enough to rebuild a document of a few hundred KB without the
// heap, little enough to leave alone on every thread.
constexpr size_t kGrain = 32;
constexpr size_t kClasses = 64;
constexpr size_t kMaxCachedBytes = size_t{1} << 20;

// Trivially destructible, so that it stays usable while other thread-local
// objects (which may hold values) are destroyed at thread exit: once closed,
// frees go to the heap.
struct BlockCache {
  void* free[kClasses + 1];  // singly linked through each block's first word
  size_t cached_bytes;
  bool closed;
  bool reaper_armed;
};
constinit thread_local BlockCache t_cache{};

// Returns the cached blocks to the heap when the thread exits.
struct CacheReaper {
  ~CacheReaper() {
    BlockCache& cache = t_cache;
    cache.closed = true;
    for (size_t c = 1; c <= kClasses; ++c) {
      for (void* p = cache.free[c]; p != nullptr;) {
        DOVEK_UNPOISON(p, c * kGrain);
        void* next = *static_cast<void**>(p);
        ::operator delete(p);
        p = next;
      }
      cache.free[c] = nullptr;
    }
    cache.cached_bytes = 0;
  }
};
thread_local CacheReaper t_reaper;

size_t size_class(size_t bytes) { return (bytes + kGrain - 1) / kGrain; }

// A block of class c handed out for `bytes`: only those are addressable.
void* handed_out(void* p, [[maybe_unused]] size_t c, [[maybe_unused]] size_t bytes) {
  DOVEK_UNPOISON(p, bytes);
  DOVEK_POISON(static_cast<char*>(p) + bytes, c * kGrain - bytes);
  return p;
}

}  // namespace

void* allocate_block(size_t bytes) {
  const size_t c = size_class(bytes);
  if (c > kClasses) return ::operator new(bytes);
  BlockCache& cache = t_cache;
  if (void* p = cache.free[c]) {
    DOVEK_UNPOISON(p, sizeof(void*));
    cache.free[c] = *static_cast<void**>(p);
    cache.cached_bytes -= c * kGrain;
    return handed_out(p, c, bytes);
  }
  return handed_out(::operator new(c * kGrain), c, bytes);
}

void free_block(void* p, size_t bytes) noexcept {
  const size_t c = size_class(bytes);
  if (c > kClasses) {
    ::operator delete(p);
    return;
  }
  BlockCache& cache = t_cache;
  if (!cache.closed && cache.cached_bytes + c * kGrain <= kMaxCachedBytes) {
    if (!cache.reaper_armed) {
      // The first use constructs the reaper and registers its destructor.
      static_cast<void>(&t_reaper);
      cache.reaper_armed = true;
    }
    DOVEK_UNPOISON(p, sizeof(void*));
    *static_cast<void**>(p) = cache.free[c];
    DOVEK_POISON(p, c * kGrain);
    cache.free[c] = p;
    cache.cached_bytes += c * kGrain;
    return;
  }
  DOVEK_UNPOISON(p, c * kGrain);
  ::operator delete(p);
}

}  // namespace detail

}  // namespace dovek::json

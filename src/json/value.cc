// The per-thread block cache behind the storage of json::Array and
// json::Object's members (see value.h).
#include "json/value.h"

#include <cstddef>
#include <new>

namespace dovek::json {
namespace detail {
namespace {

#if defined(__SANITIZE_ADDRESS__)
#define DOVEK_JSON_NO_BLOCK_CACHE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVEK_JSON_NO_BLOCK_CACHE 1
#endif
#endif

// Size classes in steps of kGrain bytes up to kClasses * kGrain; larger
// blocks go straight to the heap. A thread keeps at most kMaxCachedBytes of
// freed blocks: enough to rebuild a document of a few hundred KB without the
// heap, little enough to leave alone on every thread.
constexpr size_t kGrain = 32;
constexpr size_t kClasses = 64;
[[maybe_unused]] constexpr size_t kMaxCachedBytes = size_t{1} << 20;

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

}  // namespace

void* allocate_block(size_t bytes) {
  const size_t c = size_class(bytes);
  if (c > kClasses) return ::operator new(bytes);
  BlockCache& cache = t_cache;
  if (void* p = cache.free[c]) {
    cache.free[c] = *static_cast<void**>(p);
    cache.cached_bytes -= c * kGrain;
    return p;
  }
  return ::operator new(c * kGrain);
}

void free_block(void* p, size_t bytes) noexcept {
  const size_t c = size_class(bytes);
  if (c > kClasses) {
    ::operator delete(p);
    return;
  }
#ifndef DOVEK_JSON_NO_BLOCK_CACHE
  BlockCache& cache = t_cache;
  if (!cache.closed && cache.cached_bytes + c * kGrain <= kMaxCachedBytes) {
    if (!cache.reaper_armed) {
      // The first use constructs the reaper and registers its destructor.
      static_cast<void>(&t_reaper);
      cache.reaper_armed = true;
    }
    *static_cast<void**>(p) = cache.free[c];
    cache.free[c] = p;
    cache.cached_bytes += c * kGrain;
    return;
  }
#endif
  ::operator delete(p);
}

}  // namespace detail

}  // namespace dovek::json

#include "host/alloc_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define VORBEL_COUNT_WITH_SANITIZER_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORBEL_COUNT_WITH_SANITIZER_HOOKS 1
#endif
#endif

namespace {

std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_releases{0};

inline void CountAllocation() { g_allocations.fetch_add(1, std::memory_order_relaxed); }
inline void CountRelease() { g_releases.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

#if defined(VORBEL_COUNT_WITH_SANITIZER_HOOKS)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {

void MallocHook(const volatile void*, size_t) { CountAllocation(); }
void FreeHook(const volatile void*) { CountRelease(); }

void InstallOnce() {
  static const bool installed = [] {
    __sanitizer_install_malloc_and_free_hooks(&MallocHook, &FreeHook);
    return true;
  }();
  (void)installed;
}

}  // namespace

#else

// Forwarders to the C library's own allocator. Everything ends in the same allocator, so
// blocks may move freely between these and the library's internal calls.
extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* block);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);

#define VORBEL_ALLOC_EXPORT __attribute__((visibility("default")))

VORBEL_ALLOC_EXPORT void* malloc(size_t size) noexcept {
  CountAllocation();
  return __libc_malloc(size);
}

VORBEL_ALLOC_EXPORT void free(void* block) noexcept {
  if (block != nullptr) CountRelease();
  __libc_free(block);
}

VORBEL_ALLOC_EXPORT void* calloc(size_t count, size_t size) noexcept {
  CountAllocation();
  return __libc_calloc(count, size);
}

VORBEL_ALLOC_EXPORT void* realloc(void* block, size_t size) noexcept {
  if (block == nullptr) {
    CountAllocation();
  } else if (size == 0) {
    CountRelease();  // the C library frees the block and answers null
  } else {
    CountAllocation();
    CountRelease();
  }
  return __libc_realloc(block, size);
}

VORBEL_ALLOC_EXPORT void* memalign(size_t alignment, size_t size) noexcept {
  CountAllocation();
  return __libc_memalign(alignment, size);
}

VORBEL_ALLOC_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept {
  CountAllocation();
  return __libc_memalign(alignment, size);
}

VORBEL_ALLOC_EXPORT int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) {
    return EINVAL;
  }
  CountAllocation();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *result = block;
  return 0;
}

VORBEL_ALLOC_EXPORT void* valloc(size_t size) noexcept {
  CountAllocation();
  return __libc_valloc(size);
}

VORBEL_ALLOC_EXPORT void* pvalloc(size_t size) noexcept {
  CountAllocation();
  return __libc_pvalloc(size);
}
}  // extern "C"

namespace {
void InstallOnce() {}
}  // namespace

#endif

namespace vorbel::alloc {

Counts Now() {
  InstallOnce();
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return Counts{g_allocations.load(std::memory_order_relaxed),
                g_releases.load(std::memory_order_relaxed)};
}

}  // namespace vorbel::alloc

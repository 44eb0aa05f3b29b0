// Allocation accounting for the robustness tests: the largest single block and
// the total allocated while a measurement runs, over the whole process (the
// library's and the tool's allocations included). Plain builds replace the
// global operator new; sanitizer builds keep their allocator and use its hooks,
// which also see malloc. Include from exactly one file of a test executable.
#ifndef VELK_TESTS_ROBUST_ALLOC_H
#define VELK_TESTS_ROBUST_ALLOC_H

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VELK_ROBUST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELK_ROBUST_ASAN 1
#endif
#endif

#ifdef VELK_ROBUST_ASAN
// Exported by the ASan runtimes of gcc and clang; declared here because gcc's
// packages do not always ship the header.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*,
                                                                          std::size_t),
                                                         void (*onFree)(const volatile void*));
#endif

namespace velkrobust {

struct AllocStats {
  std::size_t largest = 0;
  std::size_t total = 0;
};

namespace detail {
inline std::atomic<bool> counting{false};
inline std::atomic<std::size_t> largest{0};
inline std::atomic<std::size_t> total{0};

inline void record(std::size_t n) {
  if (!counting.load(std::memory_order_relaxed)) return;
  total += n;
  std::size_t seen = largest.load();
  while (n > seen && !largest.compare_exchange_weak(seen, n)) {
  }
}
}  // namespace detail

#ifdef VELK_ROBUST_ASAN
namespace detail {
inline void onMalloc(const volatile void*, std::size_t n) { record(n); }
inline void onFree(const volatile void*) {}
inline const int installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
}  // namespace detail
#endif

inline void startCounting() {
  detail::largest = 0;
  detail::total = 0;
  detail::counting = true;
}

inline AllocStats stopCounting() {
  detail::counting = false;
  AllocStats s;
  s.largest = detail::largest;
  s.total = detail::total;
  return s;
}

}  // namespace velkrobust

#ifndef VELK_ROBUST_ASAN
// Out of line, so that the compiler does not pair an inlined malloc with a delete.
__attribute__((noinline)) void* operator new(std::size_t n) {
  velkrobust::detail::record(n);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

#endif

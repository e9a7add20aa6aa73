// Memory for codec tables that are read at random all over: a PPMd model, the
// links of a bzip2 block. On Linux it asks for transparent huge pages, which
// spare most TLB misses; 7zz's PPMd and bzip2 decoders run on them as well.
// Windows gives large pages only to holders of a privilege users lack, so
// there it is plain heap memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace cindral::codec {

inline void* AllocateLarge(size_t size) {
#if defined(__linux__)
  constexpr size_t kHugePage = size_t{2} << 20;
  if (size >= kHugePage) {
    const size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
    // Only advice: refused, the memory keeps small pages.
    madvise(memory, rounded, MADV_HUGEPAGE);
    return memory;
  }
#endif
  void* memory = std::malloc(size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

struct FreeLarge {
  void operator()(void* memory) const { std::free(memory); }
};
using LargeBytes = std::unique_ptr<uint8_t[], FreeLarge>;

template <typename T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
  void deallocate(T* memory, size_t) { std::free(memory); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

}  // namespace cindral::codec

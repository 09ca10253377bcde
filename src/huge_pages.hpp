// Arrays that training reads at random, hundreds of megabytes on large
// corpora: where the system backs memory with huge pages on request, they ask
// for them, so that a random read rarely misses the address cache as well.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wordloom {

namespace huge_pages_detail {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

inline std::align_val_t alignment_for(std::size_t bytes, std::size_t natural) {
  return static_cast<std::align_val_t>(std::max(bytes >= kHugePage ? kHugePage : 0, natural));
}

inline void* allocate(std::size_t bytes, std::align_val_t alignment) {
  void* memory = ::operator new(bytes, alignment);
#if defined(MADV_HUGEPAGE)
  if (bytes >= kHugePage) madvise(memory, bytes, MADV_HUGEPAGE);  // only a hint: a refusal changes nothing
#endif
  return memory;
}

}  // namespace huge_pages_detail

struct AlignedDelete {
  std::align_val_t alignment;
  void operator()(void* memory) const noexcept { ::operator delete(memory, alignment); }
};

template <typename T>
using HugePageArray = std::unique_ptr<T[], AlignedDelete>;

// An array of `count` uninitialised elements.
template <typename T>
HugePageArray<T> make_huge_page_array_for_overwrite(std::size_t count) {
  static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
  if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
  const std::align_val_t alignment = huge_pages_detail::alignment_for(count * sizeof(T), alignof(T));
  return HugePageArray<T>(static_cast<T*>(huge_pages_detail::allocate(count * sizeof(T), alignment)),
                          AlignedDelete{alignment});
}

// The same for the containers of training: their large blocks get huge pages.
template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(
        huge_pages_detail::allocate(count * sizeof(T), huge_pages_detail::alignment_for(count * sizeof(T), alignof(T))));
  }
  void deallocate(T* memory, std::size_t count) noexcept {
    ::operator delete(memory, huge_pages_detail::alignment_for(count * sizeof(T), alignof(T)));
  }

  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

}  // namespace wordloom

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
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
  const std::size_t bytes = count * sizeof(T);
  const auto alignment = static_cast<std::align_val_t>(std::max(bytes >= kHugePage ? kHugePage : 0, alignof(T)));
  void* memory = ::operator new(bytes, alignment);
#if defined(MADV_HUGEPAGE)
  if (bytes >= kHugePage) madvise(memory, bytes, MADV_HUGEPAGE);  // only a hint: a refusal changes nothing
#endif
  return HugePageArray<T>(static_cast<T*>(memory), AlignedDelete{alignment});
}

}  // namespace wordloom

// The per-instance borrow counter and the guards that hold it for one call.
// Only touched with the interpreter lock held, so it needs no atomics.
#pragma once

#include <cstdint>

#include "errors.hpp"

namespace wordloom::python {

// 0: free; n > 0: n shared borrows in progress; all ones: borrowed exclusively.
class BorrowFlag {
 public:
  bool can_share() const { return state_ != kExclusive; }

 private:
  friend class SharedBorrow;
  friend class ExclusiveBorrow;
  static constexpr std::uintptr_t kFree = 0;
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

  std::uintptr_t state_ = kFree;
};

// A read borrow for the guard's lifetime; refused while borrowed exclusively.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag.can_share()) raise_error(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag.state_;
  }
  ~SharedBorrow() { --flag_.state_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

// A write borrow for the guard's lifetime; refused while borrowed in any way.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag.state_ != BorrowFlag::kFree) raise_error(PyExc_RuntimeError, "Already borrowed");
    flag.state_ = BorrowFlag::kExclusive;
  }
  ~ExclusiveBorrow() { flag_.state_ = BorrowFlag::kFree; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace wordloom::python

#pragma once
// Scoped borrows of an object's BorrowFlag for the length of one call: changing
// methods take the exclusive side, readers the shared side. A conflicting call
// is refused at once, never queued.

#include "binding/common/errors.hpp"
#include "core/common/borrow_flag.hpp"

namespace tessaryne::binding {

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(common::BorrowFlag& flag) : flag_(flag) {
    if (flag_.acquire_exclusive() != common::BorrowResult::acquired) raise(PyExc_RuntimeError, "Already borrowed");
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { flag_.release_exclusive(); }

 private:
  common::BorrowFlag& flag_;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(common::BorrowFlag& flag) : flag_(flag) {
    if (flag_.acquire_shared() != common::BorrowResult::acquired) raise(PyExc_RuntimeError, "Already mutably borrowed");
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { flag_.release_shared(); }

 private:
  common::BorrowFlag& flag_;
};

}  // namespace tessaryne::binding

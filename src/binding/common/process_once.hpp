#pragma once
// A Python object created once per process on first need and kept for the rest
// of it (type objects, exception classes). A thread that finds another thread
// creating it waits on a PyMutex, which detaches it from the interpreter while
// it waits.

#include <atomic>

#include "binding/common/python.hpp"

namespace tessaryne::binding {

template <class Object>
class ProcessOnce {
 public:
  // Returns the object, creating it with `make()` (a new reference, or null with
  // an exception set) if this is its first use. The reference is kept forever.
  template <class Make>
  Object* get(Make&& make) noexcept {
    if (Object* ready = object_.load(std::memory_order_acquire)) return ready;
    PyMutex_Lock(&mutex_);
    Object* current = object_.load(std::memory_order_relaxed);
    if (current == nullptr) {
      current = make();
      object_.store(current, std::memory_order_release);
    }
    PyMutex_Unlock(&mutex_);
    return current;
  }

 private:
  PyMutex mutex_{};
  std::atomic<Object*> object_{nullptr};
};

}  // namespace tessaryne::binding

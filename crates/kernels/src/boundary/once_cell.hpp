// Process-wide values made once, by the first caller that needs them.
//
// Callers hold the interpreter lock. Making a value may run Python code (an import, a property, a
// garbage collection), which can give that lock up for a while, and another thread may fork
// meanwhile. The child has no maker then: there, the fork handler leaves every such cell unlocked
// and, unless it was made already, unset, for the child's first caller to make anew. The cells'
// locks cannot be ones that a fork waits for instead: their holder may be waiting for the
// interpreter lock, which the forking thread holds.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "boundary/frame.hpp"
#include "fork_safe.hpp"

namespace kernels::boundary {

// The lock a cell's maker holds. A waiter releases the interpreter lock, so that the maker can
// take it back.
class OnceCellLock : private ForkChildReset {
 public:
  constexpr OnceCellLock() noexcept : ForkChildReset(&reset_in_child) {}

  void lock();
  void unlock() noexcept;

 private:
  static void reset_in_child(ForkChildReset& enlisted) noexcept;

  std::mutex mutex_;
  std::atomic<pthread_t> holder_{0};  // 0 when free
};

// A value made once. A failed making leaves the cell unset for the next caller.
template <class T>
class GilOnceCell {
 public:
  const T* get() const noexcept {
    return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
  }

  // init() returns Result<T>, or raises an internal failure.
  template <class Init>
  Result<const T*> get_or_try_init(Init&& init) {
    if (const T* value = get()) return value;
    std::lock_guard held(lock_);
    if (const T* value = get()) return value;
    Result<T> made = init();
    if (!made) return std::unexpected(std::move(made.error()));
    value_ = std::move(*made);
    ready_.store(true, std::memory_order_release);
    return &value_;
  }

 private:
  OnceCellLock lock_;
  std::atomic<bool> ready_{false};
  T value_{};
};

}  // namespace kernels::boundary

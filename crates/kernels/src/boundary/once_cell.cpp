#include "boundary/once_cell.hpp"

#include <memory>

#include "failure.hpp"

namespace kernels::boundary {

struct OnceCellForks {
  static inline std::atomic<OnceCellLock*> last_listed{nullptr};

  // In the child, the forking thread is the only one: a lock held by any other is held by no one.
  // The forking thread itself may hold one, when a maker's Python code forked: that maker goes on
  // in the child and releases it.
  static void in_child() noexcept {
    const pthread_t self = pthread_self();
    for (OnceCellLock* lock = last_listed.load(std::memory_order_acquire); lock != nullptr;
         lock = lock->next_) {
      pthread_t holder = lock->holder_.load(std::memory_order_relaxed);
      if (holder != 0 && pthread_equal(holder, self)) continue;
      // Also when it reads as free: the holder may have had the mutex without yet writing itself.
      std::construct_at(&lock->mutex_);
      lock->holder_.store(0, std::memory_order_relaxed);
    }
  }

  static void list(OnceCellLock* lock) noexcept {
    if (lock->listed_.exchange(true, std::memory_order_acq_rel)) return;
    OnceCellLock* previous = last_listed.load(std::memory_order_relaxed);
    do {
      lock->next_ = previous;
    } while (!last_listed.compare_exchange_weak(previous, lock, std::memory_order_release,
                                                std::memory_order_relaxed));
    // The first one registers the handler; pthread_atfork fails only for want of memory.
    if (previous == nullptr && ::pthread_atfork(nullptr, nullptr, &in_child) != 0) {
      out_of_memory(sizeof(void*) * 3);
    }
  }
};

void OnceCellLock::lock() {
  // Listed before it is first held, so that no fork can copy it held and unknown.
  OnceCellForks::list(this);
  if (!mutex_.try_lock()) {
    DetachedScope detached;
    mutex_.lock();
    holder_.store(pthread_self(), std::memory_order_relaxed);
    return;
  }
  holder_.store(pthread_self(), std::memory_order_relaxed);
}

void OnceCellLock::unlock() noexcept {
  holder_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
}

}  // namespace kernels::boundary

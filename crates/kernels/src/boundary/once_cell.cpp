#include "boundary/once_cell.hpp"

#include <memory>

namespace kernels::boundary {

// In the child, the forking thread is the only one: a lock held by any other is held by no one.
// The forking thread itself may hold one, when a maker's Python code forked: that maker goes on in
// the child and releases it.
void OnceCellLock::reset_in_child(ForkChildReset& enlisted) noexcept {
  auto& lock = static_cast<OnceCellLock&>(enlisted);
  const pthread_t holder = lock.holder_.load(std::memory_order_relaxed);
  if (holder != 0 && pthread_equal(holder, pthread_self())) return;
  // Also when it reads as free: the holder may have had the mutex without yet writing itself.
  std::construct_at(&lock.mutex_);
  lock.holder_.store(0, std::memory_order_relaxed);
}

void OnceCellLock::lock() {
  // Enlisted before it is first held, so that no fork can copy it held and unknown.
  enlist();
  if (!mutex_.try_lock()) {
    DetachedScope detached;
    mutex_.lock();
  }
  holder_.store(pthread_self(), std::memory_order_relaxed);
}

void OnceCellLock::unlock() noexcept {
  holder_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
}

}  // namespace kernels::boundary

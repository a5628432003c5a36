#include "fork_safe.hpp"

#include <pthread.h>

#include <atomic>

#include "failure.hpp"

namespace kernels {
namespace {
constinit std::atomic<ForkSafeMutex*> last_registered{nullptr};
constinit std::atomic<std::uint64_t> generation{0};
}  // namespace

struct ForkHandlers {
  // All of them, the way std::lock takes several: block on one, try the others, and when one is
  // busy let all go and block on that one first. Users may nest them in any order.
  static void lock_all() noexcept {
    ForkSafeMutex* const all = last_registered.load(std::memory_order_acquire);
    ForkSafeMutex* blocking = all;
    while (blocking != nullptr) {
      blocking->mutex_.lock();
      ForkSafeMutex* busy = nullptr;
      for (ForkSafeMutex* m = all; m != nullptr && busy == nullptr; m = m->next_) {
        if (m != blocking && !m->mutex_.try_lock()) busy = m;
      }
      if (busy == nullptr) return;
      for (ForkSafeMutex* m = all; m != busy; m = m->next_) {
        if (m != blocking) m->mutex_.unlock();
      }
      blocking->mutex_.unlock();
      blocking = busy;
    }
  }

  static void unlock_all() noexcept {
    for (ForkSafeMutex* m = last_registered.load(std::memory_order_acquire); m != nullptr;
         m = m->next_) {
      m->mutex_.unlock();
    }
  }

  static void in_child() noexcept {
    generation.fetch_add(1, std::memory_order_relaxed);
    unlock_all();
  }

  static void add(ForkSafeMutex* mutex) noexcept {
    ForkSafeMutex* previous = last_registered.load(std::memory_order_relaxed);
    do {
      mutex->next_ = previous;
    } while (!last_registered.compare_exchange_weak(previous, mutex, std::memory_order_release,
                                                    std::memory_order_relaxed));
    // The first one registers the handlers; pthread_atfork fails only for want of memory.
    if (previous == nullptr && ::pthread_atfork(&lock_all, &unlock_all, &in_child) != 0) {
      out_of_memory(sizeof(void*) * 3);
    }
  }
};

ForkSafeMutex::ForkSafeMutex() noexcept { ForkHandlers::add(this); }

std::uint64_t fork_generation() noexcept { return generation.load(std::memory_order_relaxed); }

}  // namespace kernels

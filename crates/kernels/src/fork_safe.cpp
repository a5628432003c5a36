#include "fork_safe.hpp"

#include <pthread.h>

#include <atomic>

#include "failure.hpp"

namespace kernels {
namespace {
constinit std::atomic<ForkSafeMutex*> last_registered{nullptr};
constinit std::atomic<ForkChildReset*> last_enlisted{nullptr};
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
    for (ForkChildReset* r = last_enlisted.load(std::memory_order_acquire); r != nullptr;
         r = r->next_) {
      r->reset_(*r);
    }
  }

  // Once, before the first mutex or reset is listed; pthread_atfork fails only for want of memory.
  static void register_handlers() noexcept {
    static const bool registered = [] {
      if (::pthread_atfork(&lock_all, &unlock_all, &in_child) != 0) {
        out_of_memory(sizeof(void*) * 3);
      }
      return true;
    }();
    (void)registered;
  }

  template <class Node>
  static void push(std::atomic<Node*>& last, Node* node) noexcept {
    register_handlers();
    Node* previous = last.load(std::memory_order_relaxed);
    do {
      node->next_ = previous;
    } while (!last.compare_exchange_weak(previous, node, std::memory_order_release,
                                         std::memory_order_relaxed));
  }
};

ForkSafeMutex::ForkSafeMutex() noexcept { ForkHandlers::push(last_registered, this); }

void ForkChildReset::enlist() noexcept {
  if (!enlisted_.exchange(true, std::memory_order_acq_rel)) ForkHandlers::push(last_enlisted, this);
}

std::uint64_t fork_generation() noexcept { return generation.load(std::memory_order_relaxed); }

}  // namespace kernels

// A mutex that a fork never copies in the held state.
//
// Just before a fork the forking thread takes every ForkSafeMutex, waiting for each critical
// section under way to end; parent and child release them all after it. A child so never
// inherits a lock that no thread of its own would release, nor the half-changed state it guards
// (a plan being made, a list being grown). Whoever holds one must never wait for the thread that
// forks: for a Python thread that is the interpreter lock, which no such mutex may be held across.
//
// Each must be a namespace-scope object, made during static initialisation before any thread can
// take it; it is never destroyed, so forks while the process exits stay safe too.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace kernels {

class ForkSafeMutex {
 public:
  ForkSafeMutex() noexcept;
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock() { mutex_.lock(); }
  bool try_lock() noexcept { return mutex_.try_lock(); }
  void unlock() noexcept { mutex_.unlock(); }

 private:
  friend struct ForkHandlers;
  std::mutex mutex_;
  ForkSafeMutex* next_ = nullptr;  // the one registered before this one
};

static_assert(std::is_trivially_destructible_v<ForkSafeMutex>,
              "a fork during exit may still take the mutex");

// State that a fork can leave wrong in the child but cannot wait for (a lock whose holder may wait
// for the forking thread): `reset` runs in every child forked after enlist(), on the child's only
// thread, once the ForkSafeMutexes are released there.
class ForkChildReset {
 public:
  using Reset = void (*)(ForkChildReset&) noexcept;
  constexpr explicit ForkChildReset(Reset reset) noexcept : reset_(reset) {}
  ForkChildReset(const ForkChildReset&) = delete;
  ForkChildReset& operator=(const ForkChildReset&) = delete;

  // Idempotent and lock-free, so that it may come at first use instead of at construction.
  void enlist() noexcept;

 private:
  friend struct ForkHandlers;
  Reset reset_;
  std::atomic<bool> enlisted_{false};
  ForkChildReset* next_ = nullptr;  // the one enlisted before this one
};

// How many forks lie between this process and the one that loaded the module: the same fork
// handlers add one in every child. Unlike a pid, which a child can share with its parent (in a new
// pid namespace) or with a process long gone, this tells a child from the process it was forked
// from.
std::uint64_t fork_generation() noexcept;

}  // namespace kernels

#include "fork_safe.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "processes.hpp"

namespace kernels {
namespace {

using testing_processes::Complaints;
using testing_processes::expect_in_forked_child;

// Namespace-scope, as the type requires; registered in this order. Each pair is nested one way
// only, the two pairs in opposite orders of registration.
ForkSafeMutex a, b, c, d;
int steps = 0;  // guarded by the outer mutex of each case

// Ends the test program if the test body has not returned by then: a fork that deadlocks in its
// handlers would otherwise hang the run.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
            std::fputs("the test did not end in time: a fork deadlocked\n", stderr);
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

TEST(ForkSafeMutex, AForkWaitsForHoldersNestedInEitherOrderAndTheChildCanTakeBoth) {
  struct Case {
    const char* name;
    ForkSafeMutex& outer;
    ForkSafeMutex& inner;
  };
  const Case cases[] = {{"a, then b", a, b}, {"d, then c", d, c}};
  Watchdog watchdog(std::chrono::seconds(30));
  for (const Case& nesting : cases) {
    SCOPED_TRACE(nesting.name);
    steps = 0;
    std::atomic<bool> held{false};
    std::thread holder([&] {
      std::lock_guard outer(nesting.outer);
      held = true;
      steps = 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::lock_guard inner(nesting.inner);
      steps = 2;
    });
    while (!held) std::this_thread::yield();
    expect_in_forked_child([&](Complaints& complaints) {
      complaints.expect(nesting.outer.try_lock(), "the child can take the outer mutex");
      complaints.expect(nesting.inner.try_lock(), "the child can take the inner mutex");
      complaints.expect_eq("steps taken before the fork", steps, 2);
    });
    holder.join();
    ASSERT_TRUE(nesting.outer.try_lock());
    ASSERT_TRUE(nesting.inner.try_lock());
    nesting.inner.unlock();
    nesting.outer.unlock();
  }
}

}  // namespace
}  // namespace kernels

#include "pool.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "failure.hpp"
#include "processes.hpp"

namespace kernels::pool {
namespace {

using testing_processes::Complaints;
using testing_processes::expect_in_forked_child;
using testing_processes::expect_in_fresh_process;

TEST(PoolSizing, ThreadCountVariables) {
  struct Case {
    const char* text;
    std::optional<std::size_t> expected;
  };
  const Case cases[] = {
      {nullptr, std::nullopt},  // unset
      {"4", 4},
      {"+4", 4},
      {"007", 7},
      {"0", 0},  // the default
      {"+0", 0},
      {"70000", 70000},  // the cap is applied after the choice of source
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++4", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"4x", std::nullopt},
      {"0x10", std::nullopt},
      {"99999999999999999999999", std::nullopt},  // past the unsigned range
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_thread_count(c.text), c.expected) << (c.text ? c.text : "(unset)");
  }
}

TEST(PoolSizing, FirstVariableWithANumberWins) {
  const std::size_t fallback = pool_size(nullptr, nullptr);
  EXPECT_GE(fallback, 1u);
  EXPECT_LE(fallback, max_threads);
  struct Case {
    const char* num_threads;
    const char* num_cpus;
    std::size_t expected;
  };
  const Case cases[] = {
      {"4", "5", 4},
      {"+4", nullptr, 4},
      {"four", "5", 5},
      {nullptr, "5", 5},
      {"0", "5", fallback},
      {"", "0", fallback},
      {"x", "y", fallback},
      {"70000", nullptr, max_threads},
      {nullptr, "32768", 32768},
      {nullptr, "32769", max_threads},  // oneTBB would start no workers for it
      {"65535", nullptr, max_threads},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pool_size(c.num_threads, c.num_cpus), c.expected)
        << (c.num_threads ? c.num_threads : "(unset)") << ", "
        << (c.num_cpus ? c.num_cpus : "(unset)");
  }
}

TEST(Pool, SizeIsReadFromTheEnvironmentWhenThePoolIsMade) {
  expect_in_fresh_process([](Complaints& c) {
    c.expect(!pool_created(), "no pool before the first call");
    ::setenv("RAYON_NUM_THREADS", "not a number", 1);
    ::setenv("RAYON_RS_NUM_CPUS", "+3", 1);
    c.expect_eq("thread_count()", thread_count(), 3u);
    c.expect_eq("the arena's concurrency", detail::arena()->max_concurrency(), 3);
    ::setenv("RAYON_RS_NUM_CPUS", "5", 1);  // read once only
    c.expect_eq("thread_count() after a change", thread_count(), 3u);
  });
}

// oneTBB's process-wide cap is the pool's size, below the machine's and above it: under a load of
// many callers oneTBB starts workers up to that cap, whatever the arena's size.
TEST(Pool, CapsOneTbbAtItsSize) {
  const std::size_t machine = tbb::info::default_concurrency();
  const std::size_t cases[] = {1, 2, machine, machine + 3};
  for (std::size_t n : cases) {
    SCOPED_TRACE(testing::Message() << "a pool of " << n << " on " << machine << " CPUs");
    expect_in_fresh_process([n](Complaints& c) {
      ::setenv("RAYON_NUM_THREADS", std::to_string(n).c_str(), 1);
      c.expect_eq("thread_count()", thread_count(), n);
      c.expect_eq("the arena's concurrency", detail::arena()->max_concurrency(),
                  static_cast<int>(n));
      c.expect_eq("oneTBB's cap",
                  tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism),
                  n);
    });
  }
}

// Root ignores the process limit: these checks run as an ordinary user under a low one. The limit
// counts every process of the user, so the user is one of this process's own, not nobody, whom
// other programs (and tests running beside this one) may be.
void limit_processes(Complaints& c, rlim_t limit) {
  if (::geteuid() == 0) {
    const uid_t own = 0x70000000 + static_cast<uid_t>(::getpid());
    c.expect(::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                 ::setresuid(own, own, own) == 0,
             "dropping root");
  }
  const rlimit nproc{limit, limit};
  c.expect(::setrlimit(RLIMIT_NPROC, &nproc) == 0, "setting the process limit");
}

std::size_t live_threads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) return std::stoul(line.substr(8));
  }
  return 0;
}

TEST(Pool, ThreadProbesCountUpToTheProcessLimitAndEndTheirThreads) {
  expect_in_fresh_process([](Complaints& c) {
    constexpr rlim_t limit = 32;
    limit_processes(c, limit);
    const std::size_t stack = std::size_t{1} << 20;
    start_and_end_threads(1, stack);  // a sanitizer's runtime starts a thread of its own then
    const std::size_t before = live_threads();
    const ThreadProbe first = start_and_end_threads(200, stack);
    c.expect_eq("threads started under a limit of 32", first.started, limit - before);
    c.expect_eq("the error", first.error, EAGAIN);
    c.expect_eq("threads left", live_threads(), before);
    // The ended threads no longer count against the limit either.
    for (int round = 0; round < 20; ++round) {
      c.expect_eq("a later count", start_and_end_threads(200, stack).started, first.started);
    }
    const ThreadProbe few = start_and_end_threads(3, stack);
    c.expect_eq("a count below the limit", few.started, 3u);
    c.expect_eq("its error", few.error, 0);
  });
}

TEST(Pool, APoolTheProcessCannotStartFailsAndTheNextLoopTriesAgain) {
  expect_in_fresh_process([](Complaints& c) {
    limit_processes(c, 32);
    ::setenv("RAYON_NUM_THREADS", "200", 1);
    testing::internal::CaptureStderr();
    try {
      thread_count();
      c.expect(false, "a failure for a pool of 200");
    } catch (const Panic& failure) {
      c.expect(failure.message().starts_with("cannot start a worker pool of 200 threads: only "),
               "a message naming the count");
    }
    testing::internal::GetCapturedStderr();
    c.expect(!pool_created(), "no pool after the failure");
    ::setenv("RAYON_NUM_THREADS", "4", 1);
    c.expect_eq("thread_count() with a size it can start", thread_count(), 4u);
  });
}

TEST(Pool, ThreadCountIsWithinLimits) {
  std::size_t n = thread_count();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, max_threads);
  EXPECT_TRUE(pool_created());
}

TEST(Pool, AnEmptyLoopCreatesThePool) {
  expect_in_fresh_process([](Complaints& c) {
    c.expect(!pool_created(), "no pool before the first loop");
    int makes = 0, calls = 0;
    for_each_with_state(
        0, [&] { return ++makes; }, [&](std::size_t, int&) { ++calls; });
    c.expect(pool_created(), "the pool exists after an empty loop");
    c.expect_eq("states made", makes, 0);
    c.expect_eq("calls", calls, 0);
  });
}

TEST(Pool, ASingleItemRunsOnTheCaller) {
  const auto caller = std::this_thread::get_id();
  int makes = 0, calls = 0;
  for_each_with_state(
      1, [&] { return ++makes; },
      [&](std::size_t i, int& state) {
        ++calls;
        EXPECT_EQ(i, 0u);
        EXPECT_EQ(state, 1);
        EXPECT_EQ(std::this_thread::get_id(), caller);
      });
  EXPECT_EQ(makes, 1);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(pool_created());
}

TEST(Pool, AForkedChildRunsEveryLoopOnItsCallingThreadAsOneTask) {
  // The parent's workers are up and have taken part in a loop before the fork.
  std::atomic<std::size_t> warm{0};
  for_each_with_state(
      100000, [] { return 0; }, [&](std::size_t, int&) { ++warm; });
  ASSERT_EQ(warm, 100000u);
  const std::size_t parent_threads = thread_count();
  expect_in_forked_child([](Complaints& c) {
    constexpr std::size_t n = 100000;
    const auto caller = std::this_thread::get_id();
    std::size_t makes = 0, calls = 0, out_of_order = 0, elsewhere = 0;
    for_each_with_state(
        n, [&] { return ++makes; },
        [&](std::size_t i, std::size_t&) {
          out_of_order += i != calls;
          elsewhere += std::this_thread::get_id() != caller;
          ++calls;
        });
    c.expect_eq("states made", makes, 1u);
    c.expect_eq("calls", calls, n);
    c.expect_eq("indices out of order", out_of_order, 0u);
    c.expect_eq("calls off the calling thread", elsewhere, 0u);
    c.expect_eq("thread_count()", thread_count(), 1u);
    c.expect(detail::arena() == nullptr, "no arena in the child");
  });
  EXPECT_EQ(thread_count(), parent_threads);
  EXPECT_NE(detail::arena(), nullptr);
}

TEST(Pool, StatefulLoopVisitsEveryIndexOnceInAscendingRunsPerTask) {
  constexpr std::size_t n = 100000;
  std::vector<std::atomic<int>> visits(n);
  std::atomic<std::size_t> makes{0};
  std::atomic<std::size_t> broken_runs{0};
  struct State {
    std::size_t id;
    std::optional<std::size_t> last;
  };
  std::vector<std::atomic<std::size_t>> owner(n);
  for_each_with_state(
      n,
      [&] {
        return State{makes++, std::nullopt};
      },
      [&](std::size_t i, State& state) {
        if (state.last && *state.last + 1 != i) ++broken_runs;
        state.last = i;
        owner[i] = state.id;
        ++visits[i];
      });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i], 1) << "index " << i;
  EXPECT_EQ(broken_runs, 0u);
  // Every state made served at least one index, and tasks are ranges, not single items.
  std::vector<bool> used(makes, false);
  for (std::size_t i = 0; i < n; ++i) used[owner[i]] = true;
  for (std::size_t t = 0; t < makes; ++t) EXPECT_TRUE(used[t]) << "state " << t << " unused";
  EXPECT_LT(makes.load(), n / 16);
}

TEST(Pool, ItemLoopHandsEachItemWithItsIndex) {
  std::vector<std::size_t> items(1000, 0);
  for_each_item(std::span<std::size_t>(items),
                [](std::size_t i, std::size_t& item) { item += i + 1; });
  for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i], i + 1);
}

TEST(Pool, ChunkPairsCoverBothBuffersInMatchingChunks) {
  struct Case {
    std::size_t len_a, len_b, chunk, expected_chunks;
  };
  const Case cases[] = {{10, 10, 4, 3}, {8, 8, 4, 2},  {0, 0, 4, 0},
                        {3, 3, 8, 1},   {10, 6, 4, 2}, {1000, 1000, 32, 32}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.len_a << ", " << c.len_b << " by " << c.chunk);
    std::vector<double> a(c.len_a, -1.0), b(c.len_b, -1.0);
    std::atomic<std::size_t> chunks{0};
    for_each_chunk_pair(a, b, c.chunk,
                        [&](std::size_t j, std::span<double> ca, std::span<double> cb) {
                          ++chunks;
                          EXPECT_EQ(ca.data(), a.data() + j * c.chunk);
                          EXPECT_EQ(cb.data(), b.data() + j * c.chunk);
                          for (double& v : ca) v = static_cast<double>(j);
                          for (double& v : cb) v = static_cast<double>(j);
                        });
    EXPECT_EQ(chunks, c.expected_chunks);
    std::size_t covered = std::min(c.expected_chunks * c.chunk, c.len_a);
    for (std::size_t i = 0; i < c.len_a; ++i) {
      EXPECT_EQ(a[i], i < covered ? static_cast<double>(i / c.chunk) : -1.0) << "a[" << i << "]";
    }
    for (std::size_t i = 0; i < c.len_b; ++i) EXPECT_EQ(b[i], static_cast<double>(i / c.chunk));
  }
}

TEST(Pool, InternalFailureOnAWorkerIsRaisedOnTheCallerWithoutASecondReport) {
  if (thread_count() < 2) GTEST_SKIP() << "a pool of one thread runs everything on the caller";
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> raised{false};
  bool waited = false;  // touched by the caller only
  testing::internal::CaptureStderr();
  try {
    for_each_with_state(
        64, [] { return 0; },
        [&](std::size_t, int&) {
          if (std::this_thread::get_id() != caller) {
            if (!raised.exchange(true)) panic("failure on a worker");
            return;
          }
          // Keep the caller busy until a worker has taken part of the loop.
          if (waited) return;
          waited = true;
          auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
          while (!raised && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        });
    std::string err = testing::internal::GetCapturedStderr();
    FAIL() << "no failure reached the caller";
  } catch (const Panic& p) {
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.message(), "failure on a worker");
    std::size_t reports = 0;
    for (std::size_t at = err.find("panicked at"); at != std::string::npos;
         at = err.find("panicked at", at + 1)) {
      ++reports;
    }
    EXPECT_EQ(reports, 1u) << err;
  }
}

TEST(Pool, AllocationFailureIsNotSwallowed) {
  EXPECT_THROW(for_each_with_state(
                   1000, [] { return 0; },
                   [](std::size_t i, int&) {
                     if (i == 777) throw std::bad_alloc();
                   }),
               std::bad_alloc);
  int one = 0;
  EXPECT_THROW(
      for_each_item(std::span<int>(&one, 1), [](std::size_t, int&) { throw std::bad_alloc(); }),
      std::bad_alloc);
}

}  // namespace
}  // namespace kernels::pool

// The process-wide worker pool and the parallel loops the kernels run on it.
//
// One oneTBB arena, made by the first loop that needs it and kept until the process ends. Its size
// is read when it is made: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPUs this process
// may run on; at most max_threads. When the process cannot start that many threads, making it is
// an internal failure of the loop that tried, and the next loop tries again, reading the variables
// anew. Every loop reaches for the pool before it looks at its length, so the first loop of the
// process creates the pool even when it has nothing to do.
//
// Exceptions thrown by a loop body (an internal failure, already reported on the thread that
// raised it, or std::bad_alloc) are carried to the calling thread by oneTBB and rethrown there as
// the same object; the rest of the loop is cancelled.
//
// A process forked from the one that made the pool has none of its threads: there every loop runs
// on the calling thread, as one task, with the same results. Such a process is told by the fork
// itself (fork_generation), never by its pid.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

#include "failure.hpp"

namespace kernels::pool {

// oneTBB gives an arena of more than this many threads no workers at all.
inline constexpr std::size_t max_threads = 32768;

// One sizing variable's value: nullopt when unset or not a number (try the next source), 0 for
// "use the default", else the count. Accepts decimal digits with an optional leading '+', as an
// unsigned parse does; anything else, whitespace included, is not a number.
std::optional<std::size_t> parse_thread_count(const char* text);

// The pool size these two variable values choose (nullptr for unset), capped at max_threads.
std::size_t pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus);

// Starts `wanted` threads with stacks of `stack_bytes`, all alive at once, or as many as it can,
// and ends them again, returning once the system no longer counts them: how many started, and the
// error that stopped the next one (0 for none).
struct ThreadProbe {
  std::size_t started;
  int error;
};
ThreadProbe start_and_end_threads(std::size_t wanted, std::size_t stack_bytes);

// The number of threads the pool has (1 in a forked process); creates the pool on the first call.
// Making the pool raises an internal failure when its threads cannot all be started.
std::size_t thread_count();

// Whether the pool exists yet (never creates it).
bool pool_created() noexcept;

namespace detail {
// The pool's arena, made on the first call; null in a forked process, where oneTBB would wait for
// workers that are gone.
tbb::task_arena* arena();

#if KERNELS_TSAN_ANNOTATE
// oneTBB is not instrumented, so ThreadSanitizer sees neither the edges from a loop's caller to
// its bodies and back, nor the synchronisation of oneTBB's own inlined bookkeeping. The pool marks
// the two edges itself and hides every access a thread makes inside the pool outside a loop body
// (pool threads are hidden from their arena entry on, see pool.cpp): the loop bodies, the kernels'
// code, stay checked against each other and against the caller.
extern "C" {
void __tsan_acquire(void* address);
void __tsan_release(void* address);
void __tsan_ignore_thread_begin();
void __tsan_ignore_thread_end();
}
// Around a loop on its calling thread: fork edge first, join edge on every way out.
struct TsanLoop {
  char fork = 0, join = 0;
  TsanLoop() {
    __tsan_release(&fork);
    __tsan_ignore_thread_begin();
  }
  ~TsanLoop() {
    __tsan_ignore_thread_end();
    __tsan_acquire(&join);
  }
};
// Around one task's run of the body, on whichever thread runs it.
struct TsanBody {
  TsanLoop& loop;
  explicit TsanBody(TsanLoop& l) : loop(l) {
    __tsan_ignore_thread_end();
    __tsan_acquire(&loop.fork);
  }
  ~TsanBody() {
    __tsan_release(&loop.join);
    __tsan_ignore_thread_begin();
  }
};
#endif
}  // namespace detail

// Calls body(index, state) for every index in [0, n_items). Each task (a sub-range that one thread
// runs without splitting it further) makes its state once with make_state() and walks its indices
// in ascending order. A loop of at most one item, and every loop of a forked process, is one task
// on the calling thread; otherwise the items are handed to the pool and the caller waits for all
// of them.
template <class MakeState, class Body>
void for_each_with_state(std::size_t n_items, MakeState&& make_state, Body&& body) {
  tbb::task_arena* arena = detail::arena();  // makes the pool, whatever the loop's length
  if (n_items <= 1 || arena == nullptr) {
    if (n_items == 0) return;
    auto state = make_state();
    for (std::size_t i = 0; i != n_items; ++i) body(i, state);
    return;
  }
#if KERNELS_TSAN_ANNOTATE
  detail::TsanLoop loop;
#endif
  arena->execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_items),
                      [&](const tbb::blocked_range<std::size_t>& range) {
#if KERNELS_TSAN_ANNOTATE
                        detail::TsanBody checked(loop);
#endif
                        auto state = make_state();
                        for (std::size_t i = range.begin(); i != range.end(); ++i) body(i, state);
                      });
  });
}

// Calls body(index, item) once for every item.
template <class Item, class Body>
void for_each_item(std::span<Item> items, Body&& body) {
  struct NoState {};
  for_each_with_state(
      items.size(), [] { return NoState{}; }, [&](std::size_t i, NoState&) { body(i, items[i]); });
}

// Cuts a and b into runs of chunk_len values (the last ones shorter) and calls
// body(chunk_index, a_chunk, b_chunk) for every pair; as with a zip, the shorter buffer sets the
// number of chunks.
template <class Body>
void for_each_chunk_pair(std::span<double> a, std::span<double> b, std::size_t chunk_len,
                         Body&& body) {
  if (chunk_len == 0) panic("chunk size must be non-zero");
  auto chunks = [chunk_len](std::size_t len) { return len / chunk_len + (len % chunk_len != 0); };
  std::size_t n_chunks = std::min(chunks(a.size()), chunks(b.size()));
  auto piece = [chunk_len](std::span<double> whole, std::size_t j) {
    std::size_t start = j * chunk_len;
    return whole.subspan(start, std::min(chunk_len, whole.size() - start));
  };
  struct NoState {};
  for_each_with_state(
      n_chunks, [] { return NoState{}; },
      [&](std::size_t j, NoState&) { body(j, piece(a, j), piece(b, j)); });
}

}  // namespace kernels::pool

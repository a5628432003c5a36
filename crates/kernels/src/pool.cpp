#include "pool.hpp"

#include <pthread.h>
#include <tbb/global_control.h>
#include <tbb/task_scheduler_observer.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "cpus.hpp"
#include "fork_safe.hpp"

namespace kernels::pool {
namespace {

std::optional<std::size_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// One thread of a probe: it notes its id, then waits until the gate opens.
struct ProbeThread {
  std::mutex* gate;
  pid_t id = 0;
};

void* wait_at_gate(void* started) {
  auto* thread = static_cast<ProbeThread*>(started);
  thread->id = ::gettid();
  thread->gate->lock();
  thread->gate->unlock();
  return nullptr;
}

// A joined thread counts against the process limit until the kernel has released it, a moment
// after join returns, and leaves /proc/self/task at that point. oneTBB, starting its workers
// next, must not find it still counted. Without /proc there is nothing to wait for.
void wait_until_released(const std::vector<ProbeThread>& threads) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (const ProbeThread& thread : threads) {
    const std::string task = "/proc/self/task/" + std::to_string(thread.id);
    while (::access(task.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
}

#if KERNELS_TSAN_ANNOTATE
// A pool thread runs nothing of the module's outside a loop body (see pool.hpp).
class HiddenWorkers : public tbb::task_scheduler_observer {
 public:
  explicit HiddenWorkers(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
    observe(true);
  }
  void on_scheduler_entry(bool worker) override {
    if (worker) detail::__tsan_ignore_thread_begin();
  }
  void on_scheduler_exit(bool worker) override {
    if (worker) detail::__tsan_ignore_thread_end();
  }
};
#endif

struct Pool {
  explicit Pool(std::size_t n) : threads(n), arena(static_cast<int>(n)) {
    // oneTBB caps all arenas together at its own idea of the machine's size, and under a load of
    // many callers starts workers up to that cap, beyond the arena's own. The cap is the pool's
    // size instead, for the life of the process: larger when asked, and never more threads.
    widen.emplace(tbb::global_control::max_allowed_parallelism, n);
    arena.initialize();
#if KERNELS_TSAN_ANNOTATE
    hidden.emplace(arena);
#endif
  }
  std::size_t threads;
  std::uint64_t generation = fork_generation();
  std::optional<tbb::global_control> widen;
  tbb::task_arena arena;
#if KERNELS_TSAN_ANNOTATE
  std::optional<HiddenWorkers> hidden;
#endif
};

// Made once and never destroyed: the pool must outlive every static destructor, since worker
// threads and other extensions' calls may still be running at exit. A fork waits for the making
// to end, so a child sees either no pool or a whole one.
ForkSafeMutex making;
alignas(Pool) unsigned char storage[sizeof(Pool)];
std::atomic<Pool*> made{nullptr};

Pool& instance() {
  if (Pool* pool = made.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(making);
  if (Pool* pool = made.load(std::memory_order_relaxed)) return *pool;
  std::size_t threads = pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"));
  // oneTBB starts its workers on threads of its own, where a failure to start one ends the
  // process. So they are started once beforehand: a pool that the process cannot start is a
  // failure of this call instead.
  const std::size_t stack_bytes =
      tbb::global_control::active_value(tbb::global_control::thread_stack_size);
  if (ThreadProbe probe = start_and_end_threads(threads - 1, stack_bytes); probe.error != 0) {
    panic("cannot start a worker pool of " + std::to_string(threads) + " threads: only " +
          std::to_string(probe.started) + " of its " + std::to_string(threads - 1) +
          " workers could be started (" +
          std::error_code(probe.error, std::generic_category()).message() +
          "); ask for fewer with RAYON_NUM_THREADS");
  }
  // A constructor that throws leaves the pool unmade, and the next loop tries again.
  Pool* pool = ::new (static_cast<void*>(storage)) Pool(threads);
  made.store(pool, std::memory_order_release);
  return *pool;
}

// None of the pool's threads exist in a process forked from the one that made it.
bool pool_threads_here() { return instance().generation == fork_generation(); }

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  return parse_unsigned(text);
}

ThreadProbe start_and_end_threads(std::size_t wanted, std::size_t stack_bytes) {
  ThreadProbe probe{0, 0};
  pthread_attr_t attributes;
  if (int error = ::pthread_attr_init(&attributes); error != 0) return {0, error};
  ::pthread_attr_setstacksize(&attributes, stack_bytes);  // a size it refuses leaves the default
  std::mutex gate;
  std::vector<ProbeThread> threads(wanted, ProbeThread{&gate});  // never moved while they run
  std::vector<pthread_t> handles;
  handles.reserve(wanted);
  gate.lock();
  while (handles.size() < wanted) {
    pthread_t handle;
    probe.error = ::pthread_create(&handle, &attributes, &wait_at_gate, &threads[handles.size()]);
    if (probe.error != 0) break;
    handles.push_back(handle);
  }
  gate.unlock();
  for (pthread_t handle : handles) ::pthread_join(handle, nullptr);
  ::pthread_attr_destroy(&attributes);
  threads.resize(handles.size());
  wait_until_released(threads);
  probe.started = handles.size();
  return probe;
}

std::size_t pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus) {
  std::size_t threads = 0;
  for (const char* value : {rayon_num_threads, rayon_rs_num_cpus}) {
    if (auto count = parse_thread_count(value)) {
      threads = *count;
      break;
    }
  }
  if (threads == 0) threads = cpus::usable();
  return std::min(threads, max_threads);
}

std::size_t thread_count() { return pool_threads_here() ? instance().threads : 1; }

bool pool_created() noexcept { return made.load(std::memory_order_acquire) != nullptr; }

namespace detail {
tbb::task_arena* arena() { return pool_threads_here() ? &instance().arena : nullptr; }
}  // namespace detail

}  // namespace kernels::pool

#include "pool.hpp"

#include <sched.h>
#include <unistd.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/task_scheduler_observer.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

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

std::optional<long long> parse_signed(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  long long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A quota of q CPU-microseconds per period p lets the process use q/p CPUs on average. Rounding
// down keeps the pool from outrunning its share (a thread over the quota only adds throttling),
// but a quota below one CPU still leaves one thread.
std::optional<std::size_t> quota_cpus(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  return static_cast<std::size_t>(std::max<long long>(quota / period, 1));
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool has_item(std::string_view list, std::string_view item) {
  for (std::string_view part : split(list, ',')) {
    if (part == item) return true;
  }
  return false;
}

// Where the process's cgroup for the CPU controller sits in this mount namespace: the directory
// and the mount point above which the walk towards the root stops.
struct CgroupDir {
  bool v2;
  std::string dir;
  std::string mount;
};

std::optional<CgroupDir> cpu_cgroup() {
  auto membership = read_file("/proc/self/cgroup");
  if (!membership) return std::nullopt;
  std::optional<std::string> v1_path, v2_path;
  for (std::string_view line : split(*membership, '\n')) {
    // "hierarchy-id:controllers:path"; the path may itself hold colons.
    std::size_t first = line.find(':');
    std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string path(line.substr(second + 1));
    if (line.substr(0, first) == "0" && controllers.empty()) {
      v2_path = path;
    } else if (has_item(controllers, "cpu")) {
      v1_path = path;
    }
  }
  // A v1 hierarchy holding the cpu controller takes precedence: in a hybrid layout the unified
  // hierarchy then has no cpu controller.
  bool v2 = !v1_path;
  std::string path = v2 ? v2_path.value_or("") : *v1_path;
  if (!v2 && !v1_path) return std::nullopt;
  if (v2 && !v2_path) return std::nullopt;

  std::string mount = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/cpu";
  std::string root = "/";
  if (auto mounts = read_file("/proc/self/mountinfo")) {
    for (std::string_view line : split(*mounts, '\n')) {
      std::size_t dash = line.find(" - ");
      if (dash == std::string_view::npos) continue;
      std::vector<std::string_view> before = split(line.substr(0, dash), ' ');
      std::vector<std::string_view> after = split(line.substr(dash + 3), ' ');
      if (before.size() < 5 || after.size() < 3) continue;
      bool match = v2 ? after[0] == "cgroup2" : after[0] == "cgroup" && has_item(after[2], "cpu");
      if (match) {
        root = before[3];
        mount = before[4];
        break;
      }
    }
  }
  // The membership path is relative to the hierarchy's root; the mount may show only a subtree.
  if (root != "/" && path.starts_with(root)) path.erase(0, root.size());
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/") path.clear();
  return CgroupDir{v2, mount + path, mount};
}

// The tightest quota on the way from the process's cgroup up to the mounted root.
std::optional<std::size_t> cgroup_cpu_limit() {
  auto where = cpu_cgroup();
  if (!where) return std::nullopt;
  std::optional<std::size_t> limit;
  std::string dir = where->dir;
  for (;;) {
    std::optional<std::size_t> here;
    if (where->v2) {
      if (auto text = read_file(dir + "/cpu.max")) here = parse_cpu_max(*text);
    } else {
      auto quota = read_file(dir + "/cpu.cfs_quota_us");
      auto period = read_file(dir + "/cpu.cfs_period_us");
      if (quota && period) here = parse_cfs_quota(*quota, *period);
    }
    if (here && (!limit || *here < *limit)) limit = here;
    if (dir.size() <= where->mount.size()) break;
    std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash < where->mount.size()) break;
    dir.erase(slash);
  }
  return limit;
}

std::optional<std::size_t> affinity_cpus() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    int rc = sched_getaffinity(0, bytes, set);
    int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? std::optional<std::size_t>(count) : std::nullopt;
    if (errno != EINVAL) return std::nullopt;  // EINVAL: the mask is wider than the set
  }
  return std::nullopt;
}

std::size_t default_threads() {
  std::optional<std::size_t> cpus = affinity_cpus();
  if (!cpus) return 1;
  if (auto limit = cgroup_cpu_limit()) return std::min(*cpus, *limit);
  return *cpus;
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
  pid_t creator = ::getpid();
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
  // A constructor that throws leaves the pool unmade, and the next loop tries again.
  Pool* pool = ::new (static_cast<void*>(storage))
      Pool(pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS")));
  made.store(pool, std::memory_order_release);
  return *pool;
}

// None of the pool's threads exist in a process forked from the one that made it.
bool pool_threads_here() { return instance().creator == ::getpid(); }

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  return parse_unsigned(text);
}

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view quota = text.substr(0, space);
  if (quota == "max") return std::nullopt;
  auto q = parse_signed(quota);
  auto p = parse_signed(text.substr(space + 1));
  if (!q || !p) return std::nullopt;
  return quota_cpus(*q, *p);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
  auto q = parse_signed(quota);
  auto p = parse_signed(period);
  if (!q || !p) return std::nullopt;
  return quota_cpus(*q, *p);
}

std::size_t pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus) {
  std::size_t threads = 0;
  for (const char* value : {rayon_num_threads, rayon_rs_num_cpus}) {
    if (auto count = parse_thread_count(value)) {
      threads = *count;
      break;
    }
  }
  if (threads == 0) threads = default_threads();
  return std::min(threads, max_threads);
}

std::size_t thread_count() { return pool_threads_here() ? instance().threads : 1; }

bool pool_created() noexcept { return made.load(std::memory_order_acquire) != nullptr; }

namespace detail {
tbb::task_arena* arena() { return pool_threads_here() ? &instance().arena : nullptr; }
}  // namespace detail

}  // namespace kernels::pool

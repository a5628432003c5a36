#include "cpus.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kernels::cpus {
namespace {

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

}  // namespace

std::size_t usable() {
  std::optional<std::size_t> cpus = affinity_cpus();
  if (!cpus) return 1;
  if (auto limit = cgroup_cpu_limit()) return std::min(*cpus, *limit);
  return *cpus;
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

}  // namespace kernels::cpus

// How many CPUs this process may use: the CPUs in its affinity mask, capped by the CPU quota of its
// cgroup (v1 or v2) on the way up to the mounted root.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kernels::cpus {

// A cgroup v2 `cpu.max` line ("max 100000" or "quota period") as a CPU limit; nullopt for no limit
// or an unreadable line.
std::optional<std::size_t> parse_cpu_max(std::string_view text);

// A cgroup v1 quota and period pair, each as read from its file; nullopt for -1 (no limit) or an
// unreadable value.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// The CPUs in the affinity mask, capped by the cgroup quota (rounded down, at least 1); 1 when the
// mask cannot be read.
std::size_t usable();

}  // namespace kernels::cpus

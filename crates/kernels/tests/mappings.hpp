// The mmap, munmap and madvise calls of this test program, as the kernels make them: they are
// linked in statically, so their calls reach the wrappers in mappings.cpp, which pass every call on
// and log the ones made while a Recording exists, from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <set>
#include <vector>

namespace kernels::testing_mappings {

inline constexpr std::uintptr_t page = 4096;

struct Call {
  enum class Kind { map, unmap, advise } kind;
  std::uintptr_t start;
  std::size_t length;
  int advice;  // for advise only
};

// Logs the calls made from its construction on; one at a time.
class Recording {
 public:
  Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  ~Recording();

  // The calls so far, in the order they returned, the failed ones left out.
  std::vector<Call> calls() const;
};

// A set of whole pages, by address.
class Pages {
 public:
  Pages() = default;
  Pages(const void* start, std::size_t length) {
    add(reinterpret_cast<std::uintptr_t>(start), length);
  }

  void add(std::uintptr_t start, std::size_t length) {
    for (std::uintptr_t p = start; p < start + length; p += page) pages_.insert(p);
  }
  void remove(std::uintptr_t start, std::size_t length) {
    for (std::uintptr_t p = start; p < start + length; p += page) pages_.erase(p);
  }
  std::size_t count_in(const void* start, std::size_t length) const {
    auto first = reinterpret_cast<std::uintptr_t>(start);
    return static_cast<std::size_t>(std::distance(pages_.lower_bound(first),
                                                  pages_.lower_bound(first + length)));
  }
  bool operator==(const Pages&) const = default;

  // As runs of consecutive pages, for failure messages.
  friend std::ostream& operator<<(std::ostream& out, const Pages& set) {
    out << "{";
    for (auto p = set.pages_.begin(); p != set.pages_.end();) {
      std::uintptr_t first = *p, end = first;
      while (p != set.pages_.end() && *p == end) {
        end += page;
        ++p;
      }
      out << " [0x" << std::hex << first << ", +" << std::dec << (end - first) / page << " pages)";
    }
    return out << " }";
  }

 private:
  std::set<std::uintptr_t> pages_;
};

// `before` changed by the calls: mapped pages added, unmapped ones removed, and with `dropping`,
// the pages advised so removed too.
inline Pages mapped_after(Pages before, const std::vector<Call>& calls, int dropping = -1) {
  for (const Call& c : calls) {
    if (c.kind == Call::Kind::map) before.add(c.start, c.length);
    if (c.kind == Call::Kind::unmap) before.remove(c.start, c.length);
    if (c.kind == Call::Kind::advise && c.advice == dropping) before.remove(c.start, c.length);
  }
  return before;
}

// The pages the calls unmap.
inline Pages unmapped_by(const std::vector<Call>& calls) {
  Pages unmapped;
  for (const Call& c : calls) {
    if (c.kind == Call::Kind::unmap) unmapped.add(c.start, c.length);
  }
  return unmapped;
}

}  // namespace kernels::testing_mappings

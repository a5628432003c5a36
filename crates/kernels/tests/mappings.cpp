#include "mappings.hpp"

#include <dlfcn.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace kernels::testing_mappings {
namespace {

// Room enough for any test; the wrappers allocate nothing, so that they never call themselves.
constexpr std::size_t capacity = 1 << 16;
Call log[capacity];
std::atomic<std::size_t> logged{0};
std::atomic<bool> recording{false};

void note(Call::Kind kind, void* start, std::size_t length, int advice) {
  if (!recording.load(std::memory_order_acquire)) return;
  std::size_t k = logged.fetch_add(1);
  if (k >= capacity) {
    std::fputs("mappings: the call log is full\n", stderr);
    std::abort();
  }
  log[k] = {kind, reinterpret_cast<std::uintptr_t>(start), length, advice};
}

template <class Fn>
Fn next(const char* name) {
  void* found = dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    std::fprintf(stderr, "mappings: no %s after this program\n", name);
    std::abort();
  }
  return reinterpret_cast<Fn>(found);
}

}  // namespace

Recording::Recording() {
  if (recording.load()) {
    std::fputs("mappings: two recordings at once\n", stderr);
    std::abort();
  }
  logged.store(0);
  recording.store(true, std::memory_order_release);
}

Recording::~Recording() { recording.store(false, std::memory_order_release); }

std::vector<Call> Recording::calls() const {
  std::size_t n = logged.load();
  return {log, log + n};
}

}  // namespace kernels::testing_mappings

// The wrappers pass on to the next definition, the C library's or a sanitizer's.
namespace mappings = kernels::testing_mappings;
using mappings::Call;

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd,
                      off_t offset) noexcept {
  using Fn = void* (*)(void*, size_t, int, int, int, off_t);
  static const Fn real = mappings::next<Fn>("mmap");
  void* mapped = real(address, length, protection, flags, fd, offset);
  if (mapped != MAP_FAILED) mappings::note(Call::Kind::map, mapped, length, 0);
  return mapped;
}

extern "C" int munmap(void* address, size_t length) noexcept {
  using Fn = int (*)(void*, size_t);
  static const Fn real = mappings::next<Fn>("munmap");
  int result = real(address, length);
  if (result == 0) mappings::note(Call::Kind::unmap, address, length, 0);
  return result;
}

extern "C" int madvise(void* address, size_t length, int advice) noexcept {
  using Fn = int (*)(void*, size_t, int);
  static const Fn real = mappings::next<Fn>("madvise");
  int result = real(address, length, advice);
  if (result == 0) mappings::note(Call::Kind::advise, address, length, advice);
  return result;
}

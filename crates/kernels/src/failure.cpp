#include "failure.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fork_safe.hpp"

namespace kernels {
namespace {

// A fork waits for a report being written, so that a child can write its own.
ForkSafeMutex report_lock;
bool first_report = true;  // guarded by report_lock

// KERNELS_BACKTRACE, read once: unset or "0" means none, "full" the full form, anything else short.
enum class Backtrace { none, brief, full };

Backtrace backtrace_setting() {
  static const Backtrace setting = [] {
    const char* value = std::getenv("KERNELS_BACKTRACE");
    if (value == nullptr || std::strcmp(value, "0") == 0) return Backtrace::none;
    return std::strcmp(value, "full") == 0 ? Backtrace::full : Backtrace::brief;
  }();
  return setting;
}

void write_backtrace(Backtrace form) {
  void* frames[128];
  int count = ::backtrace(frames, 128);
  // The brief form leaves out the frames of the report machinery itself.
  int skip = form == Backtrace::full ? 0 : 2;
  std::fputs("stack backtrace:\n", stderr);
  std::fflush(stderr);
  if (count > skip) ::backtrace_symbols_fd(frames + skip, count - skip, STDERR_FILENO);
}

}  // namespace

void report_failure(std::string_view message, std::source_location where) noexcept {
  std::lock_guard lock(report_lock);
  std::fprintf(stderr, "\nthread '<unnamed>' (%ld) panicked at %s:%u:%u:\n%.*s\n",
               static_cast<long>(::gettid()), where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               static_cast<int>(message.size()), message.data());
  Backtrace form = backtrace_setting();
  if (form != Backtrace::none) {
    write_backtrace(form);
  } else if (first_report) {
    std::fputs(
        "note: run with `KERNELS_BACKTRACE=1` environment variable to display a backtrace\n",
        stderr);
  }
  first_report = false;
  std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
  report_failure(message, where);
  throw Panic(std::move(message));
}

void resume_panic(std::string message) { throw Panic(std::move(message)); }

void out_of_memory(std::size_t bytes) noexcept {
  std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
  std::fflush(stderr);
  std::abort();
}

void assert_equal(std::size_t left, std::size_t right, std::string_view what,
                  std::source_location where) {
  if (left == right) return;
  std::string message = "assertion `left == right` failed";
  if (!what.empty()) message.append(": ").append(what);
  message.append("\n  left: ").append(std::to_string(left));
  message.append("\n right: ").append(std::to_string(right));
  panic(std::move(message), where);
}

}  // namespace kernels

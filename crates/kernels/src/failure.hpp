// Internal failures: a broken invariant of the module's own code.
//
// Raising one writes the failure report to standard error on the raising thread, then unwinds as a
// C++ exception of type Panic up to the nearest guard of the call boundary, which turns it into
// Python's PanicException. Kernels raise them too; nothing here touches Python.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>

namespace kernels {

// Deliberately not derived from std::exception: the guard tells the module's own failures apart
// from anything foreign, which must never be turned into a Python exception.
class Panic {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the report for `message` at `where` and throws Panic.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws Panic without a report: for a failure already reported where it arose (another frame,
// or a worker thread).
[[noreturn]] void resume_panic(std::string message);

// Writes only the report (used where unwinding is impossible and the process must end next).
void report_failure(std::string_view message, std::source_location where) noexcept;

// "memory allocation of {} bytes failed" on standard error, then abort: allocation failure is
// never an exception.
[[noreturn]] void out_of_memory(std::size_t bytes) noexcept;

// Fails with an equality assertion unless left == right (both shown in the message).
void assert_equal(std::size_t left, std::size_t right, std::string_view what = {},
                  std::source_location where = std::source_location::current());

}  // namespace kernels

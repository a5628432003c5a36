// Checks that need a process of their own: a fresh one, in which nothing of the module exists yet
// (the pool included), or a fork of this one. A check returns what it found wrong, empty when all
// held; the process prints that and exits with it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace kernels::testing_processes {

// What a check found wrong, one line each.
class Complaints {
 public:
  template <class A, class B>
  void expect_eq(const char* what, const A& actual, const B& expected) {
    if (actual == expected) return;
    std::ostringstream line;
    line << what << " is " << actual << ", expected " << expected << "\n";
    text_ += line.str();
  }
  void expect(bool holds, const char* what) {
    if (!holds) text_ += std::string(what) + " does not hold\n";
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

template <class Check>
[[noreturn]] void exit_with_complaints(Check& check) {
  Complaints complaints;
  check(complaints);
  std::fputs(complaints.text().c_str(), stderr);
  std::fflush(stderr);
  ::_exit(complaints.text().empty() ? 0 : 1);
}

// Runs check(complaints) in this test program started afresh for the current test alone:
// GoogleTest's "threadsafe" death tests execute the program again rather than fork it. The part
// of the test before this call runs there too, so it must make nothing of the module.
template <class Check>
void expect_in_fresh_process(Check check) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit_with_complaints(check), testing::ExitedWithCode(0), "");
}

// Runs check(complaints) in a child forked from this process, which is given `seconds` to end
// before it is taken to hang.
template <class Check>
void expect_in_forked_child(Check check, unsigned seconds = 10) {
  pid_t pid = ::fork();
  ASSERT_NE(pid, -1) << "fork failed";
  if (pid == 0) {
    ::alarm(seconds);
    exit_with_complaints(check);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
      << "the child did not end within " << seconds << " s";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the child failed (its complaints are on standard error), status " << status;
}

}  // namespace kernels::testing_processes

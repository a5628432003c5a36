// The call frame shared by every C entry point of the module: attach depth and the deferred
// release list, Python error values, the guard that turns internal failures into PanicException,
// running a kernel without the interpreter lock, and the exec slot's registration machinery.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "failure.hpp"

namespace kernels::boundary {

// ---------------------------------------------------------------------------------------------
// Attach depth and references

// Frames on this thread that count it as holding the interpreter lock; 0 while detached.
std::int64_t attach_depth() noexcept;
void attach() noexcept;
void detach() noexcept;

// Drops a reference at once when attached; otherwise queues it for the next attached thread.
void release_reference(PyObject* object) noexcept;
void drain_deferred_releases() noexcept;

// An owned reference to a Python object.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : object_(owned) {}
  static Ref borrowed(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void reset() noexcept {
    if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
  }

 private:
  PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Python error values

// An exception not yet handed to the interpreter: deferred (a type and the text of its argument,
// made into an object only when raised) or materialised (an exception object).
class Error {
 public:
  // The exception's argument is the text itself.
  static Error deferred(PyObject* type, std::string text) {
    return Error(type, std::move(text), false);
  }
  // The exception's arguments are the one-tuple holding the text.
  static Error deferred_tuple(PyObject* type, std::string text) {
    return Error(type, std::move(text), true);
  }
  static Error materialised(Ref exception) noexcept {
    Error e;
    e.exception_ = std::move(exception);
    return e;
  }

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;

  // The exception object, made now if still deferred (borrowed). Null, with the interpreter's
  // exception pending, when it cannot be made.
  PyObject* materialise();

  // Sets this value as the interpreter's current exception, consuming it.
  void restore() &&;

 private:
  Error() = default;
  Error(PyObject* type, std::string text, bool tuple)
      : type_(type), text_(std::move(text)), tuple_(tuple) {}
  Ref argument() const;

  PyObject* type_ = nullptr;  // borrowed: every type used lives for the whole process
  std::string text_;
  bool tuple_ = false;
  Ref exception_;
};

template <class T>
using Result = std::expected<T, Error>;

// Takes the interpreter's current exception. A PanicException coming back through Python code
// resumes the internal failure it carries instead.
Error fetch_pending();

// TypeError "'{}' object is not an instance of '{}'" (or "'None' is not an instance of '{}'").
Error cast_error(PyObject* object, std::string_view expected);

// How such an error names a type: a class by its qualified name, a tuple (isinstance's way of
// giving several) by its items joined by " | ", anything else by its str().
std::string type_display(PyObject* type);

// The PanicException for a caught internal failure.
Error failure_to_exception(const Panic& failure);

// ValueError whose message is a kernel error's display text.
template <class KernelError>
Error raise_kernel_error(const KernelError& error) {
  return Error::deferred(PyExc_ValueError, error.message());
}

// The interpreter returned null: report its exception as unraisable and fail internally.
[[noreturn]] void null_object_failure(std::source_location where = std::source_location::current());

// "description" of the pending exception for failure messages: its type, value and traceback.
std::string describe_exception(PyObject* exception);
// Takes the pending exception and describes it.
std::string describe_pending();
// Describes an error value (materialising it); for the failure messages that wrap one.
std::string describe_error(Error& error);

// The PanicException type, made on first use.
PyObject* panic_exception_type();

// ---------------------------------------------------------------------------------------------
// The interpreter lock

// Releases the interpreter lock for its lifetime (attach depth 0 meanwhile); takes it back and
// drains the deferred release list when it ends, by return or by unwinding.
class DetachedScope {
 public:
  DetachedScope() noexcept;
  ~DetachedScope();
  DetachedScope(const DetachedScope&) = delete;
  DetachedScope& operator=(const DetachedScope&) = delete;

 private:
  std::int64_t depth_;
  PyThreadState* state_;
};

// Runs `computation` without the interpreter lock; it must touch no Python object.
template <class F>
decltype(auto) run_detached(F&& computation) {
  DetachedScope detached;
  return std::forward<F>(computation)();
}

// ---------------------------------------------------------------------------------------------
// Entry points

using Entry = Result<PyObject*> (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

// The shared call body: attach, run the entry under the guard, raise what it returns, detach.
PyObject* guarded_call(Entry entry, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;

template <Entry entry>
PyObject* c_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return guarded_call(entry, self, args, nargs, kwnames);
}

// The exec slot's body: checks the module object, then runs `fill` on it under the guard.
int exec_module(PyObject* module, Result<void> (*fill)(PyObject* module)) noexcept;

// Makes the built-in function for `definition`, bound to `module`, appends its name to the
// module's __all__ and sets it as a module attribute.
Result<void> add_function(PyObject* module, PyMethodDef* definition);

}  // namespace kernels::boundary

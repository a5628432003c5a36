#include "boundary/frame.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "boundary/once_cell.hpp"
#include "fork_safe.hpp"

namespace kernels::boundary {
namespace {

thread_local std::int64_t depth = 0;

// References dropped by detached threads, released by the next thread that attaches. A fork
// waits for the list to be whole.
ForkSafeMutex deferred_lock;
std::vector<PyObject*> deferred_objects;  // guarded by deferred_lock
std::atomic<bool> any_deferred{false};    // whether the list has ever been used

PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Steals `exception`.
void set_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string repr_text(PyObject* object) {
  Ref repr(PyObject_Repr(object));
  if (!repr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return utf8(repr.get());
}

// A class by its qualified name, anything else by its str().
std::string single_type_display(PyObject* type) {
  Ref name(PyType_Check(type) ? PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type))
                              : PyObject_Str(type));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8(name.get());
}

GilOnceCell<PyObject*> panic_type;

constexpr const char* panic_doc =
    "\nThe exception raised when the native code of `_kernels` fails internally.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

[[noreturn]] void foreign_exception() noexcept {
  std::fputs("fatal runtime error: a foreign exception reached the boundary of _kernels, aborting\n",
             stderr);
  std::fflush(stderr);
  std::abort();
}

// Anything that unwinds out of the parts of a frame outside its guard ends the process.
template <class F>
auto trapped(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    report_failure("uncaught panic at ffi boundary", std::source_location::current());
    std::abort();
  }
}

// Runs `body` under the guard: the error it returns, or the internal failure it raises, comes
// back as a Python error value.
template <class T, class F>
std::expected<T, Error> guarded(F&& body) {
  try {
    return body();
  } catch (const Panic& failure) {
    return std::unexpected(failure_to_exception(failure));
  } catch (...) {
    foreign_exception();
  }
}

Result<PyObject*> interned(GilOnceCell<PyObject*>& cell, const char* text) {
  Result<PyObject* const*> made = cell.get_or_try_init([text]() -> Result<PyObject*> {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) return std::unexpected(fetch_pending());
    return name;
  });
  if (!made) return std::unexpected(std::move(made.error()));
  return **made;
}

GilOnceCell<PyObject*> name_attribute;
GilOnceCell<PyObject*> all_attribute;

}  // namespace

// ---------------------------------------------------------------------------------------------

std::int64_t attach_depth() noexcept { return depth; }

void attach() noexcept {
  ++depth;
  drain_deferred_releases();
}

void detach() noexcept { --depth; }

void release_reference(PyObject* object) noexcept {
  if (depth > 0) {
    Py_DECREF(object);
    return;
  }
  std::lock_guard lock(deferred_lock);
  deferred_objects.push_back(object);
  any_deferred.store(true, std::memory_order_release);
}

void drain_deferred_releases() noexcept {
  if (!any_deferred.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard lock(deferred_lock);
    taken.swap(deferred_objects);
  }
  for (PyObject* object : taken) Py_DECREF(object);
}

DetachedScope::DetachedScope() noexcept : depth_(depth), state_(nullptr) {
  depth = 0;
  state_ = PyEval_SaveThread();
}

DetachedScope::~DetachedScope() {
  depth = depth_;
  PyEval_RestoreThread(state_);
  drain_deferred_releases();
}

// ---------------------------------------------------------------------------------------------

Ref Error::argument() const {
  Ref text(PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size())));
  if (!text || !tuple_) return text;
  PyObject* args = PyTuple_New(1);
  if (args == nullptr) return Ref();
  PyTuple_SET_ITEM(args, 0, text.release());
  return Ref(args);
}

PyObject* Error::materialise() {
  if (exception_) return exception_.get();
  if (!PyExceptionClass_Check(type_)) {
    type_ = PyExc_TypeError;
    text_ = "exceptions must derive from BaseException";
    tuple_ = false;
  }
  Ref argument = this->argument();
  if (!argument) return nullptr;
  PyObject* exception = tuple_ ? PyObject_Call(type_, argument.get(), nullptr)
                               : PyObject_CallOneArg(type_, argument.get());
  if (exception == nullptr) return nullptr;
  exception_ = Ref(exception);
  return exception;
}

void Error::restore() && {
  if (exception_) {
    set_raised_exception(exception_.release());
    return;
  }
  if (!PyExceptionClass_Check(type_)) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  Ref argument = this->argument();
  if (!argument) null_object_failure();
  PyErr_SetObject(type_, argument.get());
}

Error fetch_pending() {
  PyObject* exception = take_raised_exception();
  if (exception == nullptr) {
    return Error::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyObject* const* panic = panic_type.get();
  if (panic != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(exception)) == *panic) {
    // An internal failure of some frame came back through Python code this call ran.
    std::fputs(
        "--- _kernels is resuming an internal failure after fetching a PanicException from "
        "Python ---\nPython stack trace below:\n",
        stderr);
    Py_INCREF(exception);
    set_raised_exception(exception);
    PyErr_PrintEx(0);
    std::string message;
    Ref text(PyObject_Str(exception));
    if (text) {
      message = utf8(text.get());
    } else {
      Py_XDECREF(take_raised_exception());
      message = "Unwrapped panic from Python code";
    }
    Py_DECREF(exception);
    resume_panic(std::move(message));
  }
  return Error::materialised(Ref(exception));
}

Error cast_error(PyObject* object, std::string_view expected) {
  std::string text;
  if (object == Py_None) {
    text.append("'None' is not an instance of '").append(expected).append("'");
  } else {
    std::string name = type_display(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    text.append("'").append(name).append("' object is not an instance of '");
    text.append(expected).append("'");
  }
  return Error::deferred(PyExc_TypeError, std::move(text));
}

std::string type_display(PyObject* type) {
  // Tuples nest to any depth (CPython's isinstance accepts them so), so they are walked with a
  // stack of their own rather than the C stack, and every name is appended once.
  std::string text;
  std::vector<std::pair<PyObject*, Py_ssize_t>> open;  // tuples being walked, and their next item
  for (PyObject* item = type;;) {
    if (PyTuple_Check(item)) {
      open.emplace_back(item, 0);
    } else {
      text += single_type_display(item);
    }
    item = nullptr;
    while (item == nullptr && !open.empty()) {
      auto& [tuple, next] = open.back();
      if (next == PyTuple_GET_SIZE(tuple)) {
        open.pop_back();
      } else {
        if (next > 0) text += " | ";
        item = PyTuple_GET_ITEM(tuple, next++);
      }
    }
    if (item == nullptr) return text;
  }
}

Error failure_to_exception(const Panic& failure) {
  return Error::deferred_tuple(panic_exception_type(), failure.message());
}

void null_object_failure(std::source_location where) {
  PyErr_WriteUnraisable(nullptr);
  panic("PyObject pointer is null", where);
}

std::string describe_exception(PyObject* exception) {
  std::string text = "PyErr { type: ";
  text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  text += ", value: " + repr_text(exception) + ", traceback: ";
  Ref traceback(PyException_GetTraceback(exception));
  text += traceback ? repr_text(traceback.get()) : "None";
  return text + " }";
}

std::string describe_pending() {
  Ref exception(take_raised_exception());
  if (!exception) return "no exception was set";
  return describe_exception(exception.get());
}

std::string describe_error(Error& error) {
  PyObject* exception = error.materialise();
  if (exception == nullptr) return describe_pending();
  return describe_exception(exception);
}

PyObject* panic_exception_type() {
  Result<PyObject* const*> type = panic_type.get_or_try_init([]() -> Result<PyObject*> {
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                               PyExc_BaseException, nullptr);
    if (made == nullptr) {
      panic("Failed to initialize new exception type.: " + describe_pending());
    }
    return made;
  });
  return **type;
}

// ---------------------------------------------------------------------------------------------

PyObject* guarded_call(Entry entry, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return trapped([&]() -> PyObject* {
    attach();
    Result<PyObject*> result = guarded<PyObject*>([&] { return entry(self, args, nargs, kwnames); });
    PyObject* value = nullptr;
    if (result) {
      value = *result;
    } else {
      std::move(result.error()).restore();
    }
    detach();
    return value;
  });
}

int exec_module(PyObject* module, Result<void> (*fill)(PyObject* module)) noexcept {
  return trapped([&]() -> int {
    attach();
    Result<void> result = guarded<void>([&]() -> Result<void> {
      if (module == nullptr) return std::unexpected(fetch_pending());
      if (Py_IS_TYPE(module, &PyModule_Type) || PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) {
        return fill(module);
      }
      return std::unexpected(cast_error(module, "module"));
    });
    int value = 0;
    if (!result) {
      std::move(result.error()).restore();
      value = -1;
    }
    detach();
    return value;
  });
}

Result<void> add_function(PyObject* module, PyMethodDef* definition) {
  Result<PyObject*> name_key = interned(name_attribute, "__name__");
  if (!name_key) return std::unexpected(std::move(name_key.error()));
  Result<PyObject*> all_key = interned(all_attribute, "__all__");
  if (!all_key) return std::unexpected(std::move(all_key.error()));

  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return std::unexpected(fetch_pending());
  Ref function(PyCMethod_New(definition, module, module_name.get(), nullptr));
  if (!function) return std::unexpected(fetch_pending());
  module_name.reset();

  Ref name(PyObject_GetAttr(function.get(), *name_key));
  if (!name) return std::unexpected(fetch_pending());
  if (!PyUnicode_Check(name.get())) return std::unexpected(cast_error(name.get(), "str"));

  Ref all(PyObject_GetAttr(module, *all_key));
  if (all) {
    if (!PyList_Check(all.get())) return std::unexpected(cast_error(all.get(), "list"));
  } else {
    Error missing = fetch_pending();
    PyObject* exception = missing.materialise();
    if (exception == nullptr || !PyErr_GivenExceptionMatches(exception, PyExc_AttributeError)) {
      return std::unexpected(std::move(missing));
    }
    all = Ref(PyList_New(0));
    if (!all) return std::unexpected(fetch_pending());
    if (PyObject_SetAttr(module, *all_key, all.get()) < 0) return std::unexpected(fetch_pending());
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    panic("could not append __name__ to __all__: " + describe_pending());
  }
  all.reset();
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
    return std::unexpected(fetch_pending());
  }
  return {};
}

}  // namespace kernels::boundary

#include "boundary/binding.hpp"

#include <cstring>
#include <limits>
#include <vector>

#include "boundary/once_cell.hpp"

namespace kernels::boundary {
namespace {

std::string full_name(const FunctionDescription& function) {
  return std::string(function.name) + "()";
}

// A keyword as str() writes it. A lone surrogate has no UTF-8 form; like a lossy decoding of its
// surrogate-passing bytes it becomes three U+FFFD, one per byte.
std::string keyword_text(PyObject* keyword) {
  Ref text(PyObject_Str(keyword));
  if (!text || !PyUnicode_Check(text.get())) {
    PyErr_Clear();
    return "<unprintable>";
  }
  std::string out;
  Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
  for (Py_ssize_t k = 0; k < length; ++k) {
    Py_UCS4 c = PyUnicode_READ_CHAR(text.get(), k);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

Error too_many_positional(const FunctionDescription& function, Py_ssize_t given) {
  std::string text = full_name(function);
  std::size_t count = function.parameters.size();
  if (function.required == count) {
    text += " takes " + std::to_string(count);
  } else {
    text += " takes from " + std::to_string(function.required) + " to " + std::to_string(count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were");
  text += " given";
  return Error::deferred(PyExc_TypeError, std::move(text));
}

Error missing_required(const FunctionDescription& function, std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t k = 0; k < function.required; ++k) {
    if (slots[k] == nullptr) missing.push_back(function.parameters[k]);
  }
  std::string text = full_name(function) + " missing " + std::to_string(missing.size()) +
                     " required positional " +
                     (missing.size() == 1 ? "argument" : "arguments") + ": ";
  push_parameter_list(text, missing);
  return Error::deferred(PyExc_TypeError, std::move(text));
}

Result<PyObject*> add_note_name() {
  static GilOnceCell<PyObject*> cell;
  Result<PyObject* const*> name = cell.get_or_try_init([]() -> Result<PyObject*> {
    PyObject* made = PyUnicode_InternFromString("add_note");
    if (made == nullptr) return std::unexpected(fetch_pending());
    return made;
  });
  if (!name) return std::unexpected(std::move(name.error()));
  return **name;
}

// collections.abc.Sequence, imported the first time an argument is not a sequence.
PyObject* sequence_abc() {
  static GilOnceCell<PyObject*> cell;
  Result<PyObject* const*> made = cell.get_or_try_init([]() -> Result<PyObject*> {
    Ref module(PyImport_ImportModule("collections.abc"));
    if (!module) return std::unexpected(fetch_pending());
    PyObject* sequence = PyObject_GetAttrString(module.get(), "Sequence");
    if (sequence == nullptr) return std::unexpected(fetch_pending());
    return sequence;
  });
  if (!made) panic("failed to import collections.abc.Sequence: " + describe_error(made.error()));
  return **made;
}

// Whatever collections.abc.Sequence was when imported: a program may have put anything there.
Error not_a_sequence(PyObject* object) {
  return cast_error(object, type_display(sequence_abc()));
}

template <class T, Result<T> (*item)(PyObject*)>
Result<std::array<T, 2>> extract_pair(PyObject* object) {
  if (!PyTuple_Check(object)) return std::unexpected(cast_error(object, "tuple"));
  if (PyTuple_GET_SIZE(object) != 2) return std::unexpected(wrong_tuple_length(object, 2));
  Result<T> first = item(PyTuple_GET_ITEM(object, 0));
  if (!first) return std::unexpected(std::move(first.error()));
  Result<T> second = item(PyTuple_GET_ITEM(object, 1));
  if (!second) return std::unexpected(std::move(second.error()));
  return std::array<T, 2>{*first, *second};
}

}  // namespace

Result<void> extract_arguments_fastcall(const FunctionDescription& function,
                                        PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t count = function.parameters.size();
  const std::size_t given = static_cast<std::size_t>(nargs);
  std::fill(slots.begin(), slots.end(), nullptr);
  for (std::size_t k = 0; k < std::min(given, count); ++k) slots[k] = args[k];
  if (given > count) return std::unexpected(too_many_positional(function, nargs));

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (bytes == nullptr) PyErr_Clear();  // no UTF-8 form: matches nothing
    std::size_t match = count;
    if (bytes != nullptr) {
      std::string_view name(bytes, static_cast<std::size_t>(size));
      for (std::size_t p = 0; p < count; ++p) {
        if (function.parameters[p] == name) {
          match = p;
          break;
        }
      }
    }
    if (match == count) {
      return std::unexpected(Error::deferred(
          PyExc_TypeError, full_name(function) + " got an unexpected keyword argument '" +
                               keyword_text(keyword) + "'"));
    }
    if (slots[match] != nullptr) {
      return std::unexpected(Error::deferred(
          PyExc_TypeError, full_name(function) + " got multiple values for argument '" +
                               std::string(function.parameters[match]) + "'"));
    }
    slots[match] = args[nargs + k];
  }

  for (std::size_t k = given; k < function.required; ++k) {
    if (slots[k] == nullptr) return std::unexpected(missing_required(function, slots));
  }
  return {};
}

void push_parameter_list(std::string& text, std::span<const std::string_view> names) {
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) {
      if (names.size() > 2) text += ',';
      text += k + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[k];
    text += '\'';
  }
}

Error argument_extraction_error(std::string_view name, Error error) {
  PyObject* exception = error.materialise();
  if (exception == nullptr) {
    PyErr_Clear();
    return error;
  }
  Result<PyObject*> method = add_note_name();
  if (!method) return error;
  std::string note = "while processing '" + std::string(name) + "'";
  Ref text(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) {
    PyErr_Clear();
    return error;
  }
  Ref added(PyObject_CallMethodOneArg(exception, *method, text.get()));
  if (!added) PyErr_Clear();
  return error;
}

Error wrong_tuple_length(PyObject* tuple, std::size_t expected) {
  return Error::deferred(PyExc_ValueError, "expected tuple of length " + std::to_string(expected) +
                                               ", but got tuple of length " +
                                               std::to_string(PyTuple_GET_SIZE(tuple)));
}

Result<double> extract_f64(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return std::unexpected(fetch_pending());
  return value;
}

Result<std::uint64_t> extract_u64(PyObject* object) {
  constexpr unsigned long long all_bits = std::numeric_limits<unsigned long long>::max();
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    Ref index(PyNumber_Index(object));
    if (!index) return std::unexpected(fetch_pending());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == all_bits && PyErr_Occurred()) return std::unexpected(fetch_pending());
  return static_cast<std::uint64_t>(value);
}

Result<std::array<double, 2>> extract_f64_pair(PyObject* object) {
  return extract_pair<double, extract_f64>(object);
}

Result<std::array<std::uint64_t, 2>> extract_u64_pair(PyObject* object) {
  return extract_pair<std::uint64_t, extract_u64>(object);
}

Result<SeedTriple> extract_seed_triple(PyObject* object) {
  if (!PyTuple_Check(object)) return std::unexpected(cast_error(object, "tuple"));
  if (PyTuple_GET_SIZE(object) != 3) return std::unexpected(wrong_tuple_length(object, 3));
  Result<std::uint64_t> i = extract_u64(PyTuple_GET_ITEM(object, 0));
  if (!i) return std::unexpected(std::move(i.error()));
  Result<std::uint64_t> j = extract_u64(PyTuple_GET_ITEM(object, 1));
  if (!j) return std::unexpected(std::move(j.error()));
  Result<double> t0 = extract_f64(PyTuple_GET_ITEM(object, 2));
  if (!t0) return std::unexpected(std::move(t0.error()));
  return SeedTriple{*i, *j, *t0};
}

namespace detail {

Result<Ref> seed_iterator(PyObject* object, std::size_t& length_hint) {
  if (PyUnicode_Check(object)) {
    return std::unexpected(Error::deferred(
        PyExc_TypeError, "a str cannot be taken as a sequence of seeds; give (i, j, t0_seconds) tuples"));
  }
  if (!PySequence_Check(object)) return std::unexpected(not_a_sequence(object));
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
    length = 0;
  }
  length_hint = static_cast<std::size_t>(length);
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) return std::unexpected(fetch_pending());
  return iterator;
}

Result<Ref> next_item(PyObject* iterator) {
#if PY_VERSION_HEX >= 0x030E0000
  PyObject* item = nullptr;
  if (PyIter_NextItem(iterator, &item) < 0) return std::unexpected(fetch_pending());
  return Ref(item);
#else
  PyObject* item = PyIter_Next(iterator);
  if (item == nullptr && PyErr_Occurred()) return std::unexpected(fetch_pending());
  return Ref(item);
#endif
}

}  // namespace detail

Result<std::optional<InputArray>> extract_optional_array(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::optional<InputArray>();
  Result<InputArray> array = extract_input_array(object, 1);
  if (!array) return std::unexpected(std::move(array.error()));
  return std::optional<InputArray>(std::move(*array));
}

}  // namespace kernels::boundary

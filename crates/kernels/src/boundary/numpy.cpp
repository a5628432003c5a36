#include "boundary/numpy.hpp"

#include <cstdio>

#include "boundary/borrow.hpp"
#include "boundary/once_cell.hpp"

namespace kernels::boundary {
namespace {

constexpr unsigned abi_version_limit = 0x2000000;
constexpr unsigned feature_version_floor = 0xc;  // NumPy 1.15
constexpr int little_endian = 1;

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

Result<std::string> numpy_core_name() {
  static GilOnceCell<std::string> cell;
  Result<const std::string*> name = cell.get_or_try_init([]() -> Result<std::string> {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return std::unexpected(fetch_pending());
    Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return std::unexpected(fetch_pending());
    Ref lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return std::unexpected(fetch_pending());
    Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return std::unexpected(fetch_pending());
    Ref major_object(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) return std::unexpected(fetch_pending());
    long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) return std::unexpected(fetch_pending());
    if (major < 0 || major > 255) {
      return std::unexpected(Error::deferred(PyExc_OverflowError,
                                             "NumPy's major version does not fit in 8 bits"));
    }
    return std::string(major >= 2 ? "numpy._core" : "numpy.core");
  });
  if (!name) return std::unexpected(std::move(name.error()));
  return **name;
}

GilOnceCell<std::string> mod_name;

Result<const std::string*> load_module_name() {
  return mod_name.get_or_try_init([]() -> Result<std::string> {
    Result<std::string> core = numpy_core_name();
    if (!core) return std::unexpected(std::move(core.error()));
    return *core + ".multiarray";
  });
}

struct LoadedApi {
  ArrayApi api{nullptr};
  PyObject* capsule = nullptr;  // keeps the table valid; never released
};

Result<LoadedApi> load_api() {
  Result<const std::string*> module_name = load_module_name();
  if (!module_name) return std::unexpected(std::move(module_name.error()));
  Ref module(PyImport_ImportModule((*module_name)->c_str()));
  if (!module) return std::unexpected(fetch_pending());
  Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return std::unexpected(fetch_pending());
  if (!PyCapsule_CheckExact(capsule.get())) {
    return std::unexpected(cast_error(capsule.get(), "PyCapsule"));
  }
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) return std::unexpected(fetch_pending());
  ArrayApi api(static_cast<void**>(table));

  if (unsigned abi = api.abi_version(); abi > abi_version_limit) {
    return std::unexpected(Error::deferred(
        PyExc_RuntimeError, "module compiled against ABI version 0x" + hex(abi_version_limit) +
                                " but this version of numpy is 0x" + hex(abi)));
  }
  if (unsigned feature = api.feature_version(); feature < feature_version_floor) {
    return std::unexpected(Error::deferred(
        PyExc_RuntimeError, "module was compiled against NumPy C-API version 0x" +
                                hex(feature_version_floor) +
                                " (NumPy 1.15) but the running NumPy has C-API version 0x" +
                                hex(feature)));
  }
  if (api.endianness() != little_endian) {
    return std::unexpected(Error::deferred(
        PyExc_RuntimeError,
        "module compiled as little endian, but detected different endianness at runtime"));
  }
  return LoadedApi{api, capsule.release()};
}

// The owner of a result array's buffer.
struct SliceContainer {
  PyObject_HEAD
  ReleaseBlock release;
  void* data;
  std::size_t bytes;
};

// Called by the interpreter's C code: nothing may unwind out of it.
void slice_container_dealloc(PyObject* self) noexcept {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->release != nullptr) {
    container->release(container->data, container->bytes);
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory of a _kernels result array, freed with the array.")},
    {0, nullptr},
};

// PyType_FromSpec warns about a type name without a module part; "builtins." is what such a
// type reports anyway, and it leaves the name itself bare.
PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

// Frees the block when the owner cannot be made: the array never gets to own it.
[[noreturn]] void owner_failure(const SliceOwner& owner, std::string message) {
  if (owner.release != nullptr) owner.release(owner.data, owner.bytes);
  panic(std::move(message));
}

Ref make_owner(const SliceOwner& owner) {
  static GilOnceCell<PyTypeObject*> type_cell;
  Result<PyTypeObject* const*> type = type_cell.get_or_try_init([]() -> Result<PyTypeObject*> {
    PyObject* made = PyType_FromSpec(&slice_container_spec);
    if (made == nullptr) return std::unexpected(fetch_pending());
    return reinterpret_cast<PyTypeObject*>(made);
  });
  if (!type) {
    std::move(type.error()).restore();
    PyErr_WriteUnraisable(nullptr);
    owner_failure(owner, "failed to create type object for `PySliceContainer`");
  }
  PyTypeObject* container_type = **type;
  PyObject* object = container_type->tp_alloc(container_type, 0);
  if (object == nullptr) {
    std::string described = describe_pending();
    owner_failure(owner, "Failed to create slice container: " + described);
  }
  auto* container = reinterpret_cast<SliceContainer*>(object);
  container->release = owner.release;
  container->data = owner.data;
  container->bytes = owner.bytes;
  return Ref(object);
}

// Wraps `data` as an array whose base is `owner`; the owner frees the buffer whatever happens.
Ref wrap(Ref owner, int element, int nd, const Py_ssize_t* dims, const Py_ssize_t* strides,
         void* data) {
  const ArrayApi& api = array_api();
  PyObject* descr = api.descr_from_type(element);
  if (descr == nullptr) {
    owner.reset();
    null_object_failure();
  }
  // NumPy allocates (and then owns) storage of its own when given no address, even for no
  // elements; an empty result must stay an array over the owner's (empty) buffer.
  alignas(16) static double no_elements[1];
  if (data == nullptr) data = no_elements;
  Ref array(api.new_from_descr(api.array_type(), descr, nd, dims, strides, data, npy_writeable,
                               nullptr));
  if (!array) {
    owner.reset();
    null_object_failure();
  }
  if (api.set_base_object(array.get(), owner.release()) < 0) {
    array.reset();
    null_object_failure();
  }
  return array;
}

}  // namespace

const ArrayApi& array_api() {
  static GilOnceCell<LoadedApi> cell;
  if (const LoadedApi* loaded = cell.get()) return loaded->api;
  Result<const LoadedApi*> loaded = cell.get_or_try_init(load_api);
  if (!loaded) {
    panic("Failed to access NumPy array API capsule: " + describe_error(loaded.error()));
  }
  return (*loaded)->api;
}

Result<const std::string*> multiarray_module_name() { return load_module_name(); }

InputArray::~InputArray() {
  if (array_) release_input_array(*this);
}

Result<InputArray> extract_input_array(PyObject* object, int nd) {
  const ArrayApi& api = array_api();
  bool accepted = api.is_array(object) && array_fields(object).nd == nd;
  if (accepted) {
    PyObject* descr = array_fields(object).descr;
    Ref float64(api.descr_from_type(npy_float64));
    if (!float64) null_object_failure();
    accepted = descr == float64.get() || api.equiv_types(descr, float64.get());
  }
  if (!accepted) return std::unexpected(cast_error(object, "ndarray"));

  Ref array = Ref::borrowed(object);
  if (!acquire(object)) {
    array.reset();
    panic("cannot hold the array read-only while it is borrowed writable: AlreadyBorrowed");
  }
  return InputArray(std::move(array));
}

Result<FlatBuffer> input_array_buffer(const InputArray& array) {
  const ArrayFields& a = array.fields();
  std::size_t n = 1;
  for (int axis = 0; axis < a.nd; ++axis) n *= static_cast<std::size_t>(a.dimensions[axis]);
  FlatBuffer flat;
  if (n == 0) return flat;
  bool contiguous = (a.flags & (npy_c_contiguous | npy_f_contiguous)) != 0;
  if (!contiguous || (a.flags & npy_aligned) == 0 || a.data == nullptr) {
    return std::unexpected(
        Error::deferred(PyExc_TypeError, "The given array is not contiguous or is misaligned."));
  }
  const auto* cells = reinterpret_cast<const double*>(a.data);
  flat.size = n;
  if (a.nd != 2 || (a.flags & npy_c_contiguous) != 0) {
    flat.data = cells;
    return flat;
  }
  // Column-major memory: the kernels read cell (i, j) at i * cols + j, so turn it once here,
  // while the lock is still held and the array cannot change under us.
  const std::size_t rows = static_cast<std::size_t>(a.dimensions[0]);
  const std::size_t cols = static_cast<std::size_t>(a.dimensions[1]);
  flat.row_major = Buffer<double>::zeroed(n);
  double* out = flat.row_major.data();
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) out[i * cols + j] = cells[j * rows + i];
  }
  flat.data = flat.row_major.data();
  return flat;
}

void release_input_array(InputArray& array) {
  release(array.get());
  array.array_.reset();
}

void release_owned_block(void* data, std::size_t bytes) noexcept { release_block(data, bytes); }

Ref from_owned_array(Buffer<double> values, std::size_t rows, std::size_t cols) {
  const std::size_t cells = rows * cols;
  const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
  const Py_ssize_t strides[2] = {cells == 0 ? 0 : static_cast<Py_ssize_t>(cols * sizeof(double)),
                                 cells == 0 ? 0 : static_cast<Py_ssize_t>(sizeof(double))};
  Buffer<double>::Parts parts = values.release();
  Ref owner = make_owner(owned_block(parts));
  return wrap(std::move(owner), npy_float64, 2, dims, strides, parts.data);
}

Ref from_raw_parts(std::size_t n, Py_ssize_t stride, void* data, SliceOwner owner,
                   ElementType element) {
  const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
  const Py_ssize_t strides[1] = {stride};
  Ref container = make_owner(owner);
  return wrap(std::move(container), static_cast<int>(element), 1, dims, strides, data);
}

Ref array_into_tuple(Ref first, Ref second) {
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) {
    first.reset();
    second.reset();
    null_object_failure();
  }
  PyTuple_SET_ITEM(tuple, 0, first.release());
  PyTuple_SET_ITEM(tuple, 1, second.release());
  return Ref(tuple);
}

}  // namespace kernels::boundary

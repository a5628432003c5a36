#include "boundary/borrow.hpp"

#include <atomic>
#include <compare>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <unordered_map>

#include "boundary/numpy.hpp"
#include "boundary/once_cell.hpp"

namespace kernels::boundary {
namespace {

// The bytes an array's elements may occupy, where it starts, and the gcd of its strides: two
// arrays of one owner may share an element only if their ranges overlap and their starts are
// a whole number of common strides apart.
struct BorrowKey {
  std::intptr_t start;
  std::intptr_t end;
  std::intptr_t data;
  std::intptr_t gcd_strides;
  auto operator<=>(const BorrowKey&) const = default;
};
static_assert(sizeof(BorrowKey) == 32);

bool conflicts(const BorrowKey& a, const BorrowKey& b) {
  if (a.start >= b.end || b.start >= a.end) return false;
  std::intptr_t g = std::gcd(a.gcd_strides, b.gcd_strides);
  std::intptr_t distance = a.data - b.data;
  if (g == 0) return distance == 0;
  return distance % g == 0;
}

// Holds per key: n > 0 read-only holds, or -1 for the one writable hold.
using Holds = std::map<BorrowKey, std::int64_t>;

struct TableState {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, Holds> owners;
};

// NumPy 2 widened the descriptor's element size to a pointer-sized field behind a new flags word.
constexpr unsigned numpy2_feature_version = 0x12;
constexpr std::size_t numpy1_elsize_offset = 32;
constexpr std::size_t numpy2_elsize_offset = 40;

std::atomic<unsigned> api_version{0};

std::intptr_t element_size(PyObject* descr, const ArrayApi& api) {
  unsigned version = api_version.load(std::memory_order_relaxed);
  if (version == 0) {
    version = api.feature_version();
    api_version.store(version, std::memory_order_relaxed);
  }
  const char* bytes = reinterpret_cast<const char*>(descr);
  if (version >= numpy2_feature_version) {
    return *reinterpret_cast<const std::intptr_t*>(bytes + numpy2_elsize_offset);
  }
  return *reinterpret_cast<const std::int32_t*>(bytes + numpy1_elsize_offset);
}

// Views chain to the array or object that owns their memory; they all count under it.
std::uintptr_t owner_address(PyObject* array, const ArrayApi& api) {
  PyObject* current = array;
  for (;;) {
    PyObject* base = array_fields(current).base;
    if (base == nullptr) return reinterpret_cast<std::uintptr_t>(current);
    if (!api.is_array(base)) return reinterpret_cast<std::uintptr_t>(base);
    current = base;
  }
}

BorrowKey borrow_key(PyObject* array, const ArrayApi& api) {
  const ArrayFields& a = array_fields(array);
  const auto data = reinterpret_cast<std::intptr_t>(a.data);
  if (a.nd == 0) return {data, data, data, 1};
  std::intptr_t gcd_strides = 0;
  bool empty = false;
  std::intptr_t low = 0, high = 0;
  for (int axis = 0; axis < a.nd; ++axis) {
    std::intptr_t dim = a.dimensions[axis];
    std::intptr_t stride = a.strides[axis];
    gcd_strides = std::gcd(gcd_strides, stride);
    if (dim == 0) empty = true;
    if (stride < 0) {
      low += (dim - 1) * stride;
    } else {
      high += (dim - 1) * stride;
    }
  }
  if (empty) return {data, data, data, gcd_strides};
  return {data + low, data + high + element_size(a.descr, api), data, gcd_strides};
}

// Where a hold of `array` is counted: computed before the table's lock is taken.
struct HoldPlace {
  std::uintptr_t owner;
  BorrowKey key;
  TableState& table;
};

HoldPlace hold_of(void* flags, PyObject* array) {
  const ArrayApi& api = array_api();
  return {owner_address(array, api), borrow_key(array, api), *static_cast<TableState*>(flags)};
}

// The record's four functions are called from other extensions' C code, where no C++ exception may
// arrive: an internal failure inside them ends the process.
std::int32_t acquire_shared(void* flags, PyObject* array) noexcept {
  auto [owner, key, table] = hold_of(flags, array);
  std::lock_guard lock(table.mutex);
  auto entry = table.owners.find(owner);
  if (entry == table.owners.end()) {
    table.owners[owner].emplace(key, 1);
    return 0;
  }
  Holds& holds = entry->second;
  if (auto held = holds.find(key); held != holds.end()) {
    if (held->second < 0 || held->second == std::numeric_limits<std::int64_t>::max()) return -1;
    ++held->second;
    return 0;
  }
  for (const auto& [other, count] : holds) {
    if (count < 0 && conflicts(key, other)) return -1;
  }
  holds.emplace(key, 1);
  return 0;
}

std::int32_t acquire_mut_shared(void* flags, PyObject* array) noexcept {
  if ((array_fields(array).flags & npy_writeable) == 0) return -2;
  auto [owner, key, table] = hold_of(flags, array);
  std::lock_guard lock(table.mutex);
  Holds& holds = table.owners[owner];
  bool refused = holds.contains(key);
  for (auto it = holds.begin(); !refused && it != holds.end(); ++it) {
    refused = conflicts(key, it->first);
  }
  if (refused) {
    if (holds.empty()) table.owners.erase(owner);
    return -1;
  }
  holds.emplace(key, -1);
  return 0;
}

// Ends one hold under `key`: a read-only one counts down, a writable one goes at once.
void end_hold(void* flags, PyObject* array, bool writable) {
  auto [owner, key, table] = hold_of(flags, array);
  std::lock_guard lock(table.mutex);
  auto entry = table.owners.find(owner);
  if (entry == table.owners.end()) return;
  Holds& holds = entry->second;
  auto held = holds.find(key);
  if (held == holds.end()) return;
  if (writable || --held->second == 0) holds.erase(held);
  if (holds.empty()) table.owners.erase(entry);
}

void release_shared(void* flags, PyObject* array) noexcept { end_hold(flags, array, false); }
void release_mut_shared(void* flags, PyObject* array) noexcept { end_hold(flags, array, true); }

void destroy_record(PyObject* capsule) noexcept {
  std::unique_ptr<Shared> record(
      static_cast<Shared*>(PyCapsule_GetPointer(capsule, borrow_capsule_name)));
  if (!record) {
    PyErr_Clear();
    return;
  }
  std::unique_ptr<TableState> state(static_cast<TableState*>(record->flags));
}

Result<Ref> install_record(PyObject* module) {
  auto state = std::make_unique<TableState>();
  auto record = std::make_unique<Shared>(Shared{1, state.get(), &acquire_shared,
                                                &acquire_mut_shared, &release_shared,
                                                &release_mut_shared});
  Ref capsule(PyCapsule_New(record.get(), borrow_capsule_name, &destroy_record));
  if (!capsule) return std::unexpected(fetch_pending());
  // The capsule's destructor frees both from now on.
  state.release();
  record.release();
  if (PyObject_SetAttrString(module, borrow_capsule_name, capsule.get()) < 0) {
    return std::unexpected(fetch_pending());
  }
  return capsule;
}

Result<const Shared*> set_up() {
  Result<const std::string*> name = multiarray_module_name();
  if (!name) return std::unexpected(std::move(name.error()));
  Ref module(PyImport_ImportModule((*name)->c_str()));
  if (!module) return std::unexpected(fetch_pending());
  Ref capsule(PyObject_GetAttrString(module.get(), borrow_capsule_name));
  if (!capsule) {
    PyErr_Clear();
    Result<Ref> installed = install_record(module.get());
    if (!installed) return std::unexpected(std::move(installed.error()));
    capsule = std::move(*installed);
  } else if (!PyCapsule_CheckExact(capsule.get())) {
    return std::unexpected(cast_error(capsule.get(), "PyCapsule"));
  }
  auto* record = static_cast<const Shared*>(PyCapsule_GetPointer(capsule.get(),
                                                                 borrow_capsule_name));
  if (record == nullptr) return std::unexpected(fetch_pending());
  if (record->version < 1) {
    return std::unexpected(Error::deferred(
        PyExc_TypeError, "the shared borrow checking API has version " +
                             std::to_string(record->version) + "; version 1 or later is needed"));
  }
  capsule.release();  // the record must outlive every hold
  return record;
}

const Shared& shared() {
  static GilOnceCell<const Shared*> cell;
  if (const Shared* const* record = cell.get()) return **record;
  Result<const Shared* const*> record = cell.get_or_try_init(set_up);
  if (!record) panic("Internal borrow checking API error: " + describe_error(record.error()));
  return ***record;
}

}  // namespace

std::expected<void, BorrowError> acquire(PyObject* array) {
  const Shared& record = shared();
  std::int32_t status = record.acquire(record.flags, array);
  if (status == 0) return {};
  if (status == -1) return std::unexpected(BorrowError::already_borrowed);
  panic("Unexpected return code " + std::to_string(status) + " from borrow checking API");
}

void release(PyObject* array) {
  const Shared& record = shared();
  record.release(record.flags, array);
}

}  // namespace kernels::boundary

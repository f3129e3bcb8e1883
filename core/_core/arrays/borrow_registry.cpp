#include "_core/arrays/borrow_registry.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <type_traits>

#include "_core/arrays/numpy_api.hpp"
#include "python/owned_ref.hpp"

namespace quorix::borrow {

namespace {

// The memory an array covers within its owner: element starts lie on the lattice
// low + k * step (step 0 for a single address), each element `item` bytes long, all within
// [low, high).
struct Region {
  PyObject* owner;
  const char* low;
  const char* high;
  Py_ssize_t step;
  Py_ssize_t item;

  bool operator==(const Region&) const = default;

  bool overlaps(const Region& other) const {
    if (owner != other.owner || !(low < other.high && other.low < high)) return false;
    // Interleaved views are disjoint when, on the lattice both lie on, each element of the
    // other region starts after one of ours ends and ends before the next one starts.
    const Py_ssize_t lattice = std::gcd(step, other.step);
    if (lattice == 0) return true;
    const Py_ssize_t offset = ((other.low - low) % lattice + lattice) % lattice;
    return offset < item || offset + other.item > lattice;
  }
};

struct Borrow {
  Region region;
  long shared;  // number of shared borrows; -1 for an exclusive one
};

// The borrows held, in a buffer that grows by realloc: a failure to grow is a return value, not
// an exception, which would need memory of its own to be thrown (a vector's bad_alloc does).
class Borrows {
 public:
  Borrows() = default;
  Borrows(const Borrows&) = delete;
  Borrows& operator=(const Borrows&) = delete;
  ~Borrows() { std::free(items_); }

  Borrow* begin() { return items_; }
  Borrow* end() { return items_ + count_; }

  bool push(const Borrow& borrow) {
    if (count_ == capacity_) {
      const std::size_t capacity = capacity_ == 0 ? 16 : 2 * capacity_;
      void* grown = std::realloc(items_, capacity * sizeof(Borrow));
      if (grown == nullptr) return false;
      items_ = static_cast<Borrow*>(grown);
      capacity_ = capacity;
    }
    items_[count_++] = borrow;
    return true;
  }

  void erase(Borrow* item) {
    std::memmove(item, item + 1, static_cast<std::size_t>(end() - item - 1) * sizeof(Borrow));
    --count_;
  }

 private:
  static_assert(std::is_trivially_copyable_v<Borrow>);
  Borrow* items_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
};

struct Registry {
  std::mutex mutex;
  Borrows borrows;
};

// The owner is the first object down the `base` chain that is not an array (the real owner
// of the memory, so that two arrays made on one buffer meet), else the last array.
PyObject* owner_of(const numpy::Api& api, PyObject* object) {
  PyObject* owner = object;
  while (PyObject* next = numpy::as_array(owner)->base) {
    owner = next;
    if (!numpy::is_array(api, next)) break;
  }
  return owner;
}

Region region_of(PyObject* object) {
  // A registry exists only once this module has loaded NumPy's interface.
  const numpy::Api& api = *numpy::api();
  const numpy::ArrayObject* array = numpy::as_array(object);
  const Py_ssize_t item = numpy::item_size(api, array);
  const char* low = array->data;
  const char* high = array->data;
  Py_ssize_t step = 0;
  for (int d = 0; d < array->nd; ++d) {
    const Py_ssize_t size = array->dimensions[d];
    const Py_ssize_t stride = array->strides[d];
    if (size == 0 || item == 0) return {nullptr, nullptr, nullptr, 0, 0};
    if (stride > 0) high += (size - 1) * stride;
    if (stride < 0) low += (size - 1) * stride;
    if (size > 1) step = std::gcd(step, stride);
  }
  return {owner_of(api, object), low, high + item, step, item};
}

// Called with the registry locked.
int add(Registry* registry, const Borrow& borrow) {
  return registry->borrows.push(borrow) ? kBorrowed : kOutOfMemory;
}

int acquire(void* state, PyObject* array) {
  auto* registry = static_cast<Registry*>(state);
  const Region region = region_of(array);
  if (region.low == region.high) return kBorrowed;  // empty arrays cover nothing
  std::lock_guard lock(registry->mutex);
  for (Borrow& borrow : registry->borrows) {
    if (borrow.shared < 0 && borrow.region.overlaps(region)) return kConflict;
  }
  for (Borrow& borrow : registry->borrows) {
    if (borrow.shared > 0 && borrow.region == region) {
      ++borrow.shared;
      return kBorrowed;
    }
  }
  return add(registry, {region, 1});
}

int acquire_mut(void* state, PyObject* array) {
  if ((numpy::as_array(array)->flags & numpy::kWriteable) == 0) return kNotWriteable;
  auto* registry = static_cast<Registry*>(state);
  const Region region = region_of(array);
  if (region.low == region.high) return kBorrowed;
  std::lock_guard lock(registry->mutex);
  for (const Borrow& borrow : registry->borrows) {
    if (borrow.region.overlaps(region)) return kConflict;
  }
  return add(registry, {region, -1});
}

void release_matching(void* state, PyObject* array, bool exclusive) {
  auto* registry = static_cast<Registry*>(state);
  const Region region = region_of(array);
  if (region.low == region.high) return;
  std::lock_guard lock(registry->mutex);
  for (Borrow& borrow : registry->borrows) {
    if ((borrow.shared < 0) != exclusive || borrow.region != region) continue;
    if (exclusive || --borrow.shared == 0) registry->borrows.erase(&borrow);
    return;
  }
}

void release(void* state, PyObject* array) {
  release_matching(state, array, false);
}
void release_mut(void* state, PyObject* array) {
  release_matching(state, array, true);
}

void destroy_capsule(PyObject* capsule) {
  destroy_record(static_cast<Record*>(PyCapsule_GetPointer(capsule, kCapsuleName)));
}

std::atomic<const Record*> loaded_record{nullptr};
std::mutex record_mutex;

const Record* load_record() {
  OwnedRef multiarray(numpy::import_multiarray());
  if (!multiarray) return nullptr;
  OwnedRef capsule(PyObject_GetAttrString(multiarray.get(), kCapsuleName));
  if (!capsule) {
    PyErr_Clear();  // nobody has published a registry yet: publish ours
    Record* created = create_record();
    capsule = OwnedRef(PyCapsule_New(created, kCapsuleName, destroy_capsule));
    if (!capsule) {
      destroy_record(created);
      return nullptr;
    }
    if (PyObject_SetAttrString(multiarray.get(), kCapsuleName, capsule.get()) != 0) return nullptr;
  }
  auto* found = static_cast<const Record*>(numpy::capsule_pointer(capsule.get(), kCapsuleName));
  if (found == nullptr) return nullptr;
  if (found->version == 0) {
    PyErr_SetString(PyExc_TypeError,
                    "version 0 of the borrow-checking API is not supported by this module");
    return nullptr;
  }
  capsule.release();  // kept for the rest of the process, so the record stays valid
  return found;
}

}  // namespace

Record* create_record() {
  auto registry = std::make_unique<Registry>();
  auto* record = new Record{1, registry.get(), &acquire, &acquire_mut, &release, &release_mut};
  registry.release();
  return record;
}

void destroy_record(Record* record) {
  if (record == nullptr) return;
  delete static_cast<Registry*>(record->registry);
  delete record;
}

const Record* record() {
  return numpy::load_once(loaded_record, record_mutex, load_record);
}

}  // namespace quorix::borrow

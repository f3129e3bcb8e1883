#include "_core/arrays/result_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "_core/arrays/numpy_api.hpp"
#include "python/owned_ref.hpp"

namespace quorix {

namespace {

using ReleaseRoutine = void (*)(void* data, std::size_t count, std::size_t capacity);

// The owner object that makes a result buffer the storage of its array.
struct SliceContainer {
  PyObject_HEAD
  ReleaseRoutine release;
  void* data;
  std::size_t count;
  std::size_t capacity;
};

// A result block: capacity doubles from the raw allocator, which is thread-safe without the
// interpreter and visible to tracemalloc.
struct Block {
  double* data = nullptr;
  std::size_t capacity = 0;
};

// The most recently freed block of kKeptMinimum bytes or more is kept for the next call of about
// its size: the C library maps blocks that large afresh for each allocation and unmaps them when
// freed, so that every large call would page-fault its whole result in again (40 MB for the
// Greeks of a million options). At most one block is kept.
constexpr std::size_t kKeptMinimum = std::size_t{32} << 20;  // the most glibc serves from its heap
constexpr std::size_t kKeptMaximum = std::size_t{1} << 30;
std::mutex kept_mutex;
Block kept;

bool keepable(std::size_t capacity) {
  return capacity >= kKeptMinimum / sizeof(double) && capacity <= kKeptMaximum / sizeof(double);
}

void release_block(void* data, std::size_t, std::size_t capacity) {
  if (data == nullptr) return;
  Block block{static_cast<double*>(data), capacity};
  if (keepable(capacity)) {
    std::lock_guard lock(kept_mutex);
    std::swap(block, kept);
  }
  PyMem_RawFree(block.data);
}

// The kept block if it holds count doubles and at most a quarter more; else a new one (its data
// nullptr when the allocator fails).
Block take_block(std::size_t count) {
  if (keepable(count)) {
    std::lock_guard lock(kept_mutex);
    if (kept.capacity >= count && kept.capacity - count <= count / 4) {
      return std::exchange(kept, Block{});
    }
  }
  return {static_cast<double*>(PyMem_RawMalloc(count * sizeof(double))), count};
}

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->release != nullptr) {
    container->release(container->data, container->count, container->capacity);
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of a result array of quorix.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT,
    slice_container_slots,
};

std::atomic<PyTypeObject*> owner_class{nullptr};
std::mutex owner_class_mutex;

PyTypeObject* create_owner_class() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
}

// An owner object holding the buffer; nullptr with an exception set.
PyObject* make_owner(double* data, std::size_t count, std::size_t capacity) {
  PyTypeObject* type = numpy::load_once(owner_class, owner_class_mutex, create_owner_class);
  if (type == nullptr) return nullptr;
  OwnedRef no_arguments(PyTuple_New(0));
  if (!no_arguments) return nullptr;
  PyObject* owner = PyBaseObject_Type.tp_new(type, no_arguments.get(), nullptr);
  if (owner == nullptr) return nullptr;
  auto* container = reinterpret_cast<SliceContainer*>(owner);
  container->release = &release_block;
  container->data = data;
  container->count = count;
  container->capacity = capacity;
  return owner;
}

// From this size on a buffer is advised for transparent huge pages: writing fresh memory is
// otherwise dominated by one page fault (and one page clearing) every 4 KiB.
constexpr std::size_t kHugePageAdviceBytes = std::size_t{4} << 20;

void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes < kHugePageAdviceBytes) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (address + page - 1) / page * page;
  const std::uintptr_t end = (address + bytes) / page * page;
  // Only advice: where the kernel declines, the buffer works as before.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace

ResultBuffer::~ResultBuffer() { release_block(data_, 0, capacity_); }

bool ResultBuffer::allocate(std::size_t n, std::size_t outputs) {
  // An empty result still gets a real allocation, so the arrays' data pointers are never null.
  const std::size_t count = n * outputs;
  const Block block = take_block(count == 0 ? 1 : count);
  if (block.data == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  data_ = block.data;
  capacity_ = block.capacity;
  size_ = n;
  outputs_ = outputs;
  advise_huge_pages(data_, count * sizeof(double));
  return true;
}

PyObject* ResultBuffer::into_result() {
  const numpy::Api* api = numpy::api();
  if (api == nullptr) return nullptr;
  OwnedRef owner(make_owner(data_, size_ * outputs_, capacity_));
  if (!owner) return nullptr;
  double* data = data_;
  data_ = nullptr;  // the owner frees it from now on
  // A column's array, holding its own reference to the owner.
  const auto column_array = [&](std::size_t j) -> PyObject* {
    const numpy::npy_intp dimensions[1] = {static_cast<numpy::npy_intp>(size_)};
    const numpy::npy_intp strides[1] = {sizeof(double)};
    PyObject* array =
        api->new_from_descr(api->array_type, api->descr_from_type(numpy::kTypeDouble), 1,
                            dimensions, strides, data + j * size_, numpy::kWriteable, nullptr);
    if (array == nullptr) return nullptr;
    Py_INCREF(owner.get());
    if (api->set_base_object(array, owner.get()) != 0) {  // steals the reference even on failure
      Py_DECREF(array);
      return nullptr;
    }
    return array;
  };
  if (outputs_ == 1) return column_array(0);
  OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(outputs_)));
  if (!tuple) return nullptr;
  for (std::size_t j = 0; j < outputs_; ++j) {
    PyObject* array = column_array(j);
    if (array == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(j), array);
  }
  return tuple.release();
}

}  // namespace quorix

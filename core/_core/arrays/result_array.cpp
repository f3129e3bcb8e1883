#include "_core/arrays/result_array.hpp"

#include <atomic>
#include <mutex>

#include "_core/arrays/numpy_api.hpp"
#include "python/owned_ref.hpp"
#include "python/result_blocks.hpp"

namespace quorix {

namespace {

using ReleaseRoutine = void (*)(void* data, std::size_t count, std::size_t capacity);

// The owner object that makes a result buffer the storage of its array.
struct SliceContainer {
  PyObject_HEAD ReleaseRoutine release;
  void* data;
  std::size_t count;
  std::size_t capacity;
};

void release_columns(void* data, std::size_t, std::size_t capacity) {
  release_block({static_cast<double*>(data), capacity});
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
    "builtins.PySliceContainer", static_cast<int>(sizeof(SliceContainer)), 0, Py_TPFLAGS_DEFAULT,
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
  container->release = &release_columns;
  container->data = data;
  container->count = count;
  container->capacity = capacity;
  return owner;
}

}  // namespace

ResultBuffer::~ResultBuffer() {
  release_block({data_, capacity_});
}

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

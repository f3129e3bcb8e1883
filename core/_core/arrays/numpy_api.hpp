// NumPy's C interface, loaded at run time from the _ARRAY_API capsule (NumPy 1.x and 2.x).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace quorix::numpy {

using npy_intp = Py_ssize_t;

// The leading fields of NumPy's array object, unchanged from NumPy 1.7 to 2.x.
struct ArrayObject {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline constexpr int kTypeByte = 1;     // NPY_BYTE, int8
inline constexpr int kTypeDouble = 12;  // NPY_DOUBLE, float64
inline constexpr int kCContiguous = 0x1;
inline constexpr int kFContiguous = 0x2;
inline constexpr int kAligned = 0x100;
inline constexpr int kWriteable = 0x400;

// The leading fields of NumPy's dtype object: NumPy 2 widened the item size and moved it.
struct DescrV1 {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind, type, byteorder, flags;
  int type_num;
  int elsize;
};
struct DescrV2 {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind, type, byteorder, former_flags;
  int type_num;
  std::uint64_t flags;
  npy_intp elsize;
};

// The entries of the interface table this module uses.
struct Api {
  bool abi2;  // NumPy 2.x: dtypes are laid out as DescrV2
  PyTypeObject* array_type;
  PyObject* (*descr_from_type)(int);
  unsigned char (*equiv_types)(PyObject*, PyObject*);
  PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                              void*, int, PyObject*);
  int (*set_base_object)(PyObject*, PyObject*);
};

// The interface, loaded on first use; nullptr with an exception set when NumPy cannot be
// loaded (the next call tries again).
const Api* api();

// The pointer of a capsule that must be exactly of the capsule type; nullptr with a TypeError.
void* capsule_pointer(PyObject* object, const char* name);

// The multiarray module, a new reference; nullptr with an exception set on failure.
PyObject* import_multiarray();

inline ArrayObject* as_array(PyObject* object) { return reinterpret_cast<ArrayObject*>(object); }

inline npy_intp item_size(const Api& numpy, const ArrayObject* array) {
  if (numpy.abi2) return reinterpret_cast<const DescrV2*>(array->descr)->elsize;
  return reinterpret_cast<const DescrV1*>(array->descr)->elsize;
}

inline bool is_array(const Api& numpy, PyObject* object) {
  return Py_TYPE(object) == numpy.array_type || PyType_IsSubtype(Py_TYPE(object), numpy.array_type);
}

// Runs create() once per process with the calling thread attached, letting other threads
// wait detached from the interpreter; a failed create() leaves the value unset for a retry.
template <class T, class Create>
T* load_once(std::atomic<T*>& slot, std::mutex& mutex, Create create) {
  if (T* value = slot.load(std::memory_order_acquire)) return value;
  PyThreadState* state = PyEval_SaveThread();
  std::unique_lock lock(mutex);
  PyEval_RestoreThread(state);
  T* value = slot.load(std::memory_order_acquire);
  if (value == nullptr) {
    value = create();
    if (value != nullptr) slot.store(value, std::memory_order_release);
  }
  return value;
}

}  // namespace quorix::numpy

#include "_core/arrays/extracted_array.hpp"

#include "_core/arrays/borrow_registry.hpp"
#include "_core/arrays/numpy_api.hpp"
#include "python/owned_ref.hpp"
#include "python/parameter_note.hpp"

namespace quorix {

namespace {

bool has_dtype(const numpy::Api& api, PyObject* array, ElementType type) {
  PyObject* expected =
      api.descr_from_type(type == ElementType::kFloat64 ? numpy::kTypeDouble : numpy::kTypeByte);
  PyObject* actual = numpy::as_array(array)->descr;
  const bool same = actual == expected || api.equiv_types(actual, expected) != 0;
  Py_XDECREF(expected);
  return same;
}

void raise_not_an_array(PyObject* object) {
  if (object == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
    return;
  }
  OwnedRef name(PyType_GetQualName(Py_TYPE(object)));
  if (name)
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'ndarray'", name.get());
}

}  // namespace

ExtractedArray& ExtractedArray::operator=(ExtractedArray&& other) noexcept {
  if (this != &other) {
    release();
    array_ = other.array_;
    other.array_ = nullptr;
  }
  return *this;
}

bool ExtractedArray::extract(PyObject* object, ElementType type, std::string_view parameter) {
  const numpy::Api* api = numpy::api();
  if (api == nullptr) return false;
  if (!numpy::is_array(*api, object) || numpy::as_array(object)->nd != 1 ||
      !has_dtype(*api, object, type)) {
    raise_not_an_array(object);
    add_parameter_note(parameter);
    return false;
  }
  const borrow::Record* registry = borrow::record();
  if (registry == nullptr) return false;
  const int outcome = registry->acquire(registry->registry, object);
  if (outcome == borrow::kOutOfMemory) {
    PyErr_NoMemory();
    return false;
  }
  if (outcome != borrow::kBorrowed) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the array is borrowed for writing elsewhere and cannot be read");
    add_parameter_note(parameter);
    return false;
  }
  Py_INCREF(object);
  array_ = object;
  return true;
}

bool ExtractedArray::view(const void** data, std::size_t* count) const {
  const numpy::ArrayObject* array = numpy::as_array(array_);
  Py_ssize_t elements = 1;
  for (int d = 0; d < array->nd; ++d) elements *= array->dimensions[d];
  *count = static_cast<std::size_t>(elements);
  *data = array->data;
  if (elements == 0) return true;
  const bool contiguous = (array->flags & (numpy::kCContiguous | numpy::kFContiguous)) != 0;
  if (!contiguous || (array->flags & numpy::kAligned) == 0 || array->data == nullptr) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  return true;
}

void ExtractedArray::release() {
  if (array_ == nullptr) return;
  // The registry was loaded by the extraction that took the borrow.
  const borrow::Record* registry = borrow::record();
  if (PyErr_Occurred() == nullptr) {
    registry->release(registry->registry, array_);
  } else {
    // Another module's release may run Python code, which must not see or clear our error.
    const SavedError saved;
    registry->release(registry->registry, array_);
  }
  Py_DECREF(array_);
  array_ = nullptr;
}

}  // namespace quorix

#include "_core/arrays/numpy_api.hpp"

#include "python/owned_ref.hpp"

namespace quorix::numpy {

namespace {

// NumPy's own checks of an extension built for ABI 2 and C-API feature level 12 (NumPy 1.15).
constexpr unsigned kCompiledAbiVersion = 0x2000000;
constexpr unsigned kCompiledFeatureVersion = 0xc;
constexpr int kLittleEndian = 1;  // NPY_CPU_LITTLE

// Table indices in _ARRAY_API.
enum : int {
  kGetNDArrayCVersion = 0,
  kArrayType = 2,
  kDescrFromType = 45,
  kNewFromDescr = 94,
  kEquivTypes = 182,
  kGetEndianness = 210,
  kGetNDArrayCFeatureVersion = 211,
  kSetBaseObject = 282,
};

std::atomic<const char*> multiarray_name{nullptr};
std::mutex multiarray_name_mutex;
std::atomic<Api*> loaded_api{nullptr};
std::mutex api_mutex;


// "numpy.core.multiarray" for NumPy 0.x and 1.x, "numpy._core.multiarray" from 2.0 on.
const char* find_multiarray_name() {
  OwnedRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  OwnedRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return nullptr;
  OwnedRef lib(PyImport_ImportModule("numpy.lib"));
  if (!lib) return nullptr;
  OwnedRef parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return nullptr;
  OwnedRef major_object(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_object) return nullptr;
  const long major = PyLong_AsLong(major_object.get());
  if (major == -1 && PyErr_Occurred()) return nullptr;
  if (major < 0 || major > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return nullptr;
  }
  return major < 2 ? "numpy.core.multiarray" : "numpy._core.multiarray";
}

}  // namespace

void* capsule_pointer(PyObject* object, const char* name) {
  if (!PyCapsule_CheckExact(object)) {
    OwnedRef type_name(PyType_GetQualName(Py_TYPE(object)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'PyCapsule'",
                   type_name.get());
    }
    return nullptr;
  }
  return PyCapsule_GetPointer(object, name);
}

namespace {

Api* load_api() {
  OwnedRef multiarray(import_multiarray());
  if (!multiarray) return nullptr;
  OwnedRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  auto** table = static_cast<void**>(capsule_pointer(capsule.get(), nullptr));
  if (table == nullptr) return nullptr;
  const auto abi = reinterpret_cast<unsigned (*)()>(table[kGetNDArrayCVersion])();
  if (abi > kCompiledAbiVersion) {
    PyErr_Format(PyExc_RuntimeError,
                 "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                 kCompiledAbiVersion, abi);
    return nullptr;
  }
  const auto feature = reinterpret_cast<unsigned (*)()>(table[kGetNDArrayCFeatureVersion])();
  if (feature < kCompiledFeatureVersion) {
    PyErr_Format(PyExc_RuntimeError,
                 "module was compiled against NumPy C-API version 0x%x (NumPy 1.15) but the "
                 "running NumPy has C-API version 0x%x",
                 kCompiledFeatureVersion, feature);
    return nullptr;
  }
  if (reinterpret_cast<int (*)()>(table[kGetEndianness])() != kLittleEndian) {
    PyErr_SetString(PyExc_RuntimeError,
                    "module compiled as little endian, but detected different endianness at "
                    "runtime");
    return nullptr;
  }
  // The capsule stays referenced for the rest of the process, so the table stays valid.
  Py_INCREF(capsule.get());
  auto* numpy_api = new Api;
  numpy_api->abi2 = abi >= kCompiledAbiVersion;
  numpy_api->array_type = static_cast<PyTypeObject*>(table[kArrayType]);
  numpy_api->descr_from_type = reinterpret_cast<decltype(Api::descr_from_type)>(table[kDescrFromType]);
  numpy_api->equiv_types = reinterpret_cast<decltype(Api::equiv_types)>(table[kEquivTypes]);
  numpy_api->new_from_descr = reinterpret_cast<decltype(Api::new_from_descr)>(table[kNewFromDescr]);
  numpy_api->set_base_object = reinterpret_cast<decltype(Api::set_base_object)>(table[kSetBaseObject]);
  return numpy_api;
}

}  // namespace

PyObject* import_multiarray() {
  const char* name = load_once(multiarray_name, multiarray_name_mutex, find_multiarray_name);
  if (name == nullptr) return nullptr;
  OwnedRef module_name(PyUnicode_FromString(name));
  if (!module_name) return nullptr;
  return PyImport_Import(module_name.get());
}

const Api* api() { return load_once(loaded_api, api_mutex, load_api); }

}  // namespace quorix::numpy

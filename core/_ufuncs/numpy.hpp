// NumPy's C API as this module uses it: built against NumPy 2's headers, for any NumPy from 1.25
// on. module.cpp imports the API tables; every other file links to them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorix_ufuncs_array_api
#define PY_UFUNC_UNIQUE_SYMBOL quorix_ufuncs_ufunc_api
#ifndef QUORIX_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

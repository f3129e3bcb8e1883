// Option flags from the words callers write: "c", "call", "p", "put" in any case.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorix::ufuncs {

// flag_codes(words): an int8 array of the words' shape, -1 for a put and 1 for a call, from a
// NumPy array of str, bytes or Python str objects. ValueError names the first other word.
PyObject* flag_codes(PyObject* module, PyObject* words);

// utf8_flag_codes(offsets, data): the same for UTF-8 words data[offsets[i]:offsets[i + 1]], as
// Arrow stores a column of strings.
PyObject* utf8_flag_codes(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// The flag of a str object: -1 for a put, 1 for a call, 0 when it is not a flag word.
signed char word_flag(PyObject* word);

}  // namespace quorix::ufuncs

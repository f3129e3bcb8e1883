// The note that names the parameter an argument error came from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "python/owned_ref.hpp"

namespace quorix {

// Adds the note "while processing '{parameter}'" to the pending exception.
inline void add_parameter_note(std::string_view parameter) {
  const SavedError saved;
  std::string text("while processing '");
  text.append(parameter).append("'");
  OwnedRef note(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  OwnedRef result(note ? PyObject_CallMethod(saved.exception(), "add_note", "O", note.get())
                       : nullptr);
  if (!result) PyErr_Clear();  // a failed note leaves the original exception as it is
}

}  // namespace quorix

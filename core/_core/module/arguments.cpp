#include "_core/module/arguments.hpp"

#include <cstring>
#include <string>

#include "python/owned_ref.hpp"
#include "python/parameter_note.hpp"

namespace quorix {

namespace {

std::string display_name(const Descriptor& descriptor) {
  std::string display(descriptor.name);
  display.append("()");
  return display;
}

// Finds a parameter by exact byte comparison; count when there is none.
std::size_t find_parameter(const Descriptor& descriptor, const char* text, Py_ssize_t size) {
  for (std::size_t i = 0; i < descriptor.count; ++i) {
    const std::string_view name = descriptor.parameters[i];
    if (name.size() == static_cast<std::size_t>(size) &&
        std::memcmp(name.data(), text, name.size()) == 0) {
      return i;
    }
  }
  return descriptor.count;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const Descriptor& descriptor, PyObject** slots, std::size_t* count) {
  std::string list;
  std::size_t total = 0;
  for (std::size_t i = 0; i < descriptor.count; ++i) total += slots[i] == nullptr;
  std::size_t written = 0;
  for (std::size_t i = 0; i < descriptor.count; ++i) {
    if (slots[i] != nullptr) continue;
    if (written > 0) list.append(total == 2 ? " and " : (written + 1 == total ? ", and " : ", "));
    list.append("'").append(descriptor.parameters[i]).append("'");
    ++written;
  }
  *count = total;
  return list;
}

}  // namespace

bool match_arguments(const Descriptor& descriptor, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
  const auto positional = static_cast<std::size_t>(nargs);
  if (positional > descriptor.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given",
                 display_name(descriptor).c_str(), descriptor.count, nargs);
    return false;
  }
  for (std::size_t i = 0; i < descriptor.count; ++i) slots[i] = i < positional ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < keywords; ++j) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    std::size_t index = descriptor.count;
    if (text == nullptr) {
      PyErr_Clear();  // not encodable, so it names no parameter
    } else {
      index = find_parameter(descriptor, text, size);
    }
    if (index == descriptor.count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                   display_name(descriptor).c_str(), keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                   display_name(descriptor).c_str(), keyword);
      return false;
    }
    slots[index] = args[nargs + j];
  }
  for (std::size_t i = positional; i < descriptor.count; ++i) {
    if (slots[i] != nullptr) continue;
    std::size_t missing = 0;
    const std::string list = quoted_list(descriptor, slots, &missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 display_name(descriptor).c_str(), missing,
                 missing == 1 ? "argument" : "arguments", list.c_str());
    return false;
  }
  return true;
}

bool convert_double(PyObject* object, std::string_view parameter, double* value) {
  if (PyFloat_CheckExact(object)) {
    *value = PyFloat_AS_DOUBLE(object);
    return true;
  }
  // An exact int converts directly: PyFloat_AsDouble would make a float of it and free it again.
  *value = PyLong_CheckExact(object) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
  if (*value == -1.0 && PyErr_Occurred()) {
    add_parameter_note(parameter);
    return false;
  }
  return true;
}

bool convert_flag(PyObject* object, std::string_view parameter, signed char* value) {
  const long flag = PyLong_AsLong(object);
  if (flag == -1 && PyErr_Occurred()) {
    add_parameter_note(parameter);
    return false;
  }
  if (flag < -128 || flag > 127) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    add_parameter_note(parameter);
    return false;
  }
  *value = static_cast<signed char>(flag);
  return true;
}

}  // namespace quorix

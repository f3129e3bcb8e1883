// Argument descriptors, the generic matcher and the scalar conversions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace quorix {

inline constexpr std::size_t kMaxParameters = 7;

// One per function: its name and its parameters, all positional-or-keyword and required.
struct Descriptor {
  std::string_view name;
  std::array<std::string_view, kMaxParameters> parameters;
  std::size_t count;
};

// Splits "flag, s, k" into its names at compile time.
consteval Descriptor describe(std::string_view name, std::string_view parameter_list) {
  Descriptor descriptor{name, {}, 0};
  while (!parameter_list.empty()) {
    const std::size_t comma = parameter_list.find(", ");
    descriptor.parameters[descriptor.count++] = parameter_list.substr(0, comma);
    parameter_list =
        comma == std::string_view::npos ? std::string_view{} : parameter_list.substr(comma + 2);
  }
  return descriptor;
}

// Places the fastcall arguments into one borrowed slot per parameter, in declaration order.
// Returns false with a TypeError set when they do not match the descriptor.
bool match_arguments(const Descriptor& descriptor, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);

// Number to double; false with the exception decorated on failure.
bool convert_double(PyObject* object, std::string_view parameter, double* value);

// Integer to the option flag in -128..127; false with the exception decorated on failure.
bool convert_flag(PyObject* object, std::string_view parameter, signed char* value);

}  // namespace quorix

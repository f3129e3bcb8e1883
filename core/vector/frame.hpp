// The frame shared by every vector function: extract and view the inputs, check their lengths,
// map the element kernel serially or on the worker pool, and wrap the results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arrays/extracted_array.hpp"
#include "arrays/result_array.hpp"
#include "module/arguments.hpp"
#include "pricing/greeks.hpp"
#include "vector/kernel_traits.hpp"
#include "vector/parallel_map.hpp"

namespace quorix {

// Smallest n that runs on the worker pool, by cost per element.
enum Threshold : std::size_t {
  kImpliedVolatilityThreshold = 1024,
  kCombinedGreeksThreshold = 4096,
  kPriceThreshold = 8192,
  kSingleGreekThreshold = 16384,
};

namespace frame {

// Flags arrive as int8 arrays, everything else as float64 arrays.
template <class Argument>
using Element = std::conditional_t<std::is_same_v<Argument, bool>, signed char, double>;

template <class Argument>
inline constexpr ElementType kElementType =
    std::is_same_v<Argument, bool> ? ElementType::kInt8 : ElementType::kFloat64;

inline bool read(const ArrayView<signed char>& view, std::size_t i) { return is_put(view.data[i]); }
inline double read(const ArrayView<double>& view, std::size_t i) { return view.data[i]; }

// Detached from the interpreter for the lifetime of the guard.
class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

template <class T, class Element>
void map_in_parallel(std::size_t n, const Element& element, T* out) {
  const std::size_t written = parallel_map(n, element, out);
  if (written != n) {
    char message[96];
    std::snprintf(message, sizeof message, "expected %zu total writes, but got %zu", n, written);
    pool::fatal(message);
  }
}

std::string mismatched_lengths(const std::size_t* counts, std::size_t arity);

// One result array per call.
template <class Element>
PyObject* single_result(std::size_t n, bool parallel, const Element& element) {
  ResultBuffer result;
  if (!result.allocate(n)) return nullptr;
  double* out = result.data();
  if (parallel) {
    Detached detached;
    map_in_parallel(n, element, out);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = element(i);
  }
  return result.into_array();
}

// Five result arrays (delta, gamma, vega, theta, rho) in a tuple.
template <class Element>
PyObject* greeks_result(std::size_t n, bool parallel, const Element& element) {
  std::array<ResultBuffer, 5> results;
  for (ResultBuffer& result : results) {
    if (!result.allocate(n)) return nullptr;
  }
  auto scatter = [&](std::size_t i, const Greeks& greeks) {
    results[0].data()[i] = greeks.delta;
    results[1].data()[i] = greeks.gamma;
    results[2].data()[i] = greeks.vega;
    results[3].data()[i] = greeks.theta;
    results[4].data()[i] = greeks.rho;
  };
  if (parallel) {
    std::unique_ptr<Greeks[]> records(new (std::nothrow) Greeks[n]);
    if (!records) return PyErr_NoMemory();
    Detached detached;
    map_in_parallel(n, element, records.get());
    for (std::size_t i = 0; i < n; ++i) scatter(i, records[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) scatter(i, element(i));
  }
  PyObject* tuple = PyTuple_New(5);
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t j = 0; j < 5; ++j) {
    PyObject* array = results[static_cast<std::size_t>(j)].into_array();
    if (array == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, j, array);
  }
  return tuple;
}

// The whole vector call after argument matching. The extracted inputs are released in reverse
// argument order when `inputs` goes out of scope, on every path.
template <auto Kernel, std::size_t ThresholdValue, std::size_t... I>
PyObject* run(const Descriptor& descriptor, PyObject** slots, std::index_sequence<I...>) {
  using Traits = KernelTraits<decltype(Kernel)>;
  std::array<ExtractedArray, Traits::kArity> inputs;
  const bool extracted =
      (inputs[I].extract(slots[I], kElementType<typename Traits::template Argument<I>>,
                         descriptor.parameters[I]) &&
       ...);
  if (!extracted) return nullptr;
  std::tuple<ArrayView<Element<typename Traits::template Argument<I>>>...> views;
  if (!(inputs[I].view(&std::get<I>(views)) && ...)) return nullptr;
  const std::size_t counts[] = {std::get<I>(views).count...};
  const std::size_t n = counts[0];
  if (!((counts[I] == n) && ...)) {
    PyErr_SetString(PyExc_ValueError, mismatched_lengths(counts, Traits::kArity).c_str());
    return nullptr;
  }
  const auto element = [&views](std::size_t i) { return Kernel(read(std::get<I>(views), i)...); };
  const bool parallel = n >= ThresholdValue;
  if constexpr (std::is_same_v<typename Traits::Result, Greeks>) {
    return greeks_result(n, parallel, element);
  } else {
    return single_result(n, parallel, element);
  }
}

}  // namespace frame

template <auto Kernel, std::size_t ThresholdValue>
PyObject* run_vector(const Descriptor& descriptor, PyObject** slots) {
  using Traits = KernelTraits<decltype(Kernel)>;
  return frame::run<Kernel, ThresholdValue>(descriptor, slots,
                                            std::make_index_sequence<Traits::kArity>{});
}

}  // namespace quorix

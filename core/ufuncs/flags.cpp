#include "ufuncs/flags.hpp"

#include <cstddef>
#include <cstdint>

#include "arrays/owned_ref.hpp"
#include "ufuncs/numpy.hpp"

namespace quorix::ufuncs {

namespace {

constexpr signed char kPut = -1, kCall = 1, kNotAFlag = 0;

// A word's first four characters as one key, folded to lower case; 0 past its end. Characters
// outside ASCII become 0x7f, which no word holds.
template <class Char>
constexpr std::uint32_t word_key(const Char* word, std::size_t length) {
  std::uint32_t key = 0;
  for (std::size_t i = 0; i < 4 && i < length; ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(word[i]);
    c = c > 0x7f ? 0x7f : c;
    c |= static_cast<std::uint32_t>(c - 'A' < 26u) << 5;
    key |= c << (8 * i);
  }
  return key;
}

constexpr std::uint32_t kCKey = word_key("c", 1), kCallKey = word_key("call", 4);
constexpr std::uint32_t kPKey = word_key("p", 1), kPutKey = word_key("put", 3);

// The flag of a word's key, without branches (flags of random calls and puts mispredict).
constexpr signed char key_flag(std::uint32_t key) {
  return static_cast<signed char>(((key == kCKey) | (key == kCallKey)) -
                                  ((key == kPKey) | (key == kPutKey)));
}

// The flag of a word of `length` characters (at most four make a word), or kNotAFlag.
template <class Char>
signed char word_flag(const Char* word, std::size_t length) {
  return length > 4 ? kNotAFlag : key_flag(word_key(word, length));
}

// Flags of n fixed-width words of `capacity` characters each (NumPy pads them with NULs, so a
// word ends at its first), `Width` = min(capacity, 4) known to the compiler; false when one is
// not a flag word.
template <std::size_t Width, class Char>
bool fixed_width_flags(const Char* words, std::size_t capacity, std::size_t n, signed char* out) {
  unsigned char bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Char* word = words + i * capacity;
    const bool longer = Width == 4 && capacity > 4 && word[4] != 0;
    out[i] = longer ? kNotAFlag : key_flag(word_key(word, Width));
    bad |= out[i] == kNotAFlag;
  }
  return bad == 0;
}

template <class Char>
bool fixed_width_flags(const Char* words, std::size_t capacity, std::size_t n, signed char* out) {
  switch (capacity) {
    case 1:
      return fixed_width_flags<1>(words, capacity, n, out);
    case 2:
      return fixed_width_flags<2>(words, capacity, n, out);
    case 3:
      return fixed_width_flags<3>(words, capacity, n, out);
    default:
      return fixed_width_flags<4>(words, capacity, n, out);
  }
}

// NumPy pads fixed-width strings with NULs: a word ends at the first.
template <class Char>
std::size_t fixed_length(const Char* word, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && word[length] != 0) ++length;
  return length;
}

PyObject* not_a_flag(PyObject* word) {
  if (word != nullptr) {
    PyErr_Format(PyExc_ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got %R",
                 word);
    Py_DECREF(word);
  }
  return nullptr;
}

std::size_t first_not_a_flag(const signed char* flags, std::size_t n) {
  std::size_t i = 0;
  while (i < n && flags[i] != kNotAFlag) ++i;
  return i;
}

}  // namespace

signed char word_flag(PyObject* item) {
  if (!PyUnicode_Check(item)) return kNotAFlag;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(item);
  const void* data = PyUnicode_DATA(item);
  switch (PyUnicode_KIND(item)) {
    case PyUnicode_1BYTE_KIND:
      return word_flag(static_cast<const Py_UCS1*>(data), static_cast<std::size_t>(length));
    case PyUnicode_2BYTE_KIND:
      return word_flag(static_cast<const Py_UCS2*>(data), static_cast<std::size_t>(length));
    default:
      return word_flag(static_cast<const Py_UCS4*>(data), static_cast<std::size_t>(length));
  }
}

PyObject* flag_codes(PyObject*, PyObject* words) {
  const OwnedRef array(PyArray_FROM_OF(words, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
  if (!array) return nullptr;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const int type = PyArray_TYPE(a);
  if (type != NPY_UNICODE && type != NPY_STRING && type != NPY_OBJECT) {
    PyErr_Format(PyExc_TypeError, "flag words must be strings, got dtype %R",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    return nullptr;
  }
  OwnedRef codes(PyArray_SimpleNew(PyArray_NDIM(a), PyArray_DIMS(a), NPY_INT8));
  if (!codes) return nullptr;
  auto* out = static_cast<signed char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes.get())));
  const auto n = static_cast<std::size_t>(PyArray_SIZE(a));
  const auto itemsize = static_cast<std::size_t>(PyArray_ITEMSIZE(a));
  const char* data = static_cast<const char*>(PyArray_DATA(a));
  if (type == NPY_UNICODE) {
    const auto* characters = reinterpret_cast<const Py_UCS4*>(data);
    const std::size_t capacity = itemsize / sizeof(Py_UCS4);
    if (!fixed_width_flags(characters, capacity, n, out)) {
      const Py_UCS4* word = characters + first_not_a_flag(out, n) * capacity;
      return not_a_flag(PyUnicode_FromKindAndData(
          PyUnicode_4BYTE_KIND, word, static_cast<Py_ssize_t>(fixed_length(word, capacity))));
    }
  } else if (type == NPY_STRING) {
    if (!fixed_width_flags(data, itemsize, n, out)) {
      const char* word = data + first_not_a_flag(out, n) * itemsize;
      return not_a_flag(
          PyBytes_FromStringAndSize(word, static_cast<Py_ssize_t>(fixed_length(word, itemsize))));
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* object = reinterpret_cast<PyObject* const*>(data)[i];
      out[i] = word_flag(object);
      if (out[i] == kNotAFlag) return not_a_flag(Py_NewRef(object));
    }
  }
  return codes.release();
}

}  // namespace quorix::ufuncs

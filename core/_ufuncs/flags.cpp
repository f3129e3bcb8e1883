#include "_ufuncs/flags.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "_ufuncs/numpy.hpp"
#include "python/owned_ref.hpp"

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

// NumPy pads fixed-width strings with NULs: a word ends at the first.
template <class Char>
std::size_t fixed_length(const Char* word, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && word[length] != 0) ++length;
  return length;
}

// The flag of a byte (or UTF-8) word of `length` bytes with `readable` bytes from its start, its
// bytes read as one key: past the word masked to zero, folded as word_key folds them (a byte at or
// above 0x80 stays there, and matches no word). Without branches on the length where four bytes
// can be read: words of random lengths would mispredict.
signed char byte_flag(const char* word, std::size_t length, std::size_t readable) {
  std::uint32_t key = 0;
  if (std::endian::native == std::endian::little && readable >= 4) {
    std::memcpy(&key, word, 4);
    const std::size_t kept = length < 4 ? length : 4;
    key &= static_cast<std::uint32_t>((std::uint64_t{1} << (8 * kept)) - 1);
  } else {
    for (std::size_t i = 0; i < length && i < 4; ++i) {
      key |= static_cast<std::uint32_t>(static_cast<unsigned char>(word[i])) << (8 * i);
    }
  }
  const signed char flag = key_flag(key | ((key >> 1) & 0x20202020u));
  return length - 1 < 4 ? flag : kNotAFlag;
}

// Two UCS4 characters in one word of 64 bits, the first in the low half.
constexpr std::uint64_t pair(char first, char second) {
  return static_cast<std::uint64_t>(first) | static_cast<std::uint64_t>(second) << 32;
}

// Folds each ASCII letter of a pair to lower case by copying bit 6 into bit 5. Other characters
// change too, but only letters land on the flag words' letters, and none lands on a NUL.
constexpr std::uint64_t fold(std::uint64_t characters) {
  return characters | ((characters >> 1) & pair(0x20, 0x20));
}

// Flags of n fixed-width UCS4 words of `capacity` characters each (NumPy pads them with NULs, so
// a word ends at its first), Width = min(capacity, 4) known to the compiler: the first four
// characters as two pairs, compared whole. False when one is not a flag word.
template <std::size_t Width>
bool ucs4_flags(const Py_UCS4* words, std::size_t capacity, std::size_t n, signed char* out) {
  unsigned char bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4* word = words + i * capacity;
    Py_UCS4 first_four[4] = {};
    std::memcpy(first_four, word, Width * sizeof(Py_UCS4));
    std::uint64_t low, high;
    std::memcpy(&low, first_four, sizeof low);
    std::memcpy(&high, first_four + 2, sizeof high);
    low = fold(low);
    high = fold(high);
    const bool call = ((low == pair('c', 0)) & (high == 0)) |
                      ((low == pair('c', 'a')) & (high == pair('l', 'l')));
    const bool put =
        ((low == pair('p', 0)) & (high == 0)) | ((low == pair('p', 'u')) & (high == pair('t', 0)));
    const bool longer = Width == 4 && capacity > 4 && word[4] != 0;
    out[i] = static_cast<signed char>(longer ? 0 : static_cast<int>(call) - static_cast<int>(put));
    bad |= out[i] == kNotAFlag;
  }
  return bad == 0;
}

// One-character words ("c", "P"): the commonest column, read with the widest vectors the
// processor has. OR-ing 0x20 folds the upper-case letters onto the lower; no other character
// lands on 'c' or 'p'.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target_clones("arch=x86-64-v4", "avx2", "default")]]
#endif
bool letter_flags(const Py_UCS4* words, std::size_t n, signed char* out) {
  unsigned char bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4 c = words[i] | 0x20;
    const signed char flag = static_cast<signed char>((c == 'c') - (c == 'p'));
    out[i] = flag;
    bad |= flag == kNotAFlag;
  }
  return bad == 0;
}

bool ucs4_flags(const Py_UCS4* words, std::size_t capacity, std::size_t n, signed char* out) {
  switch (capacity) {
    case 1:
      return letter_flags(words, n, out);
    case 2:
      return ucs4_flags<2>(words, capacity, n, out);
    case 3:
      return ucs4_flags<3>(words, capacity, n, out);
    default:
      return ucs4_flags<4>(words, capacity, n, out);
  }
}

// Flags of n byte strings: fixed-width ones of `capacity` bytes, or UTF-8 words between offsets.
bool byte_flags(const char* words, std::size_t capacity, std::size_t n, signed char* out) {
  unsigned char bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char* word = words + i * capacity;
    out[i] = byte_flag(word, fixed_length(word, capacity), capacity);
    bad |= out[i] == kNotAFlag;
  }
  return bad == 0;
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
  auto* out =
      static_cast<signed char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes.get())));
  const auto n = static_cast<std::size_t>(PyArray_SIZE(a));
  const auto itemsize = static_cast<std::size_t>(PyArray_ITEMSIZE(a));
  const char* data = static_cast<const char*>(PyArray_DATA(a));
  if (type == NPY_UNICODE) {
    const auto* characters = reinterpret_cast<const Py_UCS4*>(data);
    const std::size_t capacity = itemsize / sizeof(Py_UCS4);
    if (!ucs4_flags(characters, capacity, n, out)) {
      const Py_UCS4* word = characters + first_not_a_flag(out, n) * capacity;
      return not_a_flag(PyUnicode_FromKindAndData(
          PyUnicode_4BYTE_KIND, word, static_cast<Py_ssize_t>(fixed_length(word, capacity))));
    }
  } else if (type == NPY_STRING) {
    if (!byte_flags(data, itemsize, n, out)) {
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

PyObject* utf8_flag_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "utf8_flag_codes() takes offsets and data");
    return nullptr;
  }
  constexpr int kIn = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
  const OwnedRef offsets(PyArray_FROM_OTF(args[0], NPY_INT64, kIn));
  const OwnedRef data(offsets ? PyArray_FROM_OTF(args[1], NPY_UINT8, kIn) : nullptr);
  if (!data) return nullptr;
  auto* o = reinterpret_cast<PyArrayObject*>(offsets.get());
  auto* d = reinterpret_cast<PyArrayObject*>(data.get());
  const auto* bounds = static_cast<const std::int64_t*>(PyArray_DATA(o));
  const char* bytes = static_cast<const char*>(PyArray_DATA(d));
  const npy_intp size = PyArray_SIZE(d), count = PyArray_SIZE(o);
  if (PyArray_NDIM(o) != 1 || count < 1) {
    PyErr_SetString(PyExc_ValueError, "utf8_flag_codes() needs n + 1 offsets");
    return nullptr;
  }
  npy_intp n = count - 1;
  OwnedRef codes(PyArray_SimpleNew(1, &n, NPY_INT8));
  if (!codes) return nullptr;
  auto* out =
      static_cast<signed char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes.get())));
  for (npy_intp i = 0; i + 1 < count; ++i) {
    const std::int64_t begin = bounds[i], end = bounds[i + 1];
    if (begin < 0 || end < begin || end > size) {
      PyErr_SetString(PyExc_ValueError, "utf8_flag_codes(): offsets outside the data");
      return nullptr;
    }
    out[i] = byte_flag(bytes + begin, static_cast<std::size_t>(end - begin),
                       static_cast<std::size_t>(size - begin));
    if (out[i] == kNotAFlag) {
      return not_a_flag(PyUnicode_DecodeUTF8(bytes + begin, end - begin, "replace"));
    }
  }
  return codes.release();
}

}  // namespace quorix::ufuncs

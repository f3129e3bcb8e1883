// The borrow registry shared by the extension modules of a process through a capsule on NumPy's
// multiarray module: shared borrows coexist, an exclusive borrow excludes every overlapping one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace quorix::borrow {

inline constexpr const char* kCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";

// The capsule's record; the layout is shared with other modules, every field 8 bytes wide.
struct Record {
  std::uint64_t version;
  void* registry;
  int (*acquire)(void* registry, PyObject* array);
  int (*acquire_mut)(void* registry, PyObject* array);
  void (*release)(void* registry, PyObject* array);
  void (*release_mut)(void* registry, PyObject* array);
};

inline constexpr int kBorrowed = 0;
inline constexpr int kConflict = -1;
inline constexpr int kNotWriteable = -2;
// This module's registry could not grow to hold another borrow.
inline constexpr int kOutOfMemory = -3;

// The record found on NumPy's multiarray module, or created and published there; nullptr with an
// exception set on failure (the next call tries again).
const Record* record();

// A new registry record of version 1 with this module's operations, for a new capsule.
Record* create_record();
void destroy_record(Record* record);

}  // namespace quorix::borrow

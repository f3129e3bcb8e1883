#include "_ufuncs/loop.hpp"

#include <algorithm>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "kernels/pool/parallel_map.hpp"

namespace quorix::ufuncs {

namespace {

// Elements per chunk: a whole number of the staged kernels' own chunks, and a mask that fits
// on any thread's stack. Gathered columns take kChunk doubles each, on the heap; where that
// cannot be had, kSmallChunk on the stack (the same bits: a kernel's values do not depend on
// how a range is cut).
constexpr std::size_t kChunk = 2048;
constexpr std::size_t kSmallChunk = 64;
constexpr std::size_t kMaxStreams = kMaxColumns + kMaxOutputs;

// Whether any of the values may be missing data: NaN, or in a column of t or sigma, a number
// with its sign bit set (-0.0 is told apart when the rows are marked). Integer operations, which
// vectorise (a NaN's magnitude bits exceed infinity's, so adding kBelowNaN carries into the sign
// bit), compiled for the widest vectors the processor has.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target_clones("avx512f", "avx2", "default")]]
#endif
bool any_suspect(const double* values, std::size_t size, bool signed_domain) {
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63, kBelowNaN = 0x000FFFFFFFFFFFFF;
  const std::uint64_t sign = signed_domain ? kSign : 0;
  std::uint64_t screen = 0;
  for (std::size_t e = 0; e < size; ++e) {
    std::uint64_t bits;
    std::memcpy(&bits, values + e, sizeof bits);
    screen |= ((bits & ~kSign) + kBelowNaN) | (bits & sign);
  }
  return (screen & kSign) != 0;
}

// One column of the call as NumPy hands it over: its first element and the bytes between two.
struct Stream {
  char* base;
  std::intptr_t step;
  std::intptr_t width;  // bytes per element
  bool direct() const { return step == width; }
};

// One range of a call: its streams, and where each gathered stream is buffered.
class Range {
 public:
  Range(const KernelShape& shape, char* const* args, const std::intptr_t* steps, std::size_t n)
      : shape_(shape), kernel_(kernel_table().kernels[&shape - kKernelShapes]) {
    for (std::size_t i = 0; i < streams(); ++i) {
      const std::intptr_t width = static_cast<int>(i) == shape.flag ? 1 : 8;
      // One element is read at its base, whatever its step.
      streams_[i] = {args[i], n == 1 ? width : steps[i], width};
      direct_ &= streams_[i].direct();
      if (streams_[i].step == 0 && static_cast<int>(i) != shape.flag && i < shape.columns) {
        broadcast_suspect_ |=
            any_suspect(reinterpret_cast<const double*>(args[i]), 1, signed_column(i));
      }
    }
  }

  void run(std::size_t begin, std::size_t end) {
    if (direct_) {
      for (std::size_t at = begin; at < end; at += kChunk)
        chunk(at, std::min(kChunk, end - at), nullptr);
      return;
    }
    const std::size_t columns = streams();
    // A short range takes buffers of its own length: small enough for the heap to reuse them.
    const std::size_t wanted = std::min(kChunk, end - begin);
    // malloc, not new (std::nothrow), which throws and catches inside libstdc++ (see
    // thread_scratch): this runs on the pool's workers.
    const std::unique_ptr<double, decltype(&std::free)> heap(
        static_cast<double*>(std::malloc(wanted * columns * sizeof(double))), &std::free);
    double stack[kSmallChunk * kMaxStreams];
    const std::size_t size = heap ? wanted : kSmallChunk;
    buffers_ = heap ? heap.get() : stack;
    stride_ = size;
    filled_ = 0;
    for (std::size_t at = begin; at < end; at += size)
      chunk(at, std::min(size, end - at), buffers_);
  }

 private:
  std::size_t streams() const { return shape_.columns + shape_.outputs; }

  // Element i of a stream's buffer, or of the stream itself when it is read in place.
  void* buffer(std::size_t i) { return buffers_ + i * stride_; }

  // Evaluates elements [at, at + size): gathered inputs are copied into their buffers (a
  // broadcast one only once), the kernel runs, and rows with missing data are set to NaN.
  void chunk(std::size_t at, std::size_t size, double* buffers) {
    Columns columns{};
    std::size_t offset = at;
    if (buffers != nullptr) offset = 0;
    for (std::size_t i = 0; i < shape_.columns; ++i) {
      const Stream& s = streams_[i];
      if (buffers == nullptr || s.direct()) {
        columns.inputs[i] =
            s.base + (static_cast<std::intptr_t>(at) - static_cast<std::intptr_t>(offset)) * s.step;
        continue;
      }
      columns.inputs[i] = buffer(i);
      if (s.step == 0 && (filled_ >> i & 1)) continue;
      gather(s, at, s.step == 0 ? stride_ : size, static_cast<char*>(buffer(i)));
      if (s.step == 0) filled_ |= 1u << i;
    }
    for (std::size_t j = 0; j < shape_.outputs; ++j) {
      const Stream& s = streams_[shape_.columns + j];
      const bool direct = buffers == nullptr || s.direct();
      columns.outputs[j] = direct ? reinterpret_cast<double*>(s.base) + at - offset
                                  : static_cast<double*>(buffer(shape_.columns + j));
    }
    // Inputs are screened after the kernel, which brought them into cache, unless an output is
    // written over one of them (out= an input).
    const bool overwritten = overwrites_input(columns);
    unsigned char missing[kChunk];
    bool any_missing = overwritten && mark_missing(columns, offset, size, missing);
    kernel_(columns, offset, offset + size);
    if (!overwritten) any_missing = mark_missing(columns, offset, size, missing);
    for (std::size_t j = 0; j < shape_.outputs; ++j) {
      double* out = columns.outputs[j] + offset;
      if (any_missing) {
        for (std::size_t e = 0; e < size; ++e) {
          if (missing[e]) out[e] = std::numeric_limits<double>::quiet_NaN();
        }
      }
      const Stream& s = streams_[shape_.columns + j];
      if (buffers != nullptr && !s.direct()) {
        for (std::size_t e = 0; e < size; ++e) {
          std::memcpy(s.base + static_cast<std::intptr_t>(at + e) * s.step, out + e,
                      sizeof(double));
        }
      }
    }
  }

  // Copies a column's elements [at, at + size) into a buffer, each copy of a size the compiler
  // knows (a copy of a size it does not know is a library call per element).
  static void gather(const Stream& s, std::size_t at, std::size_t size, char* into) {
    const char* from = s.base + static_cast<std::intptr_t>(at) * s.step;
    if (s.width == sizeof(double)) {
      for (std::size_t e = 0; e < size; ++e, from += s.step) {
        std::memcpy(into + e * sizeof(double), from, sizeof(double));
      }
    } else {
      for (std::size_t e = 0; e < size; ++e, from += s.step) into[e] = *from;
    }
  }

  // Marks the rows [offset, offset + size) that hold NaN in a number, or a negative t or sigma:
  // missing or impossible data, whose results must not pass for values. A screen finds the
  // chunks that need the marks; a broadcast number was screened once, for the whole range.
  bool mark_missing(const Columns& columns, std::size_t offset, std::size_t size,
                    unsigned char* missing) const {
    bool suspect = broadcast_suspect_;
    for (std::size_t i = 0; i < shape_.columns && !suspect; ++i) {
      if (static_cast<int>(i) == shape_.flag || streams_[i].step == 0) continue;
      suspect = any_suspect(static_cast<const double*>(columns.inputs[i]) + offset, size,
                            signed_column(i));
    }
    if (!suspect) return false;
    std::memset(missing, 0, size);
    for (std::size_t i = 0; i < shape_.columns; ++i) {
      if (static_cast<int>(i) == shape_.flag) continue;
      const double* values = static_cast<const double*>(columns.inputs[i]) + offset;
      const bool signed_domain = signed_column(i);
      for (std::size_t e = 0; e < size; ++e) {
        const double v = values[e];
        missing[e] |= static_cast<unsigned char>((v != v) | (signed_domain & (v < 0.0)));
      }
    }
    return true;
  }

  // NumPy passes an output that overlaps an input only when it is that input, element for element.
  bool overwrites_input(const Columns& columns) const {
    for (std::size_t j = 0; j < shape_.outputs; ++j) {
      for (std::size_t i = 0; i < shape_.columns; ++i) {
        if (static_cast<const void*>(columns.outputs[j]) == columns.inputs[i]) return true;
      }
    }
    return false;
  }

  // t and sigma: a negative one is impossible data.
  bool signed_column(std::size_t i) const {
    const int column = static_cast<int>(i);
    return column == shape_.t || column == shape_.sigma;
  }

  const KernelShape& shape_;
  BlockKernel kernel_;
  Stream streams_[kMaxStreams] = {};
  bool direct_ = true;
  double* buffers_ = nullptr;
  std::size_t stride_ = 0;
  unsigned filled_ = 0;             // bit i: the broadcast input i is in its buffer
  bool broadcast_suspect_ = false;  // a broadcast number is NaN, or a negative t or sigma
};

}  // namespace

bool interruptible_loop(char** args, std::intptr_t length, const std::intptr_t* steps,
                        const KernelShape& shape, const pool::Interrupt& interrupt) {
  const auto n = static_cast<std::size_t>(length);
  bool completed = true;
  if (n >= shape.threshold) {
    completed = parallel_ranges(
        n,
        [&](std::size_t begin, std::size_t end) { Range(shape, args, steps, n).run(begin, end); },
        interrupt);
  } else if (n > 0) {
    Range(shape, args, steps, n).run(0, n);
  }
  // The kernels evaluate every branch of a block and select: the flags they raise say nothing
  // about the results, which carry NaN where a value is undefined.
  std::feclearexcept(FE_ALL_EXCEPT);
  return completed;
}

void strided_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* data) {
  interruptible_loop(args, dimensions[0], steps, *static_cast<const KernelShape*>(data), {});
}

}  // namespace quorix::ufuncs

#include "reconstruction/value_kernels.h"

namespace value_kernels {

size_t parse_scalar(const char*& pos, const char* end, int32_t* out, size_t capacity,
                    kernel_stop& stop) {
  // Hot loop: one token per iteration.
  for (size_t n = 0; n < capacity; ++n)
    if (!scan_hard_token(pos, end, out + n, stop)) return n;
  stop = kernel_stop::capacity;
  return capacity;
}

}  // namespace value_kernels

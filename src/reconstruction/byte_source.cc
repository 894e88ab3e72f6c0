#include "reconstruction/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

long fd_source::read(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

long memory_source::read(char* buffer, size_t size) {
  size_t n = std::min({size, piece_, text_.size() - offset_});
  std::memcpy(buffer, text_.data() + offset_, n);
  offset_ += n;
  return static_cast<long>(n);
}

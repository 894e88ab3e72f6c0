#include "reconstruction/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

fd_source::fd_source(int fd) : fd_(fd) {
  regular_ = ::fstat(fd_, &initial_) == 0 && S_ISREG(initial_.st_mode);
}

long fd_source::read(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

long fd_source::read_at(char* buffer, size_t size, uint64_t offset) {
  for (;;) {
    ssize_t n = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool fd_source::unchanged() const {
  if (!regular_) return true;
  struct stat now;
  return ::fstat(fd_, &now) == 0 && now.st_size == initial_.st_size &&
         now.st_mtim.tv_sec == initial_.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == initial_.st_mtim.tv_nsec;
}

long memory_source::read(char* buffer, size_t size) {
  const long n = read_at(buffer, size, offset_);
  offset_ += static_cast<size_t>(n);
  return n;
}

long memory_source::read_at(char* buffer, size_t size, uint64_t offset) {
  if (offset >= text_.size()) return 0;
  size_t n = std::min({size, piece_, text_.size() - static_cast<size_t>(offset)});
  std::memcpy(buffer, text_.data() + offset, n);
  return static_cast<long>(n);
}

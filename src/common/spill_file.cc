#include "common/spill_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

spill_file::spill_file() {
  const char* dir = std::getenv("TMPDIR");
  std::string name = std::string(dir && *dir ? dir : "/tmp") + "/varnel-spill-XXXXXX";
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) return;
  ::unlink(name.c_str());
  read_fd_ = fd_;
}

spill_file::~spill_file() {
  close_file();
}

spill_file::spill_file(spill_file&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      read_fd_(std::exchange(other.read_fd_, -1)),
      size_(std::exchange(other.size_, 0)) {}

spill_file& spill_file::operator=(spill_file&& other) noexcept {
  if (this != &other) {
    close_file();
    fd_ = std::exchange(other.fd_, -1);
    read_fd_ = std::exchange(other.read_fd_, -1);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void spill_file::close_file() {
  if (read_fd_ >= 0) ::close(read_fd_);
  fd_ = read_fd_ = -1;
}

bool spill_file::append(const void* data, size_t size) {
  if (fd_ < 0) return false;
  const auto* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::pwrite(fd_, bytes + done, size - done, static_cast<off_t>(size_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The part of this append that was written is not counted: readers see whole appends.
      fd_ = -1;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  size_ += size;
  return true;
}

bool spill_file::read(uint64_t offset, void* data, size_t size) const {
  if (read_fd_ < 0 || offset + size > size_) return false;
  auto* bytes = static_cast<char*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n =
        ::pread(read_fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

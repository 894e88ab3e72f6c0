#include "results/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#if defined(__x86_64__)
#include <xxh_x86dispatch.h>
#endif

#include <cerrno>
#include <memory>
#include <new>
#include <vector>

#include "common/number_text.h"

std::optional<file_stamp> stamp_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return file_stamp{static_cast<int64_t>(st.st_size),
                    static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::string irregular_kind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
  if (S_ISDIR(st.st_mode)) return "a folder";
  return "another kind of file";
}

void content_hasher::state_deleter::operator()(XXH3_state_s* s) const {
  XXH3_freeState(s);
}

content_hasher::content_hasher() : state_(XXH3_createState()) {
  if (!state_) throw std::bad_alloc();
  XXH3_64bits_reset(state_.get());
}

content_hasher::~content_hasher() = default;

void content_hasher::add(const char* bytes, size_t count) {
#if defined(__x86_64__)
  // The widest vector instructions this processor has; the hash is the same on every one.
  XXH3_64bits_update_dispatch(state_.get(), bytes, count);
#else
  XXH3_64bits_update(state_.get(), bytes, count);
#endif
  bytes_ += count;
}

std::string content_hasher::hex() const {
  return hex_text(XXH3_64bits_digest(state_.get()), 16);
}

std::optional<std::string> content_hash(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  content_hasher hasher;
  std::vector<char> buffer(1 << 20);
  ssize_t n = 0;
  while ((n = ::read(fd, buffer.data(), buffer.size())) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    hasher.add(buffer.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  if (n < 0) return std::nullopt;
  return hasher.hex();
}

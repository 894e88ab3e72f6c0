#include "common/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// The template of the temporary file's name: the path with ".tmpXXXXXX" appended. When the
// file's name is within NAME_MAX but the temporary name would not be, the temporary name is cut
// short, so that it can be made wherever the file itself can; a name already too long is kept, and
// fails to be created.
std::vector<char> temp_template(const std::string& path) {
  static constexpr char suffix[] = ".tmpXXXXXX";
  constexpr size_t suffix_size = sizeof suffix - 1;
  size_t slash = path.rfind('/');
  size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  size_t keep = path.size();
  size_t name_size = path.size() - name_start;
  if (name_size <= NAME_MAX && name_size + suffix_size > NAME_MAX)
    keep = name_start + NAME_MAX - suffix_size;
  std::vector<char> name(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(keep));
  name.insert(name.end(), suffix, suffix + suffix_size);
  name.push_back('\0');
  return name;
}

constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t random_letters = 6;

// Replaces the template's trailing "XXXXXX" with random letters and digits.
void randomise_suffix(std::vector<char>& name) {
  unsigned char bytes[random_letters] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // Without the kernel's random bytes the address of a local still varies between callers.
    auto seed = reinterpret_cast<uintptr_t>(&bytes);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(seed >>= 5);
  }
  char* x = name.data() + name.size() - 1 - sizeof bytes;
  for (unsigned char b : bytes) *x++ = alphabet[b % (sizeof alphabet - 1)];
}

// Creates a new file from the template with the mode a plain fopen(path, "w") would give, so the
// kernel applies the umask; unlike reading the umask this is safe with other threads running.
int create_unique(std::vector<char>& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    randomise_suffix(name);
    int fd = ::open(name.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool write_all(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Whether `name` is the template's file name with its random letters filled in.
bool fills_template(const std::string& stem, const char* name) {
  size_t size = std::strlen(name);
  if (size != stem.size() + random_letters || stem.compare(0, stem.size(), name, stem.size()) != 0)
    return false;
  for (const char* c = name + stem.size(); *c; ++c)
    if (std::strchr(alphabet, *c) == nullptr) return false;
  return true;
}

// A file made in the last second may be one whose writer has created it and not yet locked it.
constexpr int creation_grace_s = 1;

// Whether the temporary file `name` was left by a writer that is gone: its lock, which the
// writer holds for as long as it lives, can be taken. The kernel drops a killed process's locks.
bool writer_gone(int dir_fd, const char* name) {
  int fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool gone = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              st.st_mtim.tv_sec < std::time(nullptr) - creation_grace_s &&
              ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return gone;
}

}  // namespace

int remove_stale_temporaries(const std::string& path) {
  std::vector<char> name = temp_template(path);
  std::string full(name.data(), name.size() - 1 - random_letters);
  size_t slash = full.rfind('/');
  std::string folder = slash == std::string::npos ? "." : full.substr(0, slash + 1);
  std::string stem = slash == std::string::npos ? full : full.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  while (const dirent* e = ::readdir(dir))
    if (fills_template(stem, e->d_name) && writer_gone(::dirfd(dir), e->d_name))
      removed += ::unlinkat(::dirfd(dir), e->d_name, 0) == 0;
  ::closedir(dir);
  return removed;
}

atomic_file::~atomic_file() {
  discard();
}

bool atomic_file::open() {
  std::vector<char> name = temp_template(path_);
  fd_ = create_unique(name);
  if (fd_ < 0) return false;
  // Held until the file is committed or discarded, and dropped by the kernel if this process is
  // killed: what tells remove_stale_temporaries() that the writer is gone.
  ::flock(fd_, LOCK_EX | LOCK_NB);
  temp_path_ = name.data();
  return true;
}

bool atomic_file::commit(const std::string& text) {
  if (fd_ < 0) return false;
  bool ok = write_all(fd_, text) && ::fsync(fd_) == 0;
  ok = (::close(fd_) == 0) && ok;
  fd_ = -1;
  return rename_or_discard(ok);
}

bool atomic_file::commit_written() {
  if (fd_ < 0) return false;
  // A writer that opened the file by name may have replaced it: flush what the name holds now.
  int fd = ::open(temp_path_.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  ::close(fd_);
  fd_ = -1;
  return rename_or_discard(ok);
}

bool atomic_file::rename_or_discard(bool ok) {
  if (ok && ::rename(temp_path_.c_str(), path_.c_str()) == 0) {
    temp_path_.clear();
    return true;
  }
  discard();
  return false;
}

void atomic_file::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
}

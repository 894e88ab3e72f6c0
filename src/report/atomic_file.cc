#include "report/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace {

// The permissions a plain fopen(path, "w") would give a new file under the current umask.
mode_t default_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

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

}  // namespace

atomic_file::~atomic_file() {
  discard();
}

bool atomic_file::open() {
  std::vector<char> name = temp_template(path_);
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  temp_path_ = name.data();
  ::fchmod(fd_, default_file_mode());
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

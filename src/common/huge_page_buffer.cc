#include "common/huge_page_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr size_t huge_page = size_t{2} << 20;

}  // namespace

#if defined(__SANITIZE_ADDRESS__)

// Under the address sanitizer the buffer is ordinary heap memory of exactly the size asked, so
// that a read past its end is caught instead of landing in the rest of a huge page.
huge_page_buffer::huge_page_buffer(size_t bytes)
    : data_(new char[std::max<size_t>(bytes, 1)]()), size_(std::max<size_t>(bytes, 1)) {}

void huge_page_buffer::release() {
  delete[] data_;
}

#else

namespace {

// Mappings given back on this thread, kept for its next buffers: a thread that reads one
// recording after another then maps and faults its pages in once, not once per recording. The
// list has no destructor of its own, so that a buffer given back while the thread's objects are
// being destroyed still finds it; `kept_cleaner` unmaps what it holds at the thread's end.
struct kept_mappings {
  static constexpr size_t capacity = 4;
  char* data[capacity];
  size_t size[capacity];
  size_t count;
  bool closed;  // the thread is ending: nothing more is kept
};

thread_local kept_mappings kept{};

struct kept_cleaner {
  ~kept_cleaner() {
    for (size_t i = 0; i < kept.count; ++i) munmap(kept.data[i], kept.size[i]);
    kept.count = 0;
    kept.closed = true;
  }
};

thread_local kept_cleaner cleaner;

// The mapping of exactly `size` bytes kept last, or null.
char* take_kept(size_t size) {
  for (size_t i = kept.count; i-- > 0;)
    if (kept.size[i] == size) {
      char* data = kept.data[i];
      for (size_t j = i + 1; j < kept.count; ++j) {
        kept.data[j - 1] = kept.data[j];
        kept.size[j - 1] = kept.size[j];
      }
      --kept.count;
      return data;
    }
  return nullptr;
}

// Keeps the mapping, or unmaps it when enough are kept or the thread is ending.
void give_kept(char* data, size_t size) {
  (void)&cleaner;  // constructs the thread's cleaner
  if (kept.closed || kept.count == kept_mappings::capacity) {
    munmap(data, size);
    return;
  }
  kept.data[kept.count] = data;
  kept.size[kept.count] = size;
  ++kept.count;
}

}  // namespace

huge_page_buffer::huge_page_buffer(size_t bytes) {
  const size_t size = (std::max<size_t>(bytes, 1) + huge_page - 1) / huge_page * huge_page;
  if (char* reused = take_kept(size)) {
    std::memset(reused, 0, std::max<size_t>(bytes, 1));
    data_ = reused;
    size_ = size;
    return;
  }
  // A huge page must start on a 2 MiB boundary: one page more is mapped than needed, and what
  // lies before and after the aligned range is given back.
  const size_t mapped = size + huge_page;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + huge_page - 1) & ~(uintptr_t{huge_page} - 1);
  if (aligned > start) munmap(p, aligned - start);
  if (const uintptr_t end = aligned + size; start + mapped > end)
    munmap(reinterpret_cast<void*>(end), start + mapped - end);
  data_ = reinterpret_cast<char*>(aligned);
  size_ = size;
  // Only advice: a kernel without transparent huge pages leaves the pages ordinary.
  madvise(data_, size_, MADV_HUGEPAGE);
}

void huge_page_buffer::release() {
  give_kept(data_, size_);
}

#endif

huge_page_buffer::~huge_page_buffer() {
  if (data_) release();
}

huge_page_buffer::huge_page_buffer(huge_page_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

huge_page_buffer& huge_page_buffer::operator=(huge_page_buffer&& other) noexcept {
  if (this != &other) {
    if (data_) release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

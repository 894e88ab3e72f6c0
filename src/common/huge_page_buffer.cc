#include "common/huge_page_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr size_t huge_page = size_t{2} << 20;

// Buffers given back on this thread, kept for its next ones: a thread that reads one recording
// after another then maps and faults its pages in once, not once per recording. The list has no
// destructor of its own, so that a buffer given back while the thread's objects are being
// destroyed still finds it; `kept_cleaner` frees what it holds at the thread's end.
struct kept_buffers {
  static constexpr size_t capacity = 4;
  char* data[capacity];
  size_t size[capacity];
  size_t count;
  bool closed;  // the thread is ending: nothing more is kept
};

thread_local kept_buffers kept{};

#if defined(__SANITIZE_ADDRESS__)
// Under the address sanitizer a buffer is ordinary heap memory of exactly the size asked, so that
// a read past its end is caught instead of landing in the rest of a huge page; while kept it is
// poisoned, so that a use after it was given back is caught too. (Allocated anew each time, a
// buffer of a megabyte cost the sanitizer's allocator a mapping of its own and a test that reads
// 25,000 short texts minutes.)
size_t rounded(size_t bytes) {
  return std::max<size_t>(bytes, 1);
}
char* allocate(size_t size) {
  return new char[size];
}
void discard(char* data, size_t size) {
  ASAN_UNPOISON_MEMORY_REGION(data, size);
  delete[] data;
}
void poison(char* data, size_t size) {
  ASAN_POISON_MEMORY_REGION(data, size);
}
void unpoison(char* data, size_t size) {
  ASAN_UNPOISON_MEMORY_REGION(data, size);
}
#else
size_t rounded(size_t bytes) {
  return (std::max<size_t>(bytes, 1) + huge_page - 1) / huge_page * huge_page;
}
// A huge page must start on a 2 MiB boundary: one page more is mapped than needed, and what lies
// before and after the aligned range is given back.
char* allocate(size_t size) {
  const size_t mapped = size + huge_page;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + huge_page - 1) & ~(uintptr_t{huge_page} - 1);
  if (aligned > start) munmap(p, aligned - start);
  if (const uintptr_t end = aligned + size; start + mapped > end)
    munmap(reinterpret_cast<void*>(end), start + mapped - end);
  char* data = reinterpret_cast<char*>(aligned);
  // Only advice: a kernel without transparent huge pages leaves the pages ordinary.
  madvise(data, size, MADV_HUGEPAGE);
  return data;
}
void discard(char* data, size_t size) {
  munmap(data, size);
}
void poison(char*, size_t) {}
void unpoison(char*, size_t) {}
#endif

struct kept_cleaner {
  ~kept_cleaner() {
    for (size_t i = 0; i < kept.count; ++i) discard(kept.data[i], kept.size[i]);
    kept.count = 0;
    kept.closed = true;
  }
};

thread_local kept_cleaner cleaner;

// Takes the kept buffer at `i` off the list, the later ones moving up.
char* remove_kept(size_t i) {
  char* data = kept.data[i];
  for (size_t j = i + 1; j < kept.count; ++j) {
    kept.data[j - 1] = kept.data[j];
    kept.size[j - 1] = kept.size[j];
  }
  --kept.count;
  return data;
}

// The buffer of exactly `size` bytes kept last, or null.
char* take_kept(size_t size) {
  for (size_t i = kept.count; i-- > 0;)
    if (kept.size[i] == size) {
      char* data = remove_kept(i);
      unpoison(data, size);
      return data;
    }
  return nullptr;
}

// Keeps the buffer in place of the one kept longest when enough are kept, or frees it when the
// thread is ending.
void give_kept(char* data, size_t size) {
  (void)&cleaner;  // constructs the thread's cleaner
  if (kept.closed) {
    discard(data, size);
    return;
  }
  if (kept.count == kept_buffers::capacity) {
    const size_t oldest = kept.size[0];
    discard(remove_kept(0), oldest);
  }
  poison(data, size);
  kept.data[kept.count] = data;
  kept.size[kept.count] = size;
  ++kept.count;
}

}  // namespace

huge_page_buffer::huge_page_buffer(size_t bytes) {
  size_ = rounded(bytes);
  if (char* reused = take_kept(size_)) {
    std::memset(reused, 0, std::max<size_t>(bytes, 1));
    data_ = reused;
    return;
  }
  data_ = allocate(size_);
#if defined(__SANITIZE_ADDRESS__)
  std::memset(data_, 0, size_);  // fresh mappings are zero already
#endif
}

void huge_page_buffer::release() {
  give_kept(data_, size_);
}

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

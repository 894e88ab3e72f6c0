#include "common/huge_page_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
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

huge_page_buffer::huge_page_buffer(size_t bytes) {
  const size_t size = (std::max<size_t>(bytes, 1) + huge_page - 1) / huge_page * huge_page;
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
  munmap(data_, size_);
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

#pragma once

#include <cstddef>

/// Zero-filled memory for large I/O buffers, mapped so that the kernel may back it with
/// transparent huge pages: then touching it costs one page fault per 2 MiB instead of one per
/// 4 KiB page. A thread keeps the last few buffers it gave back and hands them out again, zeroed,
/// for buffers of the same rounded size, so that one reading recording after recording faults its
/// pages in once. Where huge pages are not offered it is ordinary memory; under the address
/// sanitizer it is heap memory of exactly the size asked, so that reads past it are caught, and
/// poisoned while kept.
class huge_page_buffer {
 public:
  /// At least `bytes` (> 0) bytes, the first `bytes` of them zero; throws std::bad_alloc when none
  /// can be mapped.
  explicit huge_page_buffer(size_t bytes);
  ~huge_page_buffer();
  huge_page_buffer(huge_page_buffer&& other) noexcept;
  huge_page_buffer& operator=(huge_page_buffer&& other) noexcept;
  huge_page_buffer(const huge_page_buffer&) = delete;
  huge_page_buffer& operator=(const huge_page_buffer&) = delete;

  /// The first byte; aligned to 2 MiB (but for the sanitizer's).
  char* data() const { return data_; }
  /// The bytes usable, `bytes` rounded up to whole 2 MiB (but for the sanitizer's).
  size_t size() const { return size_; }

 private:
  /// Gives the memory back.
  void release();

  char* data_ = nullptr;
  size_t size_ = 0;
};

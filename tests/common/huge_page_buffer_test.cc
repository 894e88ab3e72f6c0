// Buffers for reading: zeroed, aligned for huge pages, whole, handed over by moves, and kept by
// their thread for its next buffers.
#include "common/huge_page_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

namespace {

constexpr size_t two_mib = size_t{2} << 20;

// The sanitizer's buffers are exactly the size asked, so that it sees reads past them.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool whole_huge_pages = false;
#else
constexpr bool whole_huge_pages = true;
#endif

TEST(HugePageBuffer, IsZeroedAlignedAndRoundedUpToWholeHugePages) {
  for (size_t bytes : {size_t{1}, two_mib - 1, two_mib, two_mib + 1, 3 * two_mib + 256}) {
    huge_page_buffer b(bytes);
    if (whole_huge_pages) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % two_mib, 0u) << bytes;
      EXPECT_EQ(b.size() % two_mib, 0u) << bytes;
      EXPECT_LT(b.size(), bytes + two_mib);
    }
    EXPECT_GE(b.size(), bytes);
    EXPECT_TRUE(std::all_of(b.data(), b.data() + bytes, [](char c) { return c == 0; }));
    b.data()[0] = 'a';  // every byte is writable, the last one too
    b.data()[b.size() - 1] = 'z';
  }
}

TEST(HugePageBuffer, AMoveHandsOverTheSameBytes) {
  huge_page_buffer a(100);
  a.data()[7] = 'x';
  char* const bytes = a.data();
  huge_page_buffer b(std::move(a));
  EXPECT_EQ(b.data(), bytes);
  EXPECT_EQ(b.data()[7], 'x');
  huge_page_buffer c(1);
  c = std::move(b);
  EXPECT_EQ(c.data(), bytes);
  EXPECT_EQ(c.size(), whole_huge_pages ? two_mib : 100);
}

TEST(HugePageBuffer, AThreadGetsItsGivenBackBufferAgainZeroedAsFarAsAsked) {
  char* first = nullptr;
  {
    huge_page_buffer a(two_mib - 4096);
    first = a.data();
    std::memset(a.data(), 'x', a.size());
  }
  // The same rounded size: any up to 2 MiB, or for the sanitizer's exact sizes the same.
  huge_page_buffer again(whole_huge_pages ? 1000 : two_mib - 4096);
  EXPECT_EQ(again.data(), first);
  EXPECT_TRUE(std::all_of(again.data(), again.data() + 1000, [](char c) { return c == 0; }));
  // Another thread has buffers of its own.
  char* other = nullptr;
  std::thread([&other] {
    huge_page_buffer b(1000);
    other = b.data();
  }).join();
  EXPECT_NE(other, again.data());
  // A buffer of another rounded size is not handed out for it.
  {
    huge_page_buffer larger(3 * two_mib);
    EXPECT_NE(larger.data(), again.data());
  }
}

#if defined(__SANITIZE_ADDRESS__)
TEST(HugePageBuffer, UnderTheSanitizerAUseOfABufferGivenBackIsCaught) {
  EXPECT_DEATH(
      {
        char* given_back = nullptr;
        {
          huge_page_buffer b(100);
          given_back = b.data();
        }
        *static_cast<volatile char*>(given_back) = 1;
      },
      "use-after-poison");
}
#endif

}  // namespace

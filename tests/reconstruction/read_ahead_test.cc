#include "reconstruction/read_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Bytes whose every position is told apart, over several chunks.
std::string patterned(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

// Serves a text in pieces of at most `piece` bytes, then ends or fails.
class served_text : public byte_source {
 public:
  served_text(std::string text, size_t piece, bool fail_at_end)
      : text_(std::move(text)), piece_(piece), fail_(fail_at_end) {}
  long read(char* buffer, size_t size) override {
    if (offset_ == text_.size()) return fail_ ? -1 : 0;
    size_t n = std::min({size, piece_, text_.size() - offset_});
    std::memcpy(buffer, text_.data() + offset_, n);
    offset_ += n;
    return static_cast<long>(n);
  }

 private:
  std::string text_;
  size_t piece_;
  bool fail_;
  size_t offset_ = 0;
};

// Everything lent until the end or an error, and the last count.
std::pair<std::string, long> lend_all(read_ahead_source& ahead) {
  std::string got;
  for (;;) {
    const char* data = nullptr;
    long n = ahead.lend(data);
    if (n <= 0) return {got, n};
    // Lent bytes are padded with zeros on both sides.
    EXPECT_EQ(data[-1], '\0');
    EXPECT_EQ(data[n], '\0');
    EXPECT_EQ(data[n + byte_source::lent_padding - 1], '\0');
    got.append(data, static_cast<size_t>(n));
  }
}

TEST(ReadAhead, LendsTheBytesInOrderThenTheEndOrTheError) {
  const std::string text = patterned(5 * read_ahead_source::default_chunk_size + 123);
  for (size_t piece : {read_ahead_source::default_chunk_size, size_t{300000}}) {
    for (bool fail : {false, true}) {
      served_text source(text, piece, fail);
      read_ahead_source ahead(source);
      auto [got, last] = lend_all(ahead);
      EXPECT_TRUE(got == text);
      EXPECT_EQ(last, fail ? -1 : 0);
      const char* data = nullptr;
      EXPECT_EQ(ahead.lend(data), last) << "the end is lent again";
    }
  }
}

TEST(ReadAhead, ReadCopiesTheSameBytesInPiecesOfAnySize) {
  const std::string text = patterned(3 * read_ahead_source::default_chunk_size + 77);
  served_text source(text, text.size(), false);
  read_ahead_source ahead(source);
  std::string got;
  std::string buffer(65537, '\0');
  for (long n; (n = ahead.read(buffer.data(), buffer.size())) > 0;)
    got.append(buffer.data(), static_cast<size_t>(n));
  EXPECT_TRUE(got == text);
}

TEST(ReadAhead, StopsWhenDestroyedBeforeTheEnd) {
  // The thread has filled its buffers and waits; destroying the read-ahead must not hang.
  served_text source(patterned(8 * read_ahead_source::default_chunk_size), 4096, false);
  {
    read_ahead_source ahead(source);
    const char* data = nullptr;
    EXPECT_GT(ahead.lend(data), 0);
  }
}

}  // namespace

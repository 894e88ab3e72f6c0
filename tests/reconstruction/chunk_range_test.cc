#include "reconstruction/chunk_range.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// What chunk `index` lends, bytes and all, checking the zero padding around each piece.
struct lent_chunk {
  std::string bytes;
  long last_count = 0;  // 0 at the chunk's end, -1 on an error
  bool reached_end = false;
};

lent_chunk lend_chunk(byte_source& source, size_t chunk_size, uint64_t index) {
  std::vector<char> buffer(chunk_range_source::buffer_size(chunk_size), '\0');
  chunk_range_source range(source, chunk_size, index, buffer.data());
  lent_chunk got;
  for (;;) {
    const char* data = nullptr;
    got.last_count = range.lend(data);
    if (got.last_count <= 0) break;
    const size_t n = static_cast<size_t>(got.last_count);
    for (size_t i = 1; i <= byte_source::lent_padding; ++i)
      EXPECT_TRUE(data[-static_cast<long>(i)] == '\0' && data[n + i - 1] == '\0');
    got.bytes.append(data, n);
  }
  got.reached_end = range.reached_end();
  return got;
}

// Whether reading can be inside a number at position p of `text`: not right after whitespace,
// nor between a digit and a byte that is no digit, nor at the end.
bool inside_a_number(const std::string& text, size_t p) {
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (p == 0 || p == text.size()) return false;
  return !space(text[p - 1]) && !(digit(text[p - 1]) && !digit(text[p]));
}

// Bytes with runs of whitespace and of other bytes (NUL among them) of any length up to `longest`.
std::string random_bytes(std::mt19937_64& rng, size_t size, size_t longest) {
  const char others[] = {'1', '-', '9', 'x', '\0', '+'};
  const char spaces[] = " \t\n\v\f\r";
  std::string text;
  while (text.size() < size) {
    const bool space = rng() % 2 == 0;
    text.append(1 + rng() % longest, space ? spaces[rng() % 6] : others[rng() % 6]);
  }
  return text;
}

TEST(ChunkRange, ChunksSplitTheSourceWhereNoNumberIsCut) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; ++round) {
    const size_t longest = round % 3 == 0 ? 2000 : 1 + rng() % 12;
    const std::string text = random_bytes(rng, rng() % 5000, longest);
    const size_t chunk_size = 1 + rng() % 600;
    memory_source source(text, 1 + rng() % 400);
    SCOPED_TRACE("round " + std::to_string(round) + ", chunks of " + std::to_string(chunk_size));
    std::string joined;
    uint64_t index = 0;
    for (;; ++index) {
      const lent_chunk c = lend_chunk(source, chunk_size, index);
      ASSERT_EQ(c.last_count, 0);
      // Each chunk begins and ends where reading is not inside a number.
      if (!c.bytes.empty()) {
        EXPECT_FALSE(inside_a_number(text, joined.size()));
        EXPECT_FALSE(inside_a_number(text, joined.size() + c.bytes.size()));
      }
      joined += c.bytes;
      if (c.reached_end) break;
      ASSERT_LE(index * chunk_size, text.size() + chunk_size);
    }
    EXPECT_TRUE(joined == text);
    // A chunk that begins past the end is empty.
    const lent_chunk beyond = lend_chunk(source, chunk_size, text.size() / chunk_size + 1);
    EXPECT_TRUE(beyond.bytes.empty() && beyond.reached_end);
  }
}

TEST(ChunkRange, AChunkWithinOneLongNumberIsEmpty) {
  const std::string text = "1 " + std::string(100, '5') + " 2";
  memory_source source(text);
  EXPECT_EQ(lend_chunk(source, 10, 0).bytes, "1 " + std::string(100, '5'));
  for (uint64_t index = 1; index <= 9; ++index) {
    const lent_chunk c = lend_chunk(source, 10, index);
    EXPECT_TRUE(c.bytes.empty() && !c.reached_end) << index;
  }
  const lent_chunk last = lend_chunk(source, 10, 10);
  EXPECT_EQ(last.bytes, " 2");
  EXPECT_TRUE(last.reached_end);
}

// Serves nothing: every read fails.
class broken_source : public byte_source {
 public:
  long read(char*, size_t) override { return -1; }
  bool positional() const override { return true; }
  long read_at(char*, size_t, uint64_t) override { return -1; }
};

TEST(ChunkRange, NumbersWithoutWhitespaceBetweenThemAreSplitBetweenDigitAndSign) {
  // Read one after another, "1-2-3" is 1, -2 and -3: chunks end after each digit.
  memory_source source("1-2-3");
  EXPECT_EQ(lend_chunk(source, 1, 0).bytes, "1");
  EXPECT_EQ(lend_chunk(source, 1, 1).bytes, "-2");
  EXPECT_EQ(lend_chunk(source, 1, 2).bytes, "");
  EXPECT_EQ(lend_chunk(source, 1, 3).bytes, "-3");
}

TEST(ChunkRange, AReadErrorIsLentAsAnError) {
  broken_source source;
  EXPECT_EQ(lend_chunk(source, 64, 3).last_count, -1);
}

}  // namespace

#include "reconstruction/value_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/reference_reader.h"

namespace {

constexpr size_t whole = static_cast<size_t>(-1);
constexpr size_t mib = value_reader::chunk_size;

// Reads all of `source` with `capacity` values per read() call, checking the read() contract on
// the way.
read_result read_checked(byte_source& source, parse_path path, size_t capacity) {
  checked_read r = read_all(source, path, capacity);
  EXPECT_TRUE(r.contract_kept) << "a short read before stopping, or a value after";
  return r.result;
}

read_result fast_read(std::string_view text, parse_path path, size_t piece, size_t capacity) {
  memory_source source(text, piece);
  return read_checked(source, path, capacity);
}

std::string describe(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 80)) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += "0123456789abcdef"[c >> 4];
      out += "0123456789abcdef"[c & 15];
    }
  }
  if (text.size() > 80) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

// True when the fast reader extracts `expected` from `text`; reports the first difference
// otherwise.
::testing::AssertionResult reads_as(std::string_view text, const read_result& expected,
                                    parse_path path, size_t piece, size_t capacity) {
  const read_result got = fast_read(text, path, piece, capacity);
  if (got.outcome == expected.outcome && got.values == expected.values)
    return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  failure << "text \"" << describe(text) << "\" piece " << piece << " capacity " << capacity
          << ": outcome " << static_cast<int>(got.outcome) << " expected "
          << static_cast<int>(expected.outcome) << ", " << got.values.size() << " values expected "
          << expected.values.size();
  auto diff = std::mismatch(got.values.begin(), got.values.end(), expected.values.begin(),
                            expected.values.end());
  if (diff.first != got.values.end() && diff.second != expected.values.end())
    failure << "; value " << (diff.first - got.values.begin()) << " is " << *diff.first
            << " expected " << *diff.second;
  return failure;
}

// True when the fast reader and the reference agree.
::testing::AssertionResult matches_reference(std::string_view text, parse_path path, size_t piece,
                                             size_t capacity) {
  return reads_as(text, reference_read(text), path, piece, capacity);
}

// Tokens that have to come out as std::istream reads them, wherever they fall.
const std::vector<std::string> edge_tokens = {
    "0",
    "7",
    "-0",
    "+7",
    "-7",
    "4095",
    "-4095",
    "12345",
    "0004095",
    "2147483647",
    "-2147483648",
    "2147483648",
    "-2147483649",
    "4294967296",
    "9999999999",
    "10000000000",
    "-00000000002147483648",
    "18446744073709551617",
    "123456789012345678901234567890",
    "000000000000000000000000000000123",
    "--1",
    "-",
    "+",
    "+-1",
    "- 1",
    "12abc",
    "12-3",
    "1+2-3",
    "abc",
    std::string("1 \0 2", 5),
    std::string(1, '\0'),
    "1\x80",
    "\xff 1",
    "\xb0",
    "1\t2\n3\v4\f5\r6 7",
    "\t\n\v\f\r ",
};

class ValueReaderPath : public ::testing::TestWithParam<parse_path> {
 protected:
  void SetUp() override {
    if (!parse_path_available(GetParam()))
      GTEST_SKIP() << parse_path_name(GetParam()) << " is not available on this processor";
  }
  parse_path path() const { return GetParam(); }
};

TEST_P(ValueReaderPath, EdgeTokensAloneInAnyPiecesAndCapacities) {
  for (const std::string& token : edge_tokens)
    for (std::string text : {token, token + " ", " " + token + "\n"})
      for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, whole})
        for (size_t capacity : {size_t{1}, size_t{3}, size_t{16}, size_t{1000}})
          EXPECT_TRUE(matches_reference(text, path(), piece, capacity));
}

TEST_P(ValueReaderPath, EdgeTokensAtEveryOffsetOfAWindow) {
  // Short numbers before the token fill the SIMD windows; the token moves through two of them.
  const std::string filler = "1 22 333 4444 -5 +66 0 ";
  for (const std::string& token : edge_tokens)
    for (size_t offset = 0; offset < 140; ++offset) {
      std::string text;
      while (text.size() < offset) text += filler;
      text.resize(offset);
      if (!text.empty()) text.back() = ' ';
      text += token;
      for (size_t piece : {size_t{13}, size_t{64}, whole}) {
        EXPECT_TRUE(matches_reference(text, path(), piece, 1000));
        EXPECT_TRUE(matches_reference(text + " 8 99\n", path(), piece, 1000));
      }
    }
}

TEST_P(ValueReaderPath, TokensCutByTheOneMebibyteChunkBoundary) {
  // The token starts `before` bytes ahead of the first chunk's end, after a run of "100 ".
  const std::vector<std::string> tokens = {
      "1234", "-1234", "2147483647", "-2147483648", "21474836470",
      "-",    "+5",    "--5",        "7",           std::string(40, ' ') + "9",
      "12ab"};
  for (const std::string& token : tokens)
    for (size_t before : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{20}}) {
      const size_t hundreds = (mib - before - 1) / 4;
      std::string text;
      for (size_t i = 0; i < hundreds; ++i) text += "100 ";
      text.append(mib - before - text.size(), ' ');
      for (std::string tail : {token, token + " 42\n", token + "\n\n"}) {
        // The reference reads only the tail: the run before it is known.
        read_result expected = reference_read(tail);
        expected.values.insert(expected.values.begin(), hundreds, 100);
        EXPECT_TRUE(reads_as(text + tail, expected, path(), whole, 4096));
      }
    }
}

TEST_P(ValueReaderPath, DigitRunsSpanningManyChunks) {
  const std::string zeros(3 * mib, '0');
  EXPECT_TRUE(matches_reference(zeros, path(), whole, 64));
  EXPECT_TRUE(matches_reference("5 " + zeros + "42 6", path(), whole, 64));
  EXPECT_TRUE(matches_reference("-" + zeros + "2147483648 1", path(), whole, 64));
  EXPECT_TRUE(matches_reference("-" + zeros + "2147483649 1", path(), whole, 64));
  EXPECT_TRUE(matches_reference("1 " + std::string(2 * mib, '9') + " 1", path(), whole, 64));
  EXPECT_TRUE(matches_reference("1 " + std::string(mib + 3, ' ') + "-3", path(), whole, 64));
  EXPECT_TRUE(matches_reference(zeros + "17", path(), 4096, 64));
}

// A text of mostly valid rows, with runs of any whitespace, numbers of any length and sign, and
// sometimes a token that stops the reader near the end.
std::string random_text(std::mt19937_64& rng, size_t tokens) {
  const char spaces[] = " \t\n\v\f\r";
  const std::vector<std::string> stoppers = {
      "x", "-", "+", "--2", "99999999999", "-2147483649", std::string(1, '\0'), "\x90"};
  std::string text;
  auto pick = [&](uint64_t n) { return rng() % n; };
  for (size_t i = 0; i < tokens; ++i) {
    uint64_t kind = pick(100);
    if (kind < 3)
      text += "+-"[pick(2)];
    else if (kind < 15)
      text += '-';
    if (kind < 70) {
      text += std::to_string(pick(4096));
    } else if (kind < 80) {
      text += std::string(pick(12), '0') + std::to_string(pick(100));
    } else {
      text += std::to_string(rng() % 2147483648u);
    }
    uint64_t gap = pick(100);
    if (gap < 80)
      text += ' ';
    else if (gap < 90)
      text += '\n';
    else
      text += std::string(1 + pick(70), spaces[pick(6)]);
  }
  if (pick(2) == 0) text += stoppers[pick(stoppers.size())] + " 1 2";
  return text;
}

TEST_P(ValueReaderPath, RandomTextsInRandomPieces) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_text(rng, 1 + rng() % 5000);
    const size_t piece = rng() % 4 == 0 ? whole : 1 + rng() % 300;
    const size_t capacity = 1 + rng() % 100;
    EXPECT_TRUE(matches_reference(text, path(), piece, capacity)) << "round " << round;
  }
}

// Every value the parallel reader hands out, and why it stopped, checking its contract.
read_result read_in_chunks(byte_source& source, parse_path path, size_t chunk_size) {
  checked_read r = read_all_in_chunks(source, path, chunk_size);
  EXPECT_TRUE(r.contract_kept) << "a count that differs from the values, or a value after";
  return r.result;
}

TEST_P(ValueReaderPath, RandomTextsParsedInChunksOnTwoThreads) {
  // Chunks from a byte up, read by offset in short pieces; some tokens run over several chunks
  // and past the margin read beyond a chunk.
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 120; ++round) {
    std::string text = random_text(rng, 1 + rng() % 3000);
    if (round % 4 == 0) {
      const size_t at = rng() % text.size();
      text = text.substr(0, at) + " " + std::string(rng() % 2000, '0') + "7 " + text.substr(at);
    }
    // Numbers with no whitespace between them: "12-34" is 12 and -34.
    if (round % 3 == 1) std::erase_if(text, [&](char c) { return c == ' ' && rng() % 2 == 0; });
    memory_source source(text, 1 + rng() % 700);
    const size_t chunk = round % 8 == 0 ? 1 + rng() % 4 : 1 + rng() % 900;
    const read_result got = read_in_chunks(source, path(), chunk);
    const read_result expected = reference_read(text);
    EXPECT_TRUE(got.values == expected.values && got.outcome == expected.outcome)
        << "round " << round << ", chunks of " << chunk << ": " << describe(text);
  }
}

TEST_P(ValueReaderPath, ChunksHoldTheDensestText) {
  // One-digit values with single spaces, or with no whitespace at all ("1-1-1" is 1, -1, -1), are
  // the most a chunk can hold.
  std::string spaced, unspaced = "1";
  for (int i = 0; i < 5000; ++i) spaced += i % 2 ? "7 " : "8\n";
  for (int i = 1; i < 5000; ++i) unspaced += "-1";
  for (const std::string& text : {spaced, unspaced}) {
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{64}, size_t{1001}}) {
      memory_source source(text);
      const read_result got = read_in_chunks(source, path(), chunk);
      EXPECT_EQ(got.values.size(), 5000u) << chunk;
      EXPECT_EQ(got.outcome, read_outcome::end_of_input) << chunk;
    }
  }
}

// Serves `text` in pieces, then reports an I/O error.
class failing_source : public byte_source {
 public:
  explicit failing_source(std::string_view text) : text_(text, 5) {}
  long read(char* buffer, size_t size) override {
    long n = text_.read(buffer, size);
    return n > 0 ? n : -1;
  }

 private:
  memory_source text_;
};

TEST_P(ValueReaderPath, ReadErrorStopsAfterTheCompleteValues) {
  for (auto [text, values] : std::vector<std::pair<std::string, std::vector<int32_t>>>{
           {"", {}},
           {"1 22 333", {1, 22}},
           {"1 22 333 ", {1, 22, 333}},
           {"-1 -", {-1}},
           {std::string(100, ' ') + "4095\n" + std::string(70, '7'), {4095}}}) {
    failing_source source(text);
    read_result got = read_checked(source, path(), 7);
    EXPECT_EQ(got.outcome, read_outcome::read_error) << text;
    EXPECT_EQ(got.values, values) << text;
  }
}

// Serves a text by offset in pieces, but fails for any byte from `fail_at` on.
class failing_at_source : public byte_source {
 public:
  failing_at_source(std::string_view text, size_t fail_at) : text_(text, 5), fail_at_(fail_at) {}
  long read(char*, size_t) override { return -1; }
  bool positional() const override { return true; }
  long read_at(char* buffer, size_t size, uint64_t offset) override {
    if (offset + size > fail_at_) return -1;
    return text_.read_at(buffer, size, offset);
  }

 private:
  memory_source text_;
  size_t fail_at_;
};

TEST_P(ValueReaderPath, AReadErrorStopsTheChunkedReadingAfterEarlierChunksValues) {
  std::string text;
  for (int i = 0; i < 400; ++i) text += std::to_string(i) + ' ';
  const read_result all = reference_read(text);
  for (size_t fail_at : {size_t{0}, size_t{500}, text.size() - 3}) {
    failing_at_source source(text, fail_at);
    const read_result got = read_in_chunks(source, path(), 100);
    EXPECT_EQ(got.outcome, read_outcome::read_error) << fail_at;
    // What came before the failing chunk, at most what lies before the failure.
    ASSERT_LE(got.values.size(), all.values.size());
    EXPECT_TRUE(std::equal(got.values.begin(), got.values.end(), all.values.begin()));
    EXPECT_LE(got.values.size() * 4, fail_at + 4) << fail_at;
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, ValueReaderPath,
                         ::testing::Values(parse_path::scalar, parse_path::avx2,
                                           parse_path::avx512),
                         [](const auto& param_info) { return parse_path_name(param_info.param); });

TEST(ParsePath, BestIsAvailableAndScalarAlwaysIs) {
  EXPECT_TRUE(parse_path_available(parse_path::scalar));
  EXPECT_TRUE(parse_path_available(best_parse_path()));
  memory_source source("1");
  EXPECT_EQ(value_reader(source).path(), best_parse_path());
}

TEST(ParsePath, AnUnavailablePathIsRefused) {
  memory_source source("1");
  EXPECT_THROW(value_reader(source, static_cast<parse_path>(7)), std::invalid_argument);
}

}  // namespace

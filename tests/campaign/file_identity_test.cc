// A recording's content hash: the same whether taken from the file by itself or from the bytes
// its analysis read, whole files and files whose reading stops early alike.

#include "results/file_identity.h"

#include <gtest/gtest.h>

#include <string>

#include "campaign/campaign_support.h"
#include "campaign/run/recording_analysis.h"

namespace {

found_recording found(const std::string& path, const std::string& chip) {
  return {path, {chip, "20mV_delay-all"}};
}

TEST(ContentHash, PiecesGiveTheHashOfTheWholeAndDifferentBytesAnother) {
  temp_dir d;
  std::string text;
  for (int i = 0; i < 300000; ++i) text += std::to_string(i % 977) + (i % 32 == 31 ? "\n" : " ");
  write_file(d / "a.txt", text);
  content_hasher pieces;
  for (size_t at = 0; at < text.size(); at += 4093)
    pieces.add(text.data() + at, std::min<size_t>(4093, text.size() - at));
  EXPECT_EQ(pieces.bytes(), text.size());
  EXPECT_EQ(std::optional<std::string>(pieces.hex()), content_hash(d / "a.txt"));
  EXPECT_EQ(pieces.hex().size(), 16u);
  text[text.size() / 2] = text[text.size() / 2] == '1' ? '2' : '1';
  write_file(d / "b.txt", text);
  EXPECT_NE(content_hash(d / "b.txt"), content_hash(d / "a.txt"));
  content_hasher nothing;
  write_file(d / "empty.txt", "");
  EXPECT_EQ(std::optional<std::string>(nothing.hex()), content_hash(d / "empty.txt"));
  EXPECT_EQ(content_hash(d / "missing.txt"), std::nullopt);
}

TEST(ContentHash, AnAnalysisStoresTheFilesHashWhetherItReadItAllOrStoppedEarly) {
  temp_dir d;
  const std::string good = d / bench_name("100000"), junk = d / bench_name("100001"),
                    empty = d / bench_name("100002");
  write_sim(good, 40, 1);
  std::string text = read_file(good).value();
  // Reading stops at the text in the middle: the rest of the file is never parsed.
  write_file(junk, text.substr(0, text.size() / 2) + " junk " + text.substr(text.size() / 2));
  write_file(empty, "");
  for (const auto& [path, chip] :
       {std::pair{good, "100000"}, {junk, "100001"}, {empty, "100002"}}) {
    recording_record r = analyse_recording(found(path, chip), "test");
    EXPECT_EQ(r.hash, content_hash(path)) << path;
    EXPECT_TRUE(r.hash.has_value()) << path;
  }
}

}  // namespace

#include "campaign/model/recording_name.h"

#include <gtest/gtest.h>

#include "campaign/run/manifest.h"
#include "support/tool_run.h"

TEST(RecordingName, ChipAndConfigurationComeFromTheBenchName) {
  name_reading r =
      read_recording_name("/data/x/123510_korvi100000_dessel00_link00_20mV_delay-all_adc.txt");
  EXPECT_EQ(r.reason, "");
  EXPECT_EQ(r.identity.chip, "100000");
  EXPECT_EQ(r.identity.config, "20mV_delay-all");
  // A configuration may itself hold underscores and digits.
  r = read_recording_name("7_korviA7_dessel12_link3_4mV_delay_all_2_adc.txt");
  EXPECT_EQ(r.identity.chip, "A7");
  EXPECT_EQ(r.identity.config, "4mV_delay_all_2");
}

TEST(RecordingName, NamesWithoutChipOrConfigurationSayWhatIsMissing) {
  const std::pair<const char*, const char*> cases[] = {
      {"123510_korvi1_dessel00_link00_20mV_adc.csv", "the name does not end in _adc.txt"},
      {"_adc.txt", "the name does not end in _adc.txt"},
      {"x123_korvi1_dessel00_link00_20mV_adc.txt",
       "the name does not begin with a time of digits and \"_\""},
      {"123_chip1_dessel00_link00_20mV_adc.txt", "no \"_korvi<chip>_\" after the time"},
      {"123_korvi_dessel00_link00_20mV_adc.txt", "no chip after \"korvi\""},
      {"123_korvi1_dessel0a_link00_20mV_adc.txt", "no \"_dessel<NN>_link<NN>_\" after the chip"},
      {"123_korvi1_dessel00_20mV_adc.txt", "no \"_dessel<NN>_link<NN>_\" after the chip"},
      {"123_korvi1_dessel00_link00__adc.txt", "no configuration before \"_adc.txt\""},
  };
  for (auto [name, reason] : cases) EXPECT_EQ(read_recording_name(name).reason, reason) << name;
}

TEST(Manifest, LinesGiveChipConfigurationAndAPathThatMayHoldBlanks) {
  temp_dir d;
  ASSERT_TRUE(write_file(d / "m.txt",
                         "# chip config path\n\n 7  4mV_delay-all  odd name (1).txt \n"
                         "8 20mV /abs/path.txt\n"));
  std::vector<manifest_entry> e;
  std::string error;
  ASSERT_TRUE(read_manifest(d / "m.txt", e, error)) << error;
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].chip, "7");
  EXPECT_EQ(e[0].config, "4mV_delay-all");
  EXPECT_EQ(e[0].path, d / "odd name (1).txt");
  EXPECT_EQ(e[1].path, "/abs/path.txt");
}

TEST(Manifest, ALineWithoutPathOrAMissingFileIsRefused) {
  temp_dir d;
  ASSERT_TRUE(write_file(d / "m.txt", "7 20mV a.txt\n8 20mV\n"));
  std::vector<manifest_entry> e;
  std::string error;
  EXPECT_FALSE(read_manifest(d / "m.txt", e, error));
  EXPECT_EQ(error, "manifest " + (d / "m.txt") + " line 2: expected \"chip config path\"");
  EXPECT_FALSE(read_manifest(d / "none.txt", e, error));
  EXPECT_EQ(error, "cannot read manifest " + (d / "none.txt"));
}

// varnel-campaign export: the CSV holds what the logs say, one row per recording and channel.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "campaign/campaign_support.h"

namespace {

std::vector<std::string> split_csv_line(const std::string& line, char separator = ',') {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back().push_back('"');
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == separator && !quoted) {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string two_decimals(const std::string& v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", std::stod(v));
  return text;
}

}  // namespace

TEST(CampaignExport, RowsCarryTheLogsValuesAndFailedRecordingsKeepOneRow) {
  temp_dir d;
  std::filesystem::create_directory(d / "a,b");
  // Channel 5 clips at the ADC's ceiling: its clipped points are usable but left out of the fit.
  write_sim(d / ("a,b/" + bench_name("100000")), 40, 1,
            [](simulation_options& o) { o.channels[5].amplitude = 5000.0; });
  write_file(d / ("a,b/" + bench_name("100001")), "garbage\n");
  campaign({"run", "a,b"}, d.path());
  program_run r = campaign({"export", "--csv", "out.csv"}, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = lines_of(read_file(d / "out.csv").value());
  ASSERT_EQ(lines.size(), 1u + 32u + 1u);
  EXPECT_EQ(lines[0],
            "path,chip,config,status,message,channel,rise_time,rise_time_err,amplitude,"
            "amplitude_err,time_stamp,time_stamp_err,chi2,ndf,usable_points,fitted_points,"
            "converged,verdict,noise,misfit,pedestal,headroom,common_mode_noise,window_gap_events,"
            "looks_like,own_misfit,other_misfit,flag,reason,chip_verdict,current");
  std::vector<std::string> log =
      lines_of(read_file(d / "a,b/rise_time_korvi100000_20mV_delay-all.log").value());
  // The columns the log lacks, as the database holds them.
  std::vector<std::string> stored =
      query(d / "campaign.sqlite",
            "SELECT ndf, usable_points, fitted_points, converged, verdict, chi2, noise, misfit, "
            "pedestal, headroom FROM channels ORDER BY channel");
  ASSERT_EQ(stored.size(), 32u);
  ASSERT_NE(stored[5].find("|saturated|"), std::string::npos) << stored[5];
  const std::vector<std::string> recording = split_csv_line(
      query(d / "campaign.sqlite",
            "SELECT window_gap_events, looks_like, common_mode_noise FROM recordings WHERE chip = "
            "'100000'")
          .at(0),
      '|');
  for (int ch = 0; ch < 32; ++ch) {
    std::vector<std::string> f = split_csv_line(lines[1 + ch]);
    ASSERT_EQ(f.size(), 31u);
    EXPECT_EQ(f[0], d / ("a,b/" + bench_name("100000")));
    EXPECT_EQ(f[5], std::to_string(ch));
    std::vector<std::string> db = split_csv_line(stored[ch], '|');
    EXPECT_EQ(std::vector<std::string>(f.begin() + 13, f.begin() + 18),
              std::vector<std::string>(db.begin(), db.begin() + 5))
        << "channel " << ch;
    for (auto [csv, column] : {std::pair{f[12], db[5]},
                               {f[18], db[6]},
                               {f[19], db[7]},
                               {f[20], db[8]},
                               {f[21], db[9]}}) {
      if (csv.empty() || column.empty())
        EXPECT_EQ(csv, column) << "channel " << ch;
      else
        EXPECT_NEAR(std::stod(csv), std::stod(column), 1e-12 * std::abs(std::stod(column)));
    }
    EXPECT_EQ(std::vector<std::string>(f.begin() + 23, f.begin() + 25),
              std::vector<std::string>(recording.begin(), recording.begin() + 2));
    if (f[22].empty() || recording[2].empty())
      EXPECT_EQ(f[22], recording[2]);
    else
      EXPECT_NEAR(std::stod(f[22]), std::stod(recording[2]), 1e-9);
    std::istringstream row(log[1 + ch]);
    std::string number, value, pm, err;
    row >> number;
    for (int q = 0; q < 3; ++q) {
      row >> value >> pm >> err;
      EXPECT_EQ(two_decimals(f[6 + 2 * q]), value) << "channel " << ch << " quantity " << q;
      EXPECT_EQ(two_decimals(f[7 + 2 * q]), err) << "channel " << ch << " quantity " << q;
    }
  }
  std::string failed = "\"";
  failed.append(d / ("a,b/" + bench_name("100001")))
      .append(
          "\",100001,20mV_delay-all,1,\"Corrupt data, likely due to connection "
          "problems.\",,,,,,,,,,,,,,,,,,");
  EXPECT_EQ(lines[33].rfind(failed, 0), 0u) << lines[33];
  EXPECT_TRUE(lines[33].ends_with(",,,retest,1")) << lines[33];
  EXPECT_EQ(split_csv_line(lines[33]).size(), 31u);
}

TEST(CampaignExport, AMissingDatabaseIsNotCreated) {
  temp_dir d;
  program_run r = campaign({"export", "--csv", "out.csv"}, d.path());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "varnel-campaign: cannot use database campaign.sqlite: no such file\n");
  EXPECT_TRUE(tree(d.path()).empty());
}

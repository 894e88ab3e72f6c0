// ingest trusts nothing: a result is stored only when it describes the recording it names.

#include "campaign/run/result_ingest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "campaign/campaign_support.h"
#include "results/run_json.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A failure record names its recording as the run was given it; the recording is taken from the
// record's folder, and the log it would have had is the one of that path.
TEST(ResultIngest, FailureRecordIsAFailedRunOfTheRecordingBesideIt) {
  temp_dir d;
  const std::string name = bench_name("100002");
  ASSERT_TRUE(write_file(d / name, "1 2 3\n"));
  ASSERT_TRUE(write_file(d / "r.json",
                         failure_json_text("100002", "20mV_delay-all", "elsewhere/" + name, 1,
                                           {"Corrupt data, likely due to connection problems."},
                                           {6, "0000000000000000"})));
  recording_record r;
  std::string error;
  EXPECT_FALSE(read_result(d / "r.json", "test", {}, r, error));
  EXPECT_EQ(error, "its recording's content hash differs from that of " + (d / name));
  // The same record with the recording's real hash.
  json j = json::parse(read_file(d / "r.json").value());
  j["content_hash"] = content_hash(d / name).value();
  ASSERT_TRUE(write_file(d / "r.json", j.dump()));
  ASSERT_TRUE(read_result(d / "r.json", "test", {}, r, error)) << error;
  EXPECT_EQ(r.path, d / name);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.message, "Corrupt data, likely due to connection problems.");
  EXPECT_EQ(r.log_path, d / "rise_time_korvi100002_20mV_delay-all.log");
  EXPECT_EQ(r.size, 6);
  EXPECT_EQ(r.hash, content_hash(d / name));
  EXPECT_TRUE(r.fits.empty());
}

// A campaign of two chips whose results varnel-plot made; the genuine ones ingested.
class ForgedResults : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(d / "data");
    fs::create_directory(d / "forged");
    paths = write_campaign(d / "data", 2, 20);
    for (size_t i = 0; i < paths.size(); ++i) {
      program_run r =
          run_program({VARNEL_PLOT_EXE, std::to_string(100000 + i), "20mV_delay-all", paths[i]});
      ASSERT_EQ(r.status, 0) << r.err;
      results.push_back(json::parse(read_file(json_of(paths[i])).value()));
    }
    ASSERT_EQ(campaign({"ingest", "data"}, d.path()).status, 0);
    stored = stored_rows();
    verdicts = campaign({"verdicts"}, d.path()).out;
  }

  static std::string json_of(const std::string& recording) {
    fs::path p(recording);
    std::string chip = p.filename().string().substr(12, 6);
    return (p.parent_path() / ("rise_time_korvi" + chip + "_20mV_delay-all.json")).string();
  }

  std::vector<std::string> stored_rows() const {
    return query(d / "campaign.sqlite",
                 "SELECT path, chip, config, status, size, content_hash, analysed_at, "
                 "(SELECT count(*) FROM channels WHERE recording_id = id) FROM recordings");
  }

  // Ingests chip 100000's result as `forge` changes it; the reason it was refused.
  std::string refused(const std::function<void(json&)>& forge) {
    json j = results[0];
    forge(j);
    const std::string file = d / "forged/result.json";
    EXPECT_TRUE(write_file(file, j.dump()));
    program_run r = campaign({"ingest", file}, d.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(stored_rows(), stored) << "a refused result changed the database";
    const std::string lead = "skipped " + file + ": ";
    EXPECT_EQ(r.err.substr(0, lead.size()), lead) << r.err;
    return r.err.substr(std::min(r.err.size(), lead.size()));
  }

  temp_dir d;
  std::vector<std::string> paths;
  std::vector<json> results;
  std::vector<std::string> stored;
  std::string verdicts;
};

TEST_F(ForgedResults, ResultsThatDoNotDescribeTheirRecordingAreRefused) {
  EXPECT_EQ(refused([](json& j) { j["channels"] = json::array(); }),
            "0 channels where a result has 32\n");
  EXPECT_EQ(
      refused([](json& j) { j["channels"].erase(j["channels"].begin() + 5, j["channels"].end()); }),
      "5 channels where a result has 32\n");
  EXPECT_EQ(refused([](json& j) {
              json extra = j["channels"][31];
              extra["channel"] = 32;
              j["channels"].push_back(extra);
            }),
            "33 channels where a result has 32\n");
  // The other chip's recording with this chip's numbers, once under each name.
  const std::string other = paths[1];
  EXPECT_EQ(refused([&](json& j) { j["input"] = other; }),
            "chip \"100000\" where its recording is of chip \"100001\"\n");
  EXPECT_EQ(refused([&](json& j) {
              j["input"] = other;
              j["chipstring"] = "100001";
              j["size"] = fs::file_size(other);
            }),
            "its recording's content hash differs from that of " + other + "\n");
  EXPECT_EQ(refused([](json& j) { j["config"]["name"] = "4mV_delay-all"; }),
            "configuration \"4mV_delay-all\" where its recording is of \"20mV_delay-all\"\n");
  EXPECT_EQ(refused([](json& j) { j["input"] = "/etc/passwd"; }),
            "its recording /etc/passwd is not named like one\n");
  const std::string gone = d / ("forged/" + bench_name("100009"));
  EXPECT_EQ(refused([&](json& j) { j["input"] = gone; }),
            "its recording " + gone + " does not exist\n");
  fs::create_directory(d / ("forged/" + bench_name("100000")));
  EXPECT_EQ(
      refused([&](json& j) { j["input"] = d / ("forged/" + bench_name("100000")); }),
      "its recording " + (d / ("forged/" + bench_name("100000"))) + " is not a regular file\n");
  EXPECT_NE(refused([](json& j) { j["size"] = j["size"].get<int64_t>() + 1; }).find("size is"),
            std::string::npos);
  EXPECT_EQ(refused([](json& j) { j.erase("content_hash"); }),
            "it carries no size and content hash of its recording (a result of an earlier "
            "build)\n");
  EXPECT_EQ(campaign({"verdicts"}, d.path()).out, verdicts);
}

TEST_F(ForgedResults, NumbersOutOfTheirRangeAreRefusedNotWrapped) {
  const std::string range = " is not a whole number from ";
  auto refused_field = [&](const std::function<void(json&)>& forge) {
    std::string why = refused(forge);
    EXPECT_NE(why.find(range), std::string::npos) << why;
    return why.substr(0, why.find(range));
  };
  EXPECT_EQ(refused_field([](json& j) { j["events_completed"] = -1; }),
            "not a result: events_completed");
  EXPECT_EQ(
      refused_field([](json& j) { j["events_completed"] = json::parse("1180591620717411303424"); }),
      "not a result: events_completed");
  EXPECT_EQ(refused_field([](json& j) { j["status"] = int64_t{1} << 40; }), "not a result: status");
  EXPECT_EQ(refused_field([](json& j) { j["channels"][3]["ndf"] = 1e30; }), "not a result: ndf");
  EXPECT_EQ(refused_field([](json& j) { j["channels"][3]["usable_points"] = 2.5; }),
            "not a result: usable_points");
  EXPECT_EQ(refused([](json& j) { j["status"] = 2; }), "status 2 (a run ends with 0 or 1)\n");
  EXPECT_EQ(refused([](json& j) { std::swap(j["channels"][3], j["channels"][4]); }),
            "not a result: channel 3 is numbered 4\n");
  EXPECT_EQ(campaign({"verdicts"}, d.path()).out, verdicts);
}

// A result is matched to its recording by content: an edited recording no longer has one, and a
// later run analyses it again instead of keeping the ingested numbers.
TEST_F(ForgedResults, AnEditedRecordingLosesItsResult) {
  write_sim(paths[0], 20, 77);
  EXPECT_EQ(refused([](json&) {}).rfind("its recording's ", 0), 0u);
  program_run r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.out.substr(0, r.out.find(';')), "2 recordings: 1 analysed, 0 failed, 1 unchanged");
}

}  // namespace

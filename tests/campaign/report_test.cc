// The report's data in-process: the cause each planted defect is filed under, which chips can
// be opened, the page with every part of its skeleton filled and its data complete, and each
// channel's gain and noise when the injected amplitudes are known.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "campaign/campaign_support.h"
#include "campaign/judge/failure_cause.h"
#include "campaign/judge/reason_text.h"
#include "campaign/report/campaign_report.h"
#include "campaign/report/report_totals.h"
#include "tools/campaign_simulator.h"

namespace {

const std::string config = "20mV_delay-all";

struct judged {
  std::vector<stored_recording> recordings;
  std::vector<chip_verdict> verdicts;
};

// A simulated campaign of `chips` chips with every planted defect, run and judged by the
// default rule.
judged simulated(const temp_dir& d, int chips) {
  write_simulated_campaign(d / "data", chips, 20, config, true);
  campaign({"run", "data"}, d.path());
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "campaign.sqlite", error);
  judged j;
  if (!db || !db->load_recordings(j.recordings, error)) ADD_FAILURE() << error;
  j.verdicts = judge_campaign(j.recordings, acceptance_limits{}).verdicts;
  return j;
}

// The JSON between `<script type="application/json" id="ID">` and its end.
nlohmann::json embedded_json(const std::string& html, const std::string& id) {
  std::string open = "<script type=\"application/json\" id=\"" + id + "\">";
  size_t from = html.find(open);
  if (from == std::string::npos) return nullptr;
  from += open.size();
  return nlohmann::json::parse(html.substr(from, html.find("</script>", from) - from));
}

}  // namespace

TEST(CampaignReport, EveryPlantedDefectIsFiledUnderItsCause) {
  temp_dir d;
  judged j = simulated(d, 24);
  const std::map<std::string, std::string> cause_of_chip = {{"100001", "dead channel"},
                                                            {"100003", "time stamp"},
                                                            {"100004", "rise time"},
                                                            {"100005", "amplitude"},
                                                            {"100006", "noise"},
                                                            {"100008", "damaged recording"},
                                                            {"100009", "damaged recording"},
                                                            {"100010", "too few events"},
                                                            {"100011", "wrong configuration"},
                                                            {"100013", "time stamp"},
                                                            {"100014", "dead channel"},
                                                            {"100015", "noise"},
                                                            {"100000", ""},
                                                            {"100012", ""}};
  std::map<std::string, std::string> found;
  for (const chip_verdict& v : j.verdicts) found[v.chip] = failure_cause(v);
  for (const auto& [chip, cause] : cause_of_chip) EXPECT_EQ(found[chip], cause) << chip;
  // A failing verdict always has a cause, and only those that fail or need a retest have one.
  for (const chip_verdict& v : j.verdicts)
    EXPECT_EQ(failure_cause(v).empty(),
              v.outcome == chip_outcome::pass || v.outcome == chip_outcome::not_judged)
        << v.chip;
}

TEST(CampaignReport, ALargeCampaignOpensItsFailingChipsAndTheOneAskedForASmallOneEvery) {
  std::vector<chip_verdict> verdicts;
  for (int i = 0; i < 200; ++i) {
    chip_verdict v;
    v.chip = std::to_string(100000 + i);
    v.config = config;
    v.outcome = i % 50 == 1   ? chip_outcome::fail
                : i % 50 == 2 ? chip_outcome::retest
                : i % 50 == 3 ? chip_outcome::not_judged
                              : chip_outcome::pass;
    v.recording_id = i == 4 ? 0 : 1000 + i;  // chip 100004 has no recording judged
    verdicts.push_back(v);
  }
  EXPECT_EQ(openable_recordings(verdicts, "100100"),
            (std::vector<int64_t>{1001, 1002, 1051, 1052, 1100, 1101, 1102, 1151, 1152}));
  EXPECT_EQ(pulses_note(verdicts), "");
  // Beyond max_pulse_chips failing chips, the first ones by chip, and the page says so.
  std::vector<chip_verdict> failing = verdicts;
  for (chip_verdict& v : failing)
    if (v.chip >= "100150") v.outcome = chip_outcome::fail;
  std::vector<int64_t> capped = openable_recordings(failing, "100199");
  ASSERT_EQ(capped.size(), max_pulse_chips + 1);
  EXPECT_EQ(capped[6], 1150);  // after chips 100001, 100002, 100051, 100052, 100101, 100102
  EXPECT_EQ(capped.back(), 1199);
  EXPECT_EQ(pulses_note(failing),
            "This report carries the pulses of the first 12 of the 56 chips that fail or need a "
            "retest, to stay small; varnel-campaign serve shows every chip's.");
  verdicts.resize(open_every_chip_up_to);
  std::vector<int64_t> every = openable_recordings(verdicts, "");
  EXPECT_EQ(every.size(), open_every_chip_up_to - 1);
  EXPECT_EQ(every.front(), 1000);
}

TEST(CampaignReport, ThePageFillsItsSkeletonAndCarriesEveryVerdictAndTheOpenedPulses) {
  temp_dir d;
  judged j = simulated(d, 16);
  report_input in;
  in.title = "a </script> campaign";
  in.rule = "the rule";
  in.vega = "<script>var vega = {};</script>";
  in.verdicts = j.verdicts;
  in.details[j.verdicts[1].recording_id].points = snapshot_table(32, {{10.0, {1.25, 0.5}}});
  std::string html = report_html(j.recordings, in);
  EXPECT_EQ(html.find("{{"), std::string::npos);
  EXPECT_EQ(html.find("</script> campaign"), std::string::npos);
  EXPECT_NE(html.find("<title>Campaign a &lt;/script&gt; campaign</title>"), std::string::npos);
  nlohmann::json charts = embedded_json(html, "chart-definitions");
  for (const char* chart : {"yield", "pareto", "byday", "heatmap", "distribution", "pulses"})
    EXPECT_TRUE(charts.contains(chart) && charts[chart].contains("marks")) << chart;
  nlohmann::json data = embedded_json(html, "report-data");
  ASSERT_EQ(data["verdicts"].size(), j.verdicts.size());
  const nlohmann::json& dead = data["verdicts"][1];
  EXPECT_EQ(dead["chip"], "100001");
  EXPECT_EQ(dead["outcome"], "fail");
  EXPECT_EQ(dead["cause"], "dead channel");
  EXPECT_EQ(dead["flags"]["13"], channel_reason(j.verdicts[1], 13));
  EXPECT_EQ(dead["day"].get<std::string>().size(), 10u);
  // Only the recording given details can be opened: its 32 fits, and each channel's points
  // as times, amplitudes and errors.
  ASSERT_EQ(data["details"].size(), 1u);
  const nlohmann::json& opened = data["details"][std::to_string(j.verdicts[1].recording_id)];
  EXPECT_EQ(opened["fits"].size(), 32u);
  EXPECT_EQ(opened["fits"][13]["verdict"], "no_pulse");
  // Why: the rule that decided, with its figures; a good channel's figures.
  EXPECT_EQ(opened["fits"][13]["why"].get<std::string>().rfind("Channel 13 shows no pulse: ", 0),
            0u)
      << opened["fits"][13]["why"];
  EXPECT_EQ(opened["fits"][0]["why"].get<std::string>().rfind("significance ", 0), 0u)
      << opened["fits"][0]["why"];
  EXPECT_EQ(opened["points"]["31"], nlohmann::json::parse("[[10.0], [1.3], [0.5]]"));
  // Each channel's misfit as the fraction stored, its pedestal and headroom, and the
  // recording's common-mode noise, as the database holds them.
  const stored_recording* judged = nullptr;
  for (const stored_recording& r : j.recordings)
    if (r.id == j.verdicts[1].recording_id) judged = &r;
  ASSERT_NE(judged, nullptr);
  const channel_fit& first = judged->channels.at(0).fit;
  ASSERT_EQ(opened["fits"][0].size(), 13u);
  EXPECT_NEAR(opened["fits"][0]["misfit"].get<double>(), first.misfit, 1e-5);
  for (auto [name, value] : {std::pair{"pedestal", first.pedestal}, {"headroom", first.headroom}}) {
    if (std::isfinite(value))
      EXPECT_NEAR(opened["fits"][0][name].get<double>(), value, 0.01) << name;
    else
      EXPECT_TRUE(opened["fits"][0][name].is_null()) << name;
  }
  EXPECT_TRUE(opened.contains("common_mode_noise"));
  // The chip retested keeps its aborted try as superseded.
  EXPECT_EQ(data["verdicts"][12]["superseded"].size(), 1u);
}

TEST(CampaignReport, ACampaignOfKnownInjectionsCarriesEachChannelsGainAndNoiseAndItsFlags) {
  temp_dir d;
  write_gain_campaign(d / "data", 18, 20, {"4mV_delay-all", "10mV_delay-all", "20mV_delay-all"},
                      true);
  campaign({"run", "data"}, d.path());
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "campaign.sqlite", error);
  std::vector<stored_recording> recordings;
  ASSERT_TRUE(db && db->load_recordings(recordings, error)) << error;
  report_input in;
  in.verdicts = judge_campaign(recordings, in.limits).verdicts;
  nlohmann::json data = embedded_json(report_html(recordings, in), "report-data");
  EXPECT_EQ(
      data["injections"],
      nlohmann::json::parse(R"({"4mV_delay-all": 4, "10mV_delay-all": 10, "20mV_delay-all": 20})"));
  const nlohmann::json& rows = data["characterisation"];
  // Every chip's 32 channels but those without a pulse: the dead, saturated and stuck ones.
  ASSERT_GT(rows.size(), 17u * 32u - 10u);
  std::map<std::pair<std::string, int>, nlohmann::json> by_channel;
  for (const nlohmann::json& r : rows) by_channel[{r[0], r[1]}] = r;
  EXPECT_EQ(by_channel.count({"100001", 13}), 0u);  // dead
  const nlohmann::json& low = by_channel.at({"100017", 9});
  const nlohmann::json& usual = by_channel.at({"100000", 9});
  // 25 % less gain than the design's, within the chips' 0.5 % spread, and flagged for it.
  EXPECT_NEAR(low[2].get<double>() / usual[2].get<double>(), 0.75, 0.03);
  EXPECT_NE(low[4].get<std::string>().find("gain"), std::string::npos) << low;
  EXPECT_EQ(usual[4], "");
  EXPECT_GT(usual[3].get<double>(), 0.0);
  // The line passes near 0 at 0 mV: its offset is small against the amplitude at 20 mV.
  EXPECT_LT(std::fabs(usual[5].get<double>()), 0.05 * usual[2].get<double>() * 20);
}

namespace {

// A campaign of `chips` chips in three configurations of which every one fails or needs a
// retest: each recording's odd channels show no pulse, and the long reasons of 16 flagged
// channels each make its verdicts as large as a verdict gets.
judged all_failing(int chips) {
  judged j;
  const char* configs[] = {"4mV_delay-all", "10mV_delay-all", "20mV_delay-all"};
  int64_t id = 0;
  for (int chip = 0; chip < chips; ++chip)
    for (const char* c : configs) {
      stored_recording r;
      r.id = ++id;
      r.chip = std::to_string(500000 + chip);
      r.config = c;
      r.path = "chip-" + r.chip + "/" + c + ".txt";
      r.recorded_at = chip % 2 ? "2026-12-08T10:00:00" : "2026-12-09T10:00:00";
      r.current = true;
      r.status = 0;
      r.events_started = r.events_completed = 1000;
      for (int ch = 0; ch < 32; ++ch) {
        stored_channel s;
        s.channel = ch;
        s.fit.verdict = ch % 2 ? fit_verdict::no_pulse : fit_verdict::good;
        s.fit.peak_time = 150.0 + (chip * 7 + ch) % 11;
        s.fit.amplitude = ch % 2 ? 0.0 : 300.0 + (chip * 3 + ch) % 17;
        s.fit.time_stamp = 800.0 + (chip + ch) % 5;
        r.channels.push_back(s);
      }
      j.recordings.push_back(r);
    }
  j.verdicts = judge_campaign(j.recordings, acceptance_limits{}).verdicts;
  return j;
}

}  // namespace

TEST(CampaignReport, ACampaignOfManyFailingChipsStaysUnderTheBoundAndSaysWhatItLeavesOut) {
  const int chips = 1500;
  judged j = all_failing(chips);
  size_t not_passing = 0;
  for (const chip_verdict& v : j.verdicts) not_passing += v.outcome != chip_outcome::pass;
  ASSERT_EQ(not_passing, j.verdicts.size());
  report_input in;
  in.title = "many failing chips";
  in.verdicts = j.verdicts;
  in.opened_chip = "501499";  // carried too, though past the bound by name
  // The pulses of the chips a report opens, each channel's 200 points.
  for (int64_t id : openable_recordings(j.verdicts, in.opened_chip)) {
    snapshot_table& points = in.details[id].points;
    points.assign(32, {});
    for (channel_points& p : points)
      for (int t = 0; t < 200; ++t) p.push_back({t * 2.5, {t * 1.25, 0.5}});
  }
  std::string html = report_html(j.recordings, in);
  EXPECT_LT(html.size(), 10u << 20);
  nlohmann::json data = embedded_json(html, "report-data");
  // Carried: the first chips by name and the one opened, each with its three verdicts and 96
  // cells; the rest counted.
  std::set<std::string> carried;
  for (const nlohmann::json& v : data["verdicts"]) carried.insert(v["chip"].get<std::string>());
  EXPECT_EQ(carried.size(), max_carried_chips + 1);
  EXPECT_EQ(*carried.begin(), "500000");
  EXPECT_EQ(carried.count("501499"), 1u);
  EXPECT_EQ(data["verdicts"].size(), 3 * carried.size());
  EXPECT_EQ(data["cells"]["rows"].size(), 96 * carried.size());
  EXPECT_EQ(data["chips"].size(), carried.size());
  EXPECT_EQ(data["failing"].size(), 3 * carried.size());
  const nlohmann::json& totals = data["totals"];
  EXPECT_EQ(totals["chips"]["tested"], chips);
  EXPECT_EQ(totals["chips"]["fail"].get<int>() + totals["chips"]["retest"].get<int>(), chips);
  EXPECT_EQ(totals["failing"], 3 * chips);
  int per_config = 0;
  for (const auto& [config, n] : totals["per_config"].items())
    for (const auto& [outcome, count] : n.items()) per_config += count.get<int>();
  EXPECT_EQ(per_config, 3 * chips);
  int by_cause = 0;
  for (const nlohmann::json& c : totals["causes"]) by_cause += c["count"].get<int>();
  EXPECT_EQ(by_cause, 3 * chips);
  int by_day = 0;
  for (const nlohmann::json& d : totals["days"]) by_day += d["chips"].get<int>();
  EXPECT_EQ(by_day, 3 * chips);
  EXPECT_NE(data["left_out"].get<std::string>().find("carries 201 of the 1500 chips"),
            std::string::npos)
      << data["left_out"];
  EXPECT_NE(data["left_out"].get<std::string>().find("varnel-campaign serve"), std::string::npos);
}

TEST(CampaignReport, TheTotalsCountTheWholeCampaignAndNameEachCausesFirstChips) {
  temp_dir d;
  judged j = simulated(d, 24);
  report_input in;
  in.verdicts = j.verdicts;
  nlohmann::json data = report_page_data(j.recordings, in);
  EXPECT_EQ(data["left_out"], "");
  const nlohmann::json& totals = data["totals"];
  EXPECT_EQ(totals["config"], config);
  EXPECT_EQ(totals["chips"]["tested"], 24);
  int chips = 0;
  for (const char* o : {"pass", "fail", "retest", "incomplete", "not judged"})
    chips += totals["chips"][o].get<int>();
  EXPECT_EQ(chips, 24);
  const nlohmann::json* dead = nullptr;
  for (const nlohmann::json& c : totals["causes"])
    if (c["cause"] == "dead channel") dead = &c;
  ASSERT_NE(dead, nullptr);
  std::string named;
  int count = 0;
  for (const chip_verdict& v : j.verdicts)
    if (failure_cause(v) == "dead channel") named += (count++ ? ", " : "") + v.chip;
  EXPECT_GE(count, 2);  // 100001 and 100014 at least
  EXPECT_EQ((*dead)["count"], count);
  EXPECT_EQ((*dead)["chips"], named);
  const nlohmann::json& n = totals["per_config"][config];
  EXPECT_EQ(n["pass"].get<int>() + n["fail"].get<int>() + n["retest"].get<int>() +
                n["not judged"].get<int>(),
            static_cast<int>(j.verdicts.size()));
  // Every verdict judged a recording with a day; each day's yield is its passes over its chips.
  int days = 0, passes = 0;
  for (const nlohmann::json& day : totals["days"]) {
    days += day["chips"].get<int>();
    passes += day["pass"].get<int>();
    EXPECT_DOUBLE_EQ(day["yield"].get<double>(),
                     100.0 * day["pass"].get<double>() / day["chips"].get<double>());
  }
  EXPECT_EQ(days, static_cast<int>(j.verdicts.size()));
  EXPECT_EQ(passes, n["pass"].get<int>());
}

TEST(CampaignReport, TheFailingRowsAreEveryVerdictButAPassThenEachRequiredConfigurationAChipLacks) {
  nlohmann::json verdicts = nlohmann::json::parse(R"([
    {"chip": "100000", "config": "A", "outcome": "pass", "flagged": 0, "reasons": []},
    {"chip": "100001", "config": "A", "outcome": "fail", "flagged": 1, "reasons": ["channel 13: no pulse"]},
    {"chip": "100002", "config": "B", "outcome": "retest", "flagged": 0, "reasons": []},
    {"chip": "100003", "config": "B", "outcome": "not judged", "flagged": 0, "reasons": []}])");
  nlohmann::json chips = nlohmann::json::parse(R"([
    {"chip": "100001", "outcome": "fail", "reasons": ["A: channel 13: no pulse"]},
    {"chip": "100002", "outcome": "incomplete", "reasons": ["not tested in A", "not tested in C"]}])");
  std::vector<std::string> rows;
  for (const nlohmann::json& r : failing_rows(verdicts, chips))
    rows.push_back(r["chip"].get<std::string>() + " " + r["config"].get<std::string>() + " " +
                   r["outcome"].get<std::string>() + " " + r["reasons"].dump());
  EXPECT_EQ(rows, (std::vector<std::string>{"100001 A fail [\"channel 13: no pulse\"]",
                                            "100002 B retest []", "100003 B not judged []",
                                            "100002 A incomplete [\"not tested in A\"]",
                                            "100002 C incomplete [\"not tested in C\"]"}));
}

// A channel's fields are declared once: every output carries exactly the table's names, and each
// value reaches every output under its own name, so that no two fields can be crossed unseen.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "campaign/campaign_support.h"
#include "campaign/report/campaign_report.h"
#include "campaign/report/csv_export.h"
#include "campaign/store/campaign_db.h"
#include "campaign/store/campaign_schema.h"
#include "fit/channel_fields.h"
#include "results/plot_run.h"
#include "results/run_json.h"

namespace {

// A fit whose every field holds a value no other field holds: the i-th field 100 + i + 0.25 (or
// 1000 + i), the verdict poor_fit and the replaced one unphysical, the flags apart.
channel_fit distinct_fit(int channel) {
  channel_fit f;
  int i = 0;
  for (const channel_field& field : channel_fields()) {
    ++i;
    if (field.type == field_type::real) set_field_number(field, f, 100.0 * channel + i + 0.25);
    if (field.type == field_type::count) set_field_number(field, f, 1000 + 100 * channel + i);
  }
  f.converged = true, f.minimised = false;
  f.verdict = fit_verdict::poor_fit;
  f.replaced_verdict = fit_verdict::unphysical;
  return f;
}

std::set<std::string> table_names(bool only_exported = false, bool only_shown = false) {
  std::set<std::string> names;
  for (const channel_field& f : channel_fields())
    if ((!only_exported || f.exported) && (!only_shown || f.shown)) names.insert(f.name);
  return names;
}

std::set<std::string> keys(const nlohmann::json& object) {
  std::set<std::string> out;
  for (const auto& [key, value] : object.items()) out.insert(key);
  return out;
}

std::string exact(double v) {
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return std::string(text, end);
}

// The value of `field` in `f` as the CSV writes it.
std::string csv_text(const channel_field& field, const channel_fit& f) {
  if (field.type == field_type::verdict) return std::string(field_verdict_name(field, f));
  if (field.type == field_type::real) return exact(field_number(field, f));
  return std::to_string(static_cast<int64_t>(field_number(field, f)));
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> cells;
  std::istringstream in(line);
  for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
  return cells;
}

recording_record distinct_record(const std::string& path) {
  recording_record r;
  r.path = path, r.chip = "100000", r.config = "20mV_delay-all", r.status = 0;
  r.points = snapshot_table(32);
  for (int ch = 0; ch < 32; ++ch) r.fits.push_back(distinct_fit(ch));
  return r;
}

TEST(FieldTable, EveryNameIsOneFieldAndEachFieldAMemberOfTheFit) {
  std::set<std::string> names = table_names();
  EXPECT_EQ(names.size(), channel_fields().size());
  for (const channel_field& f : channel_fields()) {
    EXPECT_EQ(channel_field_named(f.name), &f);
    EXPECT_TRUE(f.since >= 1 && f.since <= campaign_schema_version) << f.name;
  }
  // Every member of the fit reaches the table: a fit that differs from another in any one
  // field differs in the table's values too.
  channel_fit a = distinct_fit(0), b = a;
  for (const channel_field& field : channel_fields()) {
    b = a;
    if (field.type == field_type::verdict || field.type == field_type::optional_verdict)
      set_field_verdict(field, b, "good", fit_verdict::good);
    else
      set_field_number(field, b, field.type == field_type::flag ? !field_number(field, a) : -7.0);
    EXPECT_FALSE(a == b) << field.name;
  }
}

TEST(FieldTable, TheJsonCarriesExactlyTheTablesNamesAndReadsEachBack) {
  plot_run run;
  run.chipstring = "100000", run.config = "20mV_delay-all", run.adcfilename = "x_adc.txt";
  for (int ch = 0; ch < 32; ++ch) {
    run.fits.push_back(distinct_fit(ch));
    run.points.push_back({});
  }
  nlohmann::json j = run_json(run);
  std::set<std::string> expected = table_names();
  expected.insert({"channel", "note", "points"});
  EXPECT_EQ(keys(j["channels"][0]), expected);
  EXPECT_EQ(j["channels"][3]["rise_time"], 100.0 * 3 + 1 + 0.25);
  std::istringstream in(j.dump());
  stored_run back;
  std::string error;
  ASSERT_TRUE(read_run_json(in, back, error)) << error;
  ASSERT_EQ(back.fits.size(), 32u);
  for (int ch = 0; ch < 32; ++ch) EXPECT_TRUE(back.fits[ch] == run.fits[ch]) << "channel " << ch;
}

TEST(FieldTable, TheDatabaseHasAColumnPerFieldAndTheCsvEachExportedFieldUnderItsName) {
  temp_dir d;
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "c.sqlite", error);
  ASSERT_TRUE(db) << error;
  std::vector<std::string> columns =
      query(d / "c.sqlite", "SELECT name FROM pragma_table_info('channels')");
  EXPECT_EQ(columns, channel_column_names());
  recording_record r = distinct_record(d / "100000_adc.txt");
  ASSERT_TRUE(db->store(r, error)) << error;
  std::vector<stored_recording> loaded;
  ASSERT_TRUE(db->load_recordings(loaded, error)) << error;
  ASSERT_EQ(loaded.size(), 1u);
  for (int ch = 0; ch < 32; ++ch)
    EXPECT_TRUE(loaded[0].channels[ch].fit == r.fits[ch]) << "channel " << ch;
  // Each CSV column named after a field holds that field's value.
  std::istringstream csv(csv_header() + csv_rows(loaded, {}));
  std::string header_line, row_line;
  std::getline(csv, header_line);
  std::vector<std::string> header = split(header_line);
  std::set<std::string> exported;
  for (int ch = 0; ch < 32; ++ch) {
    ASSERT_TRUE(std::getline(csv, row_line));
    std::vector<std::string> row = split(row_line);
    ASSERT_EQ(row.size(), header.size()) << row_line;
    for (size_t i = 0; i < header.size(); ++i)
      if (const channel_field* f = channel_field_named(header[i])) {
        exported.insert(f->name);
        EXPECT_EQ(row[i], csv_text(*f, r.fits[ch])) << header[i] << ", channel " << ch;
      }
  }
  EXPECT_EQ(exported, table_names(true));
}

TEST(FieldTable, TheOpenedChipsDataCarriesTheShownFieldsUnderTheirNames) {
  temp_dir d;
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "c.sqlite", error);
  ASSERT_TRUE(db) << error;
  ASSERT_TRUE(db->store(distinct_record(d / "100000_adc.txt"), error)) << error;
  std::vector<stored_recording> loaded;
  ASSERT_TRUE(db->load_recordings(loaded, error)) << error;
  report_input in;
  in.title = "t", in.rule = "r", in.vega = "<script></script>";
  chip_verdict v;
  v.chip = "100000", v.config = "20mV_delay-all", v.recording_id = loaded[0].id;
  v.outcome = chip_outcome::fail;
  in.verdicts = {v};
  in.details[loaded[0].id].points = snapshot_table(32);
  std::string html = report_html(loaded, in);
  const std::string open = "<script type=\"application/json\" id=\"report-data\">";
  size_t from = html.find(open) + open.size();
  nlohmann::json data =
      nlohmann::json::parse(html.substr(from, html.find("</script>", from) - from));
  const nlohmann::json& fit = data["details"][std::to_string(loaded[0].id)]["fits"][2];
  std::set<std::string> expected = table_names(false, true);
  expected.insert({"channel", "why"});
  EXPECT_EQ(keys(fit), expected);
  for (const channel_field& f : channel_fields()) {
    if (!f.shown || f.type != field_type::real || std::string_view(f.unit) == "fraction") continue;
    EXPECT_NEAR(fit[f.name].get<double>(), field_number(f, distinct_fit(2)), 0.005) << f.name;
  }
  EXPECT_EQ(fit["verdict"], "poor_fit");
}

}  // namespace

#include "plot/run_json.h"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include "fit/channel_fields.h"
#include "fit/fit_messages.h"
#include "fit/fit_verdict.h"

namespace {

using nlohmann::json;

// nlohmann writes NaN as null anyway; doing it here keeps the in-memory document the same as
// what is read back.
json number(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

json config_json(const plot_run& run) {
  return {{"name", run.config},
          {"window_offset", run.parameters.window_offset},
          {"skipped_steps", run.parameters.skipped_steps},
          {"peak_time_guess", number(run.parameters.peak_time_guess)},
          {"delay_steps", delay_steps},
          {"delay_step_ns", number(delay_step_ns)}};
}

json config_check_json(const configuration_check& c) {
  return {{"looks_like", c.looks_like},
          {"own_misfit", number(c.own_misfit)},
          {"other_misfit", number(c.other_misfit)}};
}

json points_json(const channel_points& points) {
  json list = json::array();
  for (const snapshot_point& p : points)
    list.push_back({{"time", number(p.first)},
                    {"amplitude", number(p.second.first)},
                    {"error", number(p.second.second)},
                    {"usable", is_usable(p)}});
  return list;
}

json field_json(const channel_field& field, const channel_fit& f) {
  switch (field.type) {
    case field_type::real:
      return number(f.*field.real);
    case field_type::count:
      return f.*field.count;
    case field_type::flag:
      return f.*field.flag;
    case field_type::verdict:
      return field_verdict_name(field, f);
    case field_type::optional_verdict:
      break;
  }
  const std::string_view name = field_verdict_name(field, f);
  return name.empty() ? json(nullptr) : json(name);
}

json channel_json(int channel, const channel_fit& f, const channel_points& points) {
  json c = {
      {"channel", channel}, {"note", verdict_note(channel, f)}, {"points", points_json(points)}};
  for (const channel_field& field : channel_fields()) c[field.name] = field_json(field, f);
  return c;
}

// Reading back.

double number_at(const json& j, const char* key) {
  const json& v = j.at(key);
  return v.is_null() ? std::numeric_limits<double>::quiet_NaN() : v.get<double>();
}

// A number that results of earlier builds do not have: NaN when absent.
double later_number(const json& j, const char* key) {
  return j.contains(key) ? number_at(j, key) : std::numeric_limits<double>::quiet_NaN();
}

// The verdict stored as the analysis named it; results from before verdicts existed count as
// good, as the analysis then treated every fit.
fit_verdict verdict_at(const json& channel, const char* key) {
  const std::string name = channel.at(key).get<std::string>();
  if (const std::optional<fit_verdict> v = verdict_named(name)) return *v;
  throw std::invalid_argument("unknown verdict \"" + name + "\"");
}

// Sets `field` of `f` from `c`; a field that results of earlier builds lack keeps the value of
// a result without it (NaN for a number, 0, false, good, none).
void read_field(const json& c, const channel_field& field, channel_fit& f) {
  const char* key = field.name;
  if (!c.contains(key)) {
    if (field.type == field_type::real) f.*field.real = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  const json& v = c.at(key);
  switch (field.type) {
    case field_type::real:
      f.*field.real = number_at(c, key);
      break;
    case field_type::count:
      f.*field.count = v.get<int>();
      break;
    case field_type::flag:
      f.*field.flag = v.get<bool>();
      break;
    case field_type::verdict:
      f.*field.verdict = verdict_at(c, key);
      break;
    case field_type::optional_verdict:
      if (!v.is_null()) f.*field.optional_verdict = verdict_at(c, key);
      break;
  }
}

// The results and the points counts are in every result; the rest may be missing from
// earlier builds'. Builds before the keys were named for what they are wrote the rise time as
// "peak_time" and the fit range as "fit_range": [min, max].
channel_fit read_fit(const json& c) {
  channel_fit f;
  for (const channel_field& field : channel_fields()) read_field(c, field, f);
  for (const char* key :
       {"amplitude", "amplitude_err", "time_stamp", "time_stamp_err", "chi2", "ndf"})
    (void)c.at(key);
  if (!c.contains("rise_time")) f.peak_time = number_at(c, "peak_time");
  if (!c.contains("rise_time_err")) f.peak_time_err = number_at(c, "peak_time_err");
  if (c.contains("fit_range")) {
    const json& range = c.at("fit_range");
    f.xmin = range.at(0).is_null() ? 0.0 : range.at(0).get<double>();
    f.xmax = range.at(1).is_null() ? 0.0 : range.at(1).get<double>();
  }
  return f;
}

channel_points read_points(const json& c) {
  channel_points points;
  for (const json& p : c.at("points"))
    points.push_back({number_at(p, "time"), {number_at(p, "amplitude"), number_at(p, "error")}});
  return points;
}

configuration_check read_config_check(const json& j) {
  if (!j.contains("config_check")) return {{}, NAN, NAN};
  const json& c = j.at("config_check");
  return {c.at("looks_like").get<std::string>(), number_at(c, "own_misfit"),
          number_at(c, "other_misfit")};
}

void read_document(const json& j, stored_run& run) {
  run.input = j.at("input").get<std::string>();
  run.chipstring = j.at("chipstring").get<std::string>();
  run.config = j.at("config").at("name").get<std::string>();
  run.status = j.value("status", 0);
  run.message = j.value("message", std::string());
  run.notes = j.value("notes", diagnostics{});
  if (run.status != 0) return;
  run.log_path = j.at("log").get<std::string>();
  run.summary.events_completed = j.at("events_completed").get<int64_t>();
  // Results of builds before these fields count what they lack as 0.
  run.summary.values_read = j.value("values_read", uint64_t{0});
  run.summary.rows_handled = j.value("rows_handled", uint64_t{0});
  run.summary.events_started = j.value("events_started", int64_t{0});
  run.summary.events_in_window = j.value("events_in_window", int64_t{0});
  run.summary.common_mode_noise = later_number(j, "common_mode_noise");
  run.summary.window_gap_events = j.value("window_gap_events", int64_t{0});
  run.summary.reading_end = read_outcome_named(j.value("reading_end", std::string("end_of_input")));
  run.config_check = read_config_check(j);
  for (const json& c : j.at("channels")) {
    run.fits.push_back(read_fit(c));
    run.points.push_back(read_points(c));
  }
}

}  // namespace

json run_json(const plot_run& run) {
  json channels = json::array();
  for (size_t ch = 0; ch < run.fits.size(); ++ch) {
    static const channel_points none;
    const channel_points& pts = ch < run.points.size() ? run.points[ch] : none;
    channels.push_back(channel_json(static_cast<int>(ch), run.fits[ch], pts));
  }
  return {{"input", run.adcfilename},
          {"log", run.log_path},
          {"chipstring", run.chipstring},
          {"config", config_json(run)},
          {"events_completed", run.events_completed},
          {"values_read", run.summary.values_read},
          {"rows_handled", run.summary.rows_handled},
          {"events_started", run.summary.events_started},
          {"events_in_window", run.summary.events_in_window},
          {"common_mode_noise", number(run.summary.common_mode_noise)},
          {"window_gap_events", run.summary.window_gap_events},
          {"reading_end", read_outcome_name(run.summary.reading_end)},
          {"config_check", config_check_json(run.config_check)},
          {"notes", run.notes},
          {"channels", channels}};
}

std::string run_json_text(const plot_run& run) {
  return run_json(run).dump(2) + "\n";
}

json failure_json(const std::string& chipstring, const std::string& config,
                  const std::string& adcfilename, int status, const diagnostics& notes) {
  return {{"input", adcfilename},
          {"chipstring", chipstring},
          {"config", {{"name", config}}},
          {"status", status},
          {"message", notes.empty() ? std::string() : notes.back()},
          {"notes", notes}};
}

std::string failure_json_text(const std::string& chipstring, const std::string& config,
                              const std::string& adcfilename, int status,
                              const diagnostics& notes) {
  return failure_json(chipstring, config, adcfilename, status, notes).dump(2) + "\n";
}

bool read_run_json(std::istream& in, stored_run& run, std::string& error) {
  try {
    read_document(json::parse(in), run);
    return true;
  } catch (const std::exception& e) {
    error = std::string("not a result: ") + e.what();
    return false;
  }
}

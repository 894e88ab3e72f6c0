#include "results/run_json.h"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include "fit/channel_fields.h"
#include "fit/fit_messages.h"
#include "fit/fit_verdict.h"
#include "results/json_text.h"

namespace {

using nlohmann::json;

// nlohmann writes NaN as null anyway; doing it here keeps the in-memory document the same as
// what is read back.
json number(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

json content_json(const recording_content& c, json j) {
  j["size"] = c.size ? json(*c.size) : json(nullptr);
  j["content_hash"] = c.hash ? json(*c.hash) : json(nullptr);
  return j;
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

// A number, NaN for null; one beyond a double's range is refused by name.
double number_at(const json& j, const char* key) {
  const json& v = j.at(key);
  if (v.is_null()) return std::numeric_limits<double>::quiet_NaN();
  const double x = v.get<double>();
  if (!std::isfinite(x)) throw std::invalid_argument(std::string(key) + " is not a finite number");
  return x;
}

// A number that results of earlier builds do not have: NaN when absent.
double later_number(const json& j, const char* key) {
  return j.contains(key) ? number_at(j, key) : std::numeric_limits<double>::quiet_NaN();
}

// The largest count a result may hold: a 32-bit int, as the fit keeps its counts.
constexpr int64_t max_count = std::numeric_limits<int>::max();
// The largest count of values, rows or events: beyond what any recording on a disk holds, yet
// safe to add up.
constexpr int64_t max_total = int64_t{1} << 53;

// The whole number `key` of `j`, refused by name unless it is a JSON integer from `low` to
// `high`: a fraction, 1e30 or 2^70 is never cut or wrapped into range.
int64_t integer_at(const json& j, const char* key, int64_t low, int64_t high) {
  const json& v = j.at(key);
  constexpr uint64_t largest = std::numeric_limits<int64_t>::max();
  const bool whole =
      v.is_number_integer() && (!v.is_number_unsigned() || v.get<uint64_t>() <= largest);
  const int64_t x = whole ? v.get<int64_t>() : 0;
  if (!whole || x < low || x > high)
    throw std::invalid_argument(std::string(key) + " is not a whole number from " +
                                std::to_string(low) + " to " + std::to_string(high));
  return x;
}

int count_at(const json& j, const char* key, int64_t low = 0) {
  return static_cast<int>(integer_at(j, key, low, max_count));
}

// A total of values, rows or events, 0 when a result of an earlier build lacks it.
int64_t later_total(const json& j, const char* key) {
  return j.contains(key) ? integer_at(j, key, 0, max_total) : 0;
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
      // ndf may be negative for a fit of fewer points than parameters.
      f.*field.count = count_at(c, key, std::string_view(key) == "ndf" ? -max_count : 0);
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

// The recording's size and hash; results of builds before them have neither.
recording_content read_content(const json& j) {
  recording_content c;
  if (j.contains("size") && !j.at("size").is_null())
    c.size = integer_at(j, "size", 0, std::numeric_limits<int64_t>::max());
  if (j.contains("content_hash") && !j.at("content_hash").is_null())
    c.hash = j.at("content_hash").get<std::string>();
  return c;
}

void read_document(const json& j, stored_run& run) {
  run.input = j.at("input").get<std::string>();
  run.content = read_content(j);
  run.chipstring = j.at("chipstring").get<std::string>();
  run.config = j.at("config").at("name").get<std::string>();
  run.status = j.contains("status") ? static_cast<int>(integer_at(j, "status", 0, 255)) : 0;
  run.message = j.value("message", std::string());
  run.notes = j.value("notes", diagnostics{});
  if (run.status != 0) return;
  run.log_path = j.at("log").get<std::string>();
  run.summary.events_completed = integer_at(j, "events_completed", 0, max_total);
  // Results of builds before these fields count what they lack as 0.
  run.summary.values_read = static_cast<uint64_t>(later_total(j, "values_read"));
  run.summary.rows_handled = static_cast<uint64_t>(later_total(j, "rows_handled"));
  run.summary.events_started = later_total(j, "events_started");
  run.summary.events_in_window = later_total(j, "events_in_window");
  run.summary.common_mode_noise = later_number(j, "common_mode_noise");
  run.summary.window_gap_events = later_total(j, "window_gap_events");
  run.summary.reading_end = read_outcome_named(j.value("reading_end", std::string("end_of_input")));
  run.config_check = read_config_check(j);
  for (const json& c : j.at("channels")) {
    // Each channel where its number says (results of the earliest builds do not number them).
    if (c.contains("channel") &&
        integer_at(c, "channel", 0, max_count) != static_cast<int64_t>(run.fits.size()))
      throw std::invalid_argument("channel " + std::to_string(run.fits.size()) + " is numbered " +
                                  c.at("channel").dump());
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
  return content_json(run.content, {{"input", run.adcfilename},
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
                                    {"channels", channels}});
}

std::string run_json_text(const plot_run& run) {
  return json_text(run_json(run), 2) + "\n";
}

json failure_json(const std::string& chipstring, const std::string& config,
                  const std::string& adcfilename, int status, const diagnostics& notes,
                  const recording_content& content) {
  return content_json(content, {{"input", adcfilename},
                                {"chipstring", chipstring},
                                {"config", {{"name", config}}},
                                {"status", status},
                                {"message", notes.empty() ? std::string() : notes.back()},
                                {"notes", notes}});
}

std::string failure_json_text(const std::string& chipstring, const std::string& config,
                              const std::string& adcfilename, int status, const diagnostics& notes,
                              const recording_content& content) {
  return json_text(failure_json(chipstring, config, adcfilename, status, notes, content), 2) + "\n";
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

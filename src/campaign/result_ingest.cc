#include "campaign/result_ingest.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "campaign/file_identity.h"
#include "campaign/recording_discovery.h"
#include "driver/run_config.h"
#include "fit/fit_verdict.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

double number(const json& j, const char* key) {
  const json& v = j.at(key);
  return v.is_null() ? std::numeric_limits<double>::quiet_NaN() : v.get<double>();
}

// The verdict stored as the analysis named it; results from before verdicts existed count as
// good, as the analysis then treated every fit.
fit_verdict verdict_of(const json& channel, const char* key = "verdict") {
  if (!channel.contains(key)) return fit_verdict::good;
  const std::string name = channel.at(key).get<std::string>();
  if (const std::optional<fit_verdict> v = verdict_named(name)) return *v;
  throw std::invalid_argument("unknown verdict \"" + name + "\"");
}

// A number that results of earlier builds do not have: NaN when absent.
double later_number(const json& j, const char* key) {
  return j.contains(key) ? number(j, key) : std::numeric_limits<double>::quiet_NaN();
}

int later_count(const json& j, const char* key) {
  return j.contains(key) ? j.at(key).get<int>() : 0;
}

void read_channel(const json& c, recording_record& r) {
  channel_fit f;
  f.peak_time = number(c, "peak_time");
  f.peak_time_err = number(c, "peak_time_err");
  f.amplitude = number(c, "amplitude");
  f.amplitude_err = number(c, "amplitude_err");
  f.time_stamp = number(c, "time_stamp");
  f.time_stamp_err = number(c, "time_stamp_err");
  f.usable_points = c.at("usable_points").get<int>();
  f.fitted_points = c.at("fitted_points").get<int>();
  const json& range = c.at("fit_range");
  f.xmin = range.at(0).is_null() ? 0.0 : range.at(0).get<double>();
  f.xmax = range.at(1).is_null() ? 0.0 : range.at(1).get<double>();
  f.chi2 = number(c, "chi2");
  f.ndf = c.at("ndf").get<int>();
  f.minimised = c.at("minimised").get<bool>();
  f.converged = c.at("converged").get<bool>();
  f.verdict = verdict_of(c);
  f.clipped_points = later_count(c, "clipped_points");
  f.noise = later_number(c, "noise");
  f.significance = later_number(c, "significance");
  f.scatter = later_number(c, "scatter");
  f.seen_height = later_number(c, "seen_height");
  f.pulse_points = later_count(c, "pulse_points");
  f.fits_run = later_count(c, "fits_run");
  if (c.contains("replaced_verdict") && !c.at("replaced_verdict").is_null())
    f.replaced_verdict = verdict_of(c, "replaced_verdict");
  r.fits.push_back(f);
  channel_points points;
  for (const json& p : c.at("points"))
    points.push_back({number(p, "time"), {number(p, "amplitude"), number(p, "error")}});
  r.points.push_back(std::move(points));
}

std::string recording_path(const std::string& json_path, const std::string& input) {
  fs::path in(input);
  if (in.is_absolute()) return in.lexically_normal().string();
  return absolute_path((fs::path(json_path).parent_path() / in.filename()).string());
}

}  // namespace

bool read_result(const std::string& json_path, const std::string& version, recording_record& r,
                 std::string& error) {
  std::ifstream in(json_path);
  if (!in) {
    error = "cannot read it";
    return false;
  }
  try {
    json j = json::parse(in);
    r.path = recording_path(json_path, j.at("input").get<std::string>());
    r.chip = j.at("chipstring").get<std::string>();
    r.config = j.at("config").at("name").get<std::string>();
    r.status = j.value("status", 0) == 0 ? 0 : 1;
    r.message = j.value("message", std::string());
    r.log_path = log_path(r.path, r.chip, r.config);
    r.notes = j.value("notes", std::vector<std::string>{});
    if (r.status == 0) {
      r.log_path = j.at("log").get<std::string>();
      r.summary.events_completed = j.at("events_completed").get<int64_t>();
      // Results of builds before these fields count what they lack as 0.
      r.summary.values_read = j.value("values_read", uint64_t{0});
      r.summary.rows_handled = j.value("rows_handled", uint64_t{0});
      r.summary.events_started = j.value("events_started", int64_t{0});
      for (const json& c : j.at("channels")) read_channel(c, r);
    }
  } catch (const std::exception& e) {
    error = std::string("not a result: ") + e.what();
    return false;
  }
  if (std::optional<file_stamp> st = stamp_of(r.path)) {
    r.size = st->size;
    r.mtime_ns = st->mtime_ns;
    r.hash = content_hash(r.path);
  }
  r.analysed_at = utc_now();
  r.version = version;
  r.source = record_source::ingest;
  return true;
}

std::vector<std::string> find_results(
    const std::vector<std::string>& paths,
    std::vector<std::pair<std::string, std::string>>& unreadable) {
  std::vector<std::string> found;
  for (const std::string& p : paths) {
    std::error_code ec;
    if (!fs::is_directory(p, ec)) {
      found.push_back(p);
      continue;
    }
    fs::recursive_directory_iterator it(p, ec), end;
    for (; !ec && it != end; it.increment(ec))
      if (it->path().extension() == ".json" && !it->is_directory()) found.push_back(it->path());
    if (ec) unreadable.push_back({p, "cannot read the folder: " + ec.message()});
  }
  std::sort(found.begin(), found.end());
  return found;
}

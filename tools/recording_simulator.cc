#include "tools/recording_simulator.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "driver/run_config.h"
#include "fit/shaper_model.h"
#include "reconstruction/recording_format.h"

namespace {

constexpr int pulse_samples = delay_steps * samples_per_step;
// Gap readings stay strictly below the low threshold whatever the noise draws.
constexpr int gap_ceiling = low_threshold - 1;

using chunk_sink = std::function<bool(const char*, size_t)>;

// What one row of the recording holds.
struct row_kind {
  enum { baseline, gap, pulse } what = baseline;
  int sample = 0;  // pulse j * 15 + q, for pulse rows
};

// The noiseless reading of every channel, precomputed once so that the per-row work is only noise,
// rounding and formatting.
struct channel_plan {
  bool saturated = false;
  bool stuck = false;
  bool dead = false;
  double baseline = 0;
  std::array<double, shaper_parameter_count> shape{};  // the model's parameters
  std::array<double, pulse_samples> pulse{};  // baseline + shaper response, by pulse sample
};

// The time of pulse sample `sample` after the first sample of pulse 0's window, ns.
double pulse_sample_time(int sample) {
  const int j = sample / samples_per_step, q = sample % samples_per_step;
  return sampling_period_ns * q - delay_step_ns * j;
}

channel_plan plan_channel(const channel_truth& truth, const std::string& config) {
  channel_plan plan;
  plan.saturated = truth.saturated;
  plan.stuck = truth.stuck;
  plan.dead = truth.dead;
  plan.baseline = truth.baseline;
  if (truth.saturated || truth.stuck) return plan;
  plan.shape = {truth.peak_time, injection_offset(truth, config), truth.baseline,
                truth.dead ? 0.0 : truth.amplitude};
  for (int sample = 0; sample < pulse_samples; ++sample) {
    const double t = pulse_sample_time(sample);
    plan.pulse[sample] = truth.dead ? truth.baseline : Fit_Function(&t, plan.shape.data());
  }
  return plan;
}

int last_event_rows(const simulation_options& o) {
  if (o.cut_last_event_rows >= 0) return o.cut_last_event_rows;
  return std::max(o.gap_spacing, framed_event_rows);
}

row_kind classify_event_row(int k, int gap_rows, const std::string& config) {
  if (k < gap_rows) return {row_kind::gap, 0};
  const int from_first = k - pulse_window_start(config, 0);
  if (from_first < 0 || from_first >= pulse_samples) return {};
  return {row_kind::pulse, from_first};
}

// Appends formatted values to a buffer and hands it to the sink whenever it fills.
class text_writer {
 public:
  text_writer(const chunk_sink& sink, int values_per_line)
      : sink_(sink), values_per_line_(values_per_line), buffer_(new char[capacity]) {}

  void put(int value) {
    if (used_ + max_value_chars > capacity) flush();
    char* end = std::to_chars(buffer_.get() + used_, buffer_.get() + capacity, value).ptr;
    used_ = end - buffer_.get();
    if (++column_ == values_per_line_) {
      buffer_[used_++] = '\n';
      column_ = 0;
    } else {
      buffer_[used_++] = ' ';
    }
  }

  bool finish() {
    if (column_ != 0) buffer_[used_ - 1] = '\n';
    flush();
    return ok_;
  }

 private:
  static constexpr size_t capacity = size_t{1} << 20;
  static constexpr size_t max_value_chars = 16;

  void flush() {
    if (ok_ && used_ > 0) ok_ = sink_(buffer_.get(), used_);
    used_ = 0;
  }

  const chunk_sink& sink_;
  int values_per_line_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  int column_ = 0;
  bool ok_ = true;
};

class row_generator {
 public:
  explicit row_generator(const simulation_options& o)
      : o_(o),
        random_(o.seed),
        // Its own stream, so that jitter leaves the noise's draws as they were.
        jitter_random_(o.seed ^ 0x5851f42d4c957f2dULL),
        noise_(0.0, o.noise > 0 ? o.noise : 1.0),
        jitter_(0.0, o.jitter > 0 ? o.jitter : 1.0),
        rows_(recording_rows(o)) {
    for (int c = 0; c < channel_count; ++c) plans_[c] = plan_channel(o.channels[c], o.config);
  }

  /// Draws the timing jitter of each test pulse of the event that starts now.
  void start_event() {
    for (double& shift : shifts_) shift = o_.jitter > 0 ? jitter_(jitter_random_) : 0.0;
  }

  void write_row(row_kind kind, text_writer& out) {
    const double drift = rows_ > 1 ? o_.drift * static_cast<double>(row_) / (rows_ - 1) : 0.0;
    for (const channel_plan& plan : plans_) out.put(reading(plan, kind, drift));
    ++row_;
  }

 private:
  double noise() { return o_.noise > 0 ? noise_(random_) : 0.0; }

  double pulse_level(const channel_plan& plan, int sample) const {
    const double shift = shifts_[sample / samples_per_step];
    if (shift == 0.0 || plan.dead) return plan.pulse[sample];
    std::array<double, shaper_parameter_count> shape = plan.shape;
    shape[time_stamp_par] += shift;
    const double t = pulse_sample_time(sample);
    return Fit_Function(&t, shape.data());
  }

  int reading(const channel_plan& plan, row_kind kind, double drift) {
    if (plan.saturated) return o_.saturation_level;
    if (plan.stuck) return to_int(plan.baseline);
    if (kind.what == row_kind::gap) {
      return std::min(to_int(o_.gap_level + noise()), std::min(gap_ceiling, o_.saturation_level));
    }
    const double level =
        kind.what == row_kind::pulse ? pulse_level(plan, kind.sample) : plan.baseline;
    return to_int(level + drift + noise());
  }

  int to_int(double value) const {
    const double clipped =
        std::clamp(value, static_cast<double>(INT_MIN), static_cast<double>(o_.saturation_level));
    return static_cast<int>(std::lround(clipped));
  }

  const simulation_options& o_;
  std::mt19937_64 random_, jitter_random_;
  std::normal_distribution<double> noise_, jitter_;
  std::array<channel_plan, channel_count> plans_;
  std::array<double, delay_steps> shifts_{};
  int64_t rows_ = 0, row_ = 0;
};

bool write_rows(const simulation_options& o, const chunk_sink& sink) {
  if (std::string why = validation_error(o); !why.empty()) throw std::invalid_argument(why);
  row_generator rows(o);
  text_writer out(sink, o.values_per_line);
  for (int r = 0; r < o.leading_rows; ++r) rows.write_row({}, out);
  for (int e = 0; e < o.events; ++e) {
    const int length = e + 1 == o.events ? last_event_rows(o) : o.gap_spacing;
    rows.start_event();
    for (int k = 0; k < length; ++k)
      rows.write_row(classify_event_row(k, o.gap_rows, o.config), out);
  }
  return out.finish();
}

bool finite_channel(const channel_truth& c) {
  return std::isfinite(c.baseline) && std::isfinite(c.amplitude) && std::isfinite(c.peak_time) &&
         std::isfinite(c.time_stamp);
}

std::string channel_error(const simulation_options& o) {
  for (int c = 0; c < channel_count; ++c) {
    const channel_truth& ch = o.channels[c];
    const std::string name = "channel " + std::to_string(c);
    if (!finite_channel(ch)) return name + ": parameters must be finite numbers";
    if (!ch.dead && !ch.saturated && !ch.stuck && !(ch.peak_time > 0))
      return name + ": peak time must be > 0";
  }
  return {};
}

std::string format_double(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

}  // namespace

int pulse_window_start(const std::string& config, int j) {
  return choose_run_config(config).first_window_row() + samples_per_step * j;
}

double injection_offset(const channel_truth& channel, const std::string& config) {
  return channel.time_stamp - sampling_period_ns -
         delay_step_ns * choose_run_config(config).skipped_steps;
}

int64_t recording_rows(const simulation_options& o) {
  return int64_t{o.leading_rows} + int64_t{o.events - 1} * o.gap_spacing + last_event_rows(o);
}

std::string validation_error(const simulation_options& o) {
  if (o.events < 1) return "events must be >= 1";
  if (o.gap_spacing < 1) return "gap spacing must be >= 1";
  if (o.gap_rows < 0 || o.gap_rows > o.gap_spacing) return "gap rows must be 0..gap spacing";
  if (o.leading_rows < 0) return "leading rows must be >= 0";
  if (!(o.noise >= 0) || !std::isfinite(o.noise)) return "noise must be a finite number >= 0";
  if (!std::isfinite(o.gap_level)) return "gap level must be a finite number";
  if (!std::isfinite(o.drift)) return "drift must be a finite number";
  if (!(o.jitter >= 0) || !std::isfinite(o.jitter)) return "jitter must be a finite number >= 0";
  if (o.values_per_line < 1) return "values per line must be >= 1";
  return channel_error(o);
}

simulation_options realistic_options(int events, const std::string& config, uint64_t seed) {
  simulation_options o;
  o.events = events;
  o.config = config;
  o.seed = seed;
  // Peak times spread by a tenth around the fit's start value of the configuration.
  const double peak = choose_run_config(config).peak_time_guess, peak_spread = peak / 10;
  // A stream apart from the noise's, so that changing the noise options leaves the channels be.
  std::mt19937_64 random(seed ^ 0x9e3779b97f4a7c15ULL);
  auto uniform = [&random](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
  };
  for (channel_truth& c : o.channels) {
    c.baseline = uniform(60.0, 150.0);
    c.amplitude = uniform(300.0, 800.0);
    c.peak_time = uniform(peak - peak_spread, peak + peak_spread);
    c.time_stamp = uniform(770.0, 830.0);
  }
  return o;
}

void write_recording(const simulation_options& options, std::ostream& out) {
  write_rows(options, [&out](const char* data, size_t size) {
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
  });
}

bool write_recording(const simulation_options& options, std::FILE* out) {
  return write_rows(options, [out](const char* data, size_t size) {
    return std::fwrite(data, 1, size, out) == size;
  });
}

std::string simulate_recording(const simulation_options& options) {
  std::string text;
  write_rows(options, [&text](const char* data, size_t size) {
    text.append(data, size);
    return true;
  });
  return text;
}

void write_truth(const simulation_options& options, std::ostream& out) {
  out << "# channel baseline amplitude peak_time time_stamp dead saturated\n";
  for (int c = 0; c < channel_count; ++c) {
    const channel_truth& ch = options.channels[c];
    out << c << ' ' << format_double(ch.baseline) << ' ' << format_double(ch.amplitude) << ' '
        << format_double(ch.peak_time) << ' ' << format_double(ch.time_stamp) << ' ' << ch.dead
        << ' ' << ch.saturated << '\n';
  }
}

#include "tools/recording_simulator.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "common/number_text.h"
#include "driver/run_config.h"
#include "fit/shaper_model.h"
#include "reconstruction/recording_format.h"
#include "tools/front_end_shape.h"

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
  std::optional<front_end_shape> front_end;            // the shape, unless it is the model's
  std::array<double, pulse_samples> pulse{};  // baseline + shaper response, by pulse sample
};

// The time of pulse sample `sample` after the first sample of pulse 0's window, ns.
double pulse_sample_time(int sample) {
  const int j = sample / samples_per_step, q = sample % samples_per_step;
  return sampling_period_ns * q - delay_step_ns * j;
}

// The reading of `plan`'s pulse at pulse sample time `t` (ns) with its start moved by `shift`.
double pulse_at(const channel_plan& plan, double t, double shift) {
  std::array<double, shaper_parameter_count> shape = plan.shape;
  shape[time_stamp_par] += shift;
  if (!plan.front_end) return Fit_Function(&t, shape.data());
  return shape[baseline_par] + shape[peak_par] * plan.front_end->at(t - shape[time_stamp_par]);
}

// Time after the start that the table of a shape starting at `offset` must reach: the last
// pulse sample, with room for a jitter of 20 sigma.
double longest_since_start(double offset, double jitter) {
  return pulse_sample_time(samples_per_step - 1) - offset + 20 * jitter;
}

channel_plan plan_channel(const channel_truth& truth, const std::string& config, double jitter) {
  channel_plan plan;
  plan.saturated = truth.saturated;
  plan.stuck = truth.stuck;
  plan.dead = truth.dead;
  plan.baseline = truth.baseline;
  if (truth.saturated || truth.stuck) return plan;
  plan.shape = {truth.peak_time, injection_offset(truth, config), truth.baseline,
                truth.dead ? 0.0 : truth.amplitude};
  if (!truth.dead && !has_model_shape(truth))
    plan.front_end.emplace(front_end_shape_parameters{truth.peak_time, truth.order, truth.tail,
                                                      truth.tail_time, truth.injection_rise},
                           longest_since_start(plan.shape[time_stamp_par], jitter));
  for (int sample = 0; sample < pulse_samples; ++sample)
    plan.pulse[sample] = truth.dead ? truth.baseline : pulse_at(plan, pulse_sample_time(sample), 0);
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
        // The shared noise and the wander have a stream of their own too.
        common_random_(o.seed ^ 0xda942042e4dd58b5ULL),
        noise_(0.0, o.noise > 0 ? o.noise : 1.0),
        jitter_(0.0, o.jitter > 0 ? o.jitter : 1.0),
        common_(0.0, o.common_mode > 0 ? o.common_mode : 1.0),
        rows_(recording_rows(o)) {
    for (int c = 0; c < channel_count; ++c)
      plans_[c] = plan_channel(o.channels[c], o.config, o.jitter);
    if (o.wander != 0)
      wander_phase_ =
          std::uniform_real_distribution<double>(0, 2 * std::numbers::pi)(common_random_);
  }

  /// Draws the timing jitter of each test pulse of the event that starts now.
  void start_event() {
    for (double& shift : shifts_) shift = o_.jitter > 0 ? jitter_(jitter_random_) : 0.0;
  }

  void write_row(row_kind kind, text_writer& out) {
    const double shared = baseline_shift();
    for (const channel_plan& plan : plans_) out.put(reading(plan, kind, shared));
    ++row_;
  }

 private:
  double noise() { return o_.noise > 0 ? noise_(random_) : 0.0; }

  // What moves every channel's baseline alike in the current row: the drift, the wander and the
  // common-mode noise, ADC counts.
  double baseline_shift() {
    const double r = static_cast<double>(row_);
    double shift = rows_ > 1 ? o_.drift * r / (rows_ - 1) : 0.0;
    if (o_.wander != 0)
      shift += o_.wander * std::sin(2 * std::numbers::pi * r / o_.wander_period + wander_phase_);
    if (o_.common_mode > 0) shift += common_(common_random_);
    return shift;
  }

  double pulse_level(const channel_plan& plan, int sample) const {
    const double shift = shifts_[sample / samples_per_step];
    if (shift == 0.0 || plan.dead) return plan.pulse[sample];
    return pulse_at(plan, pulse_sample_time(sample), shift);
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
  std::mt19937_64 random_, jitter_random_, common_random_;
  std::normal_distribution<double> noise_, jitter_, common_;
  std::array<channel_plan, channel_count> plans_;
  std::array<double, delay_steps> shifts_{};
  double wander_phase_ = 0;
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
         std::isfinite(c.time_stamp) && std::isfinite(c.order) && std::isfinite(c.tail) &&
         std::isfinite(c.tail_time) && std::isfinite(c.injection_rise);
}

// Why the shape of pulsing channel `ch` cannot be simulated; empty when it can.
std::string shape_error(const channel_truth& ch) {
  if (!(ch.peak_time > 0)) return "peak time must be > 0";
  if (!(ch.order > 0)) return "order must be > 0";
  if (!(ch.tail_time > 0)) return "tail time must be > 0";
  if (!(ch.injection_rise >= 0)) return "injection rise must be >= 0";
  return {};
}

std::string channel_error(const simulation_options& o) {
  for (int c = 0; c < channel_count; ++c) {
    const channel_truth& ch = o.channels[c];
    const std::string name = "channel " + std::to_string(c);
    if (!finite_channel(ch)) return name + ": parameters must be finite numbers";
    if (ch.dead || ch.saturated || ch.stuck) continue;
    if (std::string why = shape_error(ch); !why.empty()) return name + ": " + why;
  }
  return {};
}

}  // namespace

bool has_model_shape(const channel_truth& channel) {
  const channel_truth model;
  return channel.order == model.order && channel.tail == 0 && channel.injection_rise == 0;
}

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
  if (!(o.common_mode >= 0) || !std::isfinite(o.common_mode))
    return "common-mode noise must be a finite number >= 0";
  if (!std::isfinite(o.wander)) return "wander must be a finite number";
  if (!(o.wander_period > 0) || !std::isfinite(o.wander_period))
    return "wander period must be a finite number > 0";
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

namespace {

// Whether the truth file needs the columns and the line of what the fit's model leaves out.
bool departs_from_model(const simulation_options& o) {
  return o.common_mode > 0 || o.wander != 0 ||
         std::any_of(o.channels.begin(), o.channels.end(),
                     [](const channel_truth& c) { return !has_model_shape(c); });
}

}  // namespace

void write_truth(const simulation_options& options, std::ostream& out) {
  const bool front_end = departs_from_model(options);
  out << "# channel baseline amplitude peak_time time_stamp dead saturated"
      << (front_end ? " order tail tail_time injection_rise\n" : "\n");
  if (front_end)
    out << "# jitter " << shortest_text(options.jitter) << " common_mode "
        << shortest_text(options.common_mode) << " wander " << shortest_text(options.wander)
        << " wander_period " << shortest_text(options.wander_period) << '\n';
  for (int c = 0; c < channel_count; ++c) {
    const channel_truth& ch = options.channels[c];
    out << c << ' ' << shortest_text(ch.baseline) << ' ' << shortest_text(ch.amplitude) << ' '
        << shortest_text(ch.peak_time) << ' ' << shortest_text(ch.time_stamp) << ' ' << ch.dead
        << ' ' << ch.saturated;
    if (front_end)
      out << ' ' << shortest_text(ch.order) << ' ' << shortest_text(ch.tail) << ' '
          << shortest_text(ch.tail_time) << ' ' << shortest_text(ch.injection_rise);
    out << '\n';
  }
}

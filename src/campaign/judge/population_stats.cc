#include "campaign/judge/population_stats.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <thread>

#include "campaign/judge/acceptance.h"
#include "numerics/robust_statistics.h"

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
// From this many sound chips on, the quantities' figures are made on two threads.
constexpr size_t parallel_chips = 1000;

std::array<double, channel_count> no_values() {
  std::array<double, channel_count> none;
  none.fill(not_a_number);
  return none;
}

// The middle of the values of `chips` in `column` that the rule compares: finite, and positive
// for a relative quantity.
channel_middle column_middle(const chip_channel_values& chips, size_t column, bool relative) {
  std::vector<double> present;
  for (const auto& row : chips)
    if (double v = row[column]; std::isfinite(v) && (!relative || v > 0)) present.push_back(v);
  return middle_of(std::move(present));
}

// The deviation of `x` from the median of the others of `m`, as robust_deviations_of takes it;
// NaN when `x` is not compared or too few chips are.
double deviation_from(const channel_middle& m, double x, bool relative) {
  if (!std::isfinite(x) || (relative && !(x > 0)) ||
      m.count < static_cast<size_t>(min_robust_chips))
    return not_a_number;
  const double centre = median_without(m, x);
  return relative ? x / centre - 1.0 : x - centre;
}

}  // namespace

int64_t usual_events_of(std::vector<double> events) {
  return events.size() >= 3 ? static_cast<int64_t>(median(std::move(events))) : 0;
}

double measured_value(const stored_channel& c, size_t q) {
  const channel_quantity& quantity = channel_quantities()[q];
  const double v = c.fit.*quantity.value;
  return c.fit.verdict == fit_verdict::good && std::isfinite(v) && (!quantity.relative || v > 0)
             ? v
             : not_a_number;
}

chip_deviations deviations_of(const stored_recording& r, const population_stats& p) {
  chip_deviations out;
  for (auto& row : out.residual) row.fill(not_a_number);
  out.chip_offset.fill(not_a_number);
  out.common_mode = not_a_number;
  if (!p.ready) return out;
  for (size_t q = 0; q < quantity_count; ++q) {
    const channel_quantity& quantity = channel_quantities()[q];
    std::array<double, channel_count> d = no_values();
    for (const stored_channel& c : r.channels)
      if (c.channel >= 0 && c.channel < channel_count) {
        const auto ch = static_cast<size_t>(c.channel);
        d[ch] = deviation_from(p.middles[q][ch], measured_value(c, q), quantity.relative);
      }
    // The chip's offset and its channels beyond it, as two_level_deviations_of takes them.
    std::vector<double> own;
    for (double x : d)
      if (std::isfinite(x)) own.push_back(x);
    double offset = not_a_number;
    if (own.size() >= static_cast<size_t>(min_offset_channels)) offset = median(own);
    out.chip_offset[q] = offset;
    const double judged =
        quantity.upper_only && std::isfinite(offset) ? std::max(offset, 0.0) : offset;
    for (size_t ch = 0; ch < d.size(); ++ch) {
      if (!std::isfinite(d[ch])) continue;
      if (!std::isfinite(offset))
        out.residual[ch][q] = d[ch];
      else
        out.residual[ch][q] =
            quantity.relative ? (1.0 + d[ch]) / (1.0 + judged) - 1.0 : d[ch] - judged;
    }
  }
  out.common_mode = deviation_from(p.common_mode, r.common_mode_noise, false);
  return out;
}

population_member member_of(const stored_recording& r, std::optional<int> min_events) {
  population_member m;
  m.events = r.events_completed;
  m.analysed = r.status == 0;
  m.clean = recording_problems(r, 0, min_events).empty();
  m.common_mode = r.common_mode_noise;
  for (auto& row : m.values) row = no_values();
  if (!m.clean) return m;
  for (const stored_channel& c : r.channels)
    if (c.channel >= 0 && c.channel < channel_count)
      for (size_t q = 0; q < quantity_count; ++q)
        m.values[q][static_cast<size_t>(c.channel)] = measured_value(c, q);
  return m;
}

void population_builder::add(const population_member& m) {
  entries_.push_back({m.events, m.analysed, m.clean});
  if (!m.clean) return;
  if (spill_)
    spilled_.push(m.values);
  else
    for (size_t q = 0; q < quantity_count; ++q) values_[q].push_back(m.values[q]);
  common_mode_.push_back(m.common_mode);
}

void population_builder::merge(population_builder&& other) {
  auto append = [](auto& to, auto& from) {
    to.insert(to.end(), from.begin(), from.end());
    from = {};
  };
  append(entries_, other.entries_);
  for (size_t q = 0; q < quantity_count; ++q) append(values_[q], other.values_[q]);
  spilled_.append(std::move(other.spilled_));
  append(common_mode_, other.common_mode_);
}

two_level_summary population_builder::quantity_summary(size_t q, const std::vector<bool>& sound) {
  const channel_quantity& quantity = channel_quantities()[q];
  if (!spill_) {
    chip_channel_values rows = std::move(values_[q]);
    values_[q] = {};
    return summary_of(two_level_deviations_of(rows, quantity.relative, quantity.upper_only));
  }
  const row_source rows = [&](const std::function<void(const channel_row&)>& visit) {
    spilled_.each_row(q, sound, visit);
  };
  if (std::optional<two_level_summary> s = streamed_two_level(rows, quantity.relative)) return *s;
  // A NaN among the pooled deviations: only the rows held give the median that it makes.
  chip_channel_values held;
  rows([&](const channel_row& row) { held.push_back(row); });
  return summary_of(two_level_deviations_of(held, quantity.relative, quantity.upper_only));
}

population_stats population_builder::finish() {
  population_stats p;
  std::vector<double> events;
  for (const entry& e : entries_)
    if (e.analysed) events.push_back(static_cast<double>(e.events));
  p.usual_events = usual_events_of(std::move(events));
  // A clean recording is sound unless it has too few events for the campaign's usual count.
  std::vector<bool> sound;
  for (const entry& e : entries_) {
    if (!e.clean) continue;
    sound.push_back(
        min_events_ || p.usual_events <= 0 ||
        !(static_cast<double>(e.events) < min_event_share * static_cast<double>(p.usual_events)));
  }
  entries_.clear();
  auto keep_sound = [&](auto& rows) {
    size_t kept = 0;
    for (size_t i = 0; i < rows.size(); ++i)
      if (sound[i]) rows[kept++] = rows[i];
    rows.resize(kept);
  };
  for (chip_channel_values& rows : values_) keep_sound(rows);
  keep_sound(common_mode_);
  p.sound_chips = common_mode_.size();
  p.ready = p.sound_chips >= static_cast<size_t>(min_robust_chips);
  auto quantity_stats = [&](size_t q) {
    const two_level_summary r = quantity_summary(q, sound);
    p.sigma[q] = p.ready ? r.single_sigma : not_a_number;
    p.within_sigma[q] = p.ready ? r.sigma : not_a_number;
    p.chip_sigma[q] = p.ready ? r.chip_sigma : not_a_number;
    p.offset_chips[q] = r.chips;
    // The middles the rule compared each channel's values with.
    p.middles[q] = r.middle;
  };
  // Each quantity's figures are its own: a large population's are shared between two threads,
  // which halves the time a verdict waits for them (a few hundred milliseconds at 10,000 chips).
  std::thread other;
  std::exception_ptr failed;
  if (p.sound_chips >= parallel_chips) {
    other = std::thread([&] {
      try {
        for (size_t q = 1; q < quantity_count; q += 2) quantity_stats(q);
      } catch (...) {
        failed = std::current_exception();
      }
    });
  }
  try {
    for (size_t q = 0; q < quantity_count; q += other.joinable() ? 2 : 1) quantity_stats(q);
  } catch (...) {
    if (other.joinable()) other.join();
    throw;
  }
  if (other.joinable()) other.join();
  if (failed) std::rethrow_exception(failed);
  spilled_ = {};
  chip_channel_values noise(common_mode_.size(), no_values());
  for (size_t i = 0; i < common_mode_.size(); ++i) noise[i][0] = common_mode_[i];
  common_mode_ = {};
  p.common_mode_sigma = p.ready ? robust_deviations_of(noise, false).sigma : not_a_number;
  p.common_mode = column_middle(noise, 0, false);
  return p;
}

population_stats population_members::stats() const {
  population_builder builder(min_events_);
  for (const auto& [chip, m] : by_chip_) builder.add(m);
  return builder.finish();
}

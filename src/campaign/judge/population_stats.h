#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "campaign/judge/channel_quantities.h"
#include "campaign/judge/robust_rule.h"
#include "campaign/judge/spilled_values.h"
#include "campaign/model/stored_recording.h"

// What judging one chip needs of its configuration's population, kept without the population's
// recordings: their robust statistics, made in one pass over them. A verdict then needs only the
// chip's own recording, so that judging one chip of a large campaign, or every chip one at a
// time, holds one recording at once.

/// For each channel and quantity of one recording a number, NaN where there is none.
using deviation_grid = std::array<std::array<double, quantity_count>, channel_count>;

/// What a configuration's current recordings say that judging one of its chips needs.
struct population_stats {
  int64_t usual_events = 0;  ///< median of completed events of the current analysed recordings
                             ///< (0 with fewer than three)
  size_t sound_chips = 0;    ///< current recordings without a problem
  bool ready = false;        ///< at least min_robust_chips sound recordings
  /// The robust standard deviation of the channels' deviations from the other chips, chip
  /// offsets included, pooled over the channels: the one-level spread, from which fixed limits
  /// are derived. NaN while not ready.
  std::array<double, quantity_count> sigma{};
  /// The robust standard deviation of the channels' deviations from their own chip.
  std::array<double, quantity_count> within_sigma{};
  /// The robust standard deviation of the chips' offsets, and the chips that have one.
  std::array<double, quantity_count> chip_sigma{};
  std::array<int, quantity_count> offset_chips{};
  /// By quantity and channel, the middle of the sound chips' measured values.
  std::array<std::array<channel_middle, channel_count>, quantity_count> middles{};
  /// The middle of the sound chips' common-mode noise, ADC counts.
  channel_middle common_mode;
  /// The robust standard deviation of the chips' common-mode noise excesses over the others'.
  double common_mode_sigma = 0.0;
};

/// The usual count of completed events of a configuration whose current analysed recordings
/// completed `events`: their median, 0 with fewer than three.
int64_t usual_events_of(std::vector<double> events);

/// Where one sound chip stands in its configuration's population.
struct chip_deviations {
  /// Each channel's deviation from its own chip once the chip's offset is taken out (see
  /// two_level_deviations::residual); NaN where there is none.
  deviation_grid residual;
  /// The chip's offset in each quantity from the other chips; NaN without one.
  std::array<double, quantity_count> chip_offset;
  /// Its common-mode noise's excess over the other chips' median, ADC counts; NaN without one.
  double common_mode = 0.0;
};

/// The value of quantity `q` of channel `c` that the robust rule compares: NaN unless its fit
/// verdict is good and the value is finite (and positive for a relative quantity).
double measured_value(const stored_channel& c, size_t q);

/// The deviations of `r`, one of the sound recordings `p` was made of, from the others; NaN
/// throughout while `p` is not ready. Exactly what the rule's two levels make of the whole
/// population for this chip.
chip_deviations deviations_of(const stored_recording& r, const population_stats& p);

/// What one current recording gives its configuration's statistics.
struct population_member {
  int64_t events = 0;  ///< completed events
  bool analysed = false;
  bool clean = false;        ///< no problem that does not depend on the population
  double common_mode = 0.0;  ///< ADC counts
  /// By quantity and channel, measured_value; NaN throughout unless clean.
  quantity_rows values{};
};

/// What `r` gives its configuration's statistics under limits asking for `min_events`.
population_member member_of(const stored_recording& r, std::optional<int> min_events);

/// Makes the population_stats of one configuration from its current recordings, added one at a
/// time and not kept: it holds their measured values, quantity_count x channel_count numbers
/// each, until finish().
class population_builder {
 public:
  /// A builder for a configuration whose limits ask for `min_events` (none: the campaign's own
  /// count is the measure). With `spill`, the values wait on a spill_file and the statistics are
  /// made in passes over them: a few megabytes whatever the campaign's size, at several times
  /// the time, and the same statistics to the last bit. Throws std::runtime_error from finish()
  /// when that file cannot be read back.
  explicit population_builder(std::optional<int> min_events, bool spill = false)
      : min_events_(min_events), spill_(spill) {}
  /// Adds the current recording `r` of one chip.
  void add(const stored_recording& r) { add(member_of(r, min_events_)); }
  /// Adds what one chip's current recording gives (member_of under the same limits).
  void add(const population_member& m);
  /// Adds the recordings `other` was given, under the same limits, as if they had been added
  /// here: the statistics do not depend on the order the recordings came in. `other` is empty
  /// afterwards.
  void merge(population_builder&& other);
  /// The statistics of the recordings added; the builder is empty afterwards.
  population_stats finish();

 private:
  struct entry {
    int64_t events = 0;
    bool analysed = false;
    bool clean = false;  // no problem that does not depend on the population
  };
  // The figures of quantity `q` of the sound recordings among the clean ones (`sound`).
  two_level_summary quantity_summary(size_t q, const std::vector<bool>& sound);

  std::optional<int> min_events_;
  bool spill_ = false;
  std::vector<entry> entries_;
  std::array<chip_channel_values, quantity_count> values_;  // rows of the clean recordings
  spilled_values spilled_;                                  // the same, with spill_
  std::vector<double> common_mode_;                         // of the clean recordings
};

/// Every chip's population_member of one configuration, kept so that the statistics after one
/// more result are made from memory rather than from the database: 2.6 kB a chip. The statistics
/// are those a builder makes of the same recordings, whatever the order they came in.
class population_members {
 public:
  /// Members under limits asking for `min_events`.
  explicit population_members(std::optional<int> min_events) : min_events_(min_events) {}
  /// Makes `r` its chip's current recording, in place of the one before.
  void put(const stored_recording& r) { by_chip_[r.chip] = member_of(r, min_events_); }
  /// Adds the members of `other`, made under the same limits, of chips this holds none of;
  /// `other` is empty afterwards.
  void merge(population_members&& other) { by_chip_.merge(other.by_chip_); }
  /// The statistics of the members.
  population_stats stats() const;
  /// The chips held.
  size_t size() const { return by_chip_.size(); }

 private:
  std::optional<int> min_events_;
  std::map<std::string, population_member> by_chip_;
};

#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "campaign/judge/acceptance_limits.h"
#include "campaign/judge/channel_quantities.h"
#include "campaign/judge/population_stats.h"
#include "campaign/judge/robust_rule.h"
#include "campaign/model/stored_recording.h"
#include "fit/fit_verdict.h"

/// A recording with fewer completed events than this share of its configuration's median count
/// is taken as cut short.
inline constexpr double min_event_share = 0.8;

/// ADC counts: common-mode noise this little above the other chips' is never flagged, whatever
/// their spread; it stays below the noise of one channel.
inline constexpr double least_common_mode_excess = 1.0;

/// What the campaign says of one configuration: its statistics, and the recordings they were
/// made of.
struct config_population : population_stats {
  std::vector<const stored_recording*> sound;  ///< current recordings without a problem
};

/// The population of every configuration of `recordings`, by name; `limits` give the events a
/// recording needs.
std::map<std::string, config_population> campaign_populations(
    const std::vector<stored_recording>& recordings, const acceptance_limits& limits);

/// What keeps a recording from supporting a verdict.
enum class problem_kind {
  not_analysed,         ///< the analysis failed
  damaged,              ///< reading stopped early, or the last row is incomplete
  too_few_events,       ///< fewer events than trustworthy errors, the limits or the campaign need
  window_gap,           ///< gaps reach into the first pulse window
  wrong_configuration,  ///< the recording fits another configuration's framing much better
};

/// One problem of a recording, and its words.
struct recording_problem {
  problem_kind kind = problem_kind::damaged;
  std::string words;  ///< e.g. "reading stopped at value 461292: not a number"
};

/// How a channel came to be flagged.
enum class flag_kind {
  verdict,      ///< its fit verdict is not good
  range,        ///< a quantity left its range
  robust,       ///< a quantity lies too far from the campaign's median of its channel
  within_chip,  ///< a quantity lies too far from the other chips' same channel beyond the
                ///< offset of its own chip
  chip_offset,  ///< the whole chip lies too far from the other chips (channel -1)
  invalid,      ///< a figure is not a number, infinite, or not positive where a ratio is taken
};

/// One reason a channel, or the whole chip, is flagged.
struct channel_flag {
  int channel = 0;        ///< 0..31, or -1 for the whole chip
  std::string quantity;   ///< a quantity's name, or "verdict" for the fit verdict
  std::string unit;       ///< the unit the value is shown in
  bool relative = false;  ///< the quantity is compared as a ratio
  flag_kind kind = flag_kind::verdict;
  bool high = false;   ///< the value lies above its limit (else below, or a bad verdict)
  double value = 0.0;  ///< the value shown; for the robust rule's kinds its deviation, in its
                       ///< unit or, for a relative quantity, in %
  /// For flag_kind::range: the range the value left, in `unit`; NaN otherwise.
  quantity_range range{std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::quiet_NaN()};
  /// For the robust rule's kinds: the largest deviation allowed, in the value's unit; NaN
  /// otherwise.
  double most = std::numeric_limits<double>::quiet_NaN();
  fit_verdict verdict = fit_verdict::good;  ///< the fit verdict, for flag_kind::verdict
};

/// How a chip fared in one configuration, or over all of them.
enum class chip_outcome {
  pass,        ///< every channel within its limits
  fail,        ///< more flagged channels than allowed
  retest,      ///< the recording cannot support a verdict
  not_judged,  ///< nothing failed, but some quantities had nothing to be judged by
  incomplete,  ///< (over all configurations) a required configuration was never tested
};

/// The verdict of one chip in one configuration.
struct chip_verdict {
  std::string chip, config;
  chip_outcome outcome = chip_outcome::retest;
  int flagged_channels = 0;
  int max_flagged_channels = 0;
  std::vector<channel_flag> flags;          ///< by channel, the chip's own first
  std::vector<recording_problem> problems;  ///< why it needs a retest
  std::vector<std::string> reasons;         ///< why it failed, needs a retest or was not
                                            ///< judged, grouped as a person would say them
  int64_t recording_id = 0;                 ///< the recording judged (0 when none)
  std::string recording_path;
  std::vector<std::string> superseded;  ///< the chip's other recordings in this configuration
};

/// Every chip's verdicts, and what the limits name that the campaign lacks.
struct campaign_judgement {
  std::vector<chip_verdict> verdicts;  ///< sorted by chip, then configuration
  std::vector<std::string> warnings;   ///< one line each, e.g. a configuration not in the campaign
};

/// "pass", "fail", "retest", "not judged" or "incomplete".
const char* outcome_name(chip_outcome o);

/// The problems of a recording that stop it from supporting a verdict: "not analysed:
/// MESSAGE", "reading stopped at value N: REASON", "last row incomplete (K of 32 values)",
/// "only N events", "N events, the campaign's recordings of CONFIG have M" (fewer than
/// min_event_share of `usual_events`, when that is above 0), "N events, the limits ask for at
/// least M" (`min_events`, when given), "gaps reach into the first pulse window in N of M
/// events" and "this recording looks like CONFIG".
std::vector<recording_problem> recording_problems(const stored_recording& r, int64_t usual_events,
                                                  std::optional<int> min_events);

/// The words of `problems`, in order.
std::vector<std::string> problem_words(const std::vector<recording_problem>& problems);

/// recording_problems of a recording just analysed, before the campaign's usual count of events
/// is known.
std::vector<recording_problem> own_problems(const recording_record& r);

/// The verdict of `current`, the current recording of its chip in its configuration, against
/// `population`, the statistics of that configuration's current recordings, by `limits`: what
/// judge_campaign gives for it, without its superseded recordings.
chip_verdict judge_recording(const stored_recording& current, const population_stats& population,
                             const acceptance_limits& limits);

/// One line for each configuration `limits` names that `configs`, the campaign's, lacks.
std::vector<std::string> limits_warnings(const acceptance_limits& limits,
                                         const std::set<std::string>& configs);

/// Judges the current recording (stored_recording::current) of every chip in every
/// configuration of `recordings` by `limits`: a retest when the recording has a problem, else
/// a fail when more channels are flagged than allowed or the chip as a whole is flagged. A
/// channel is flagged when its fit verdict is not "good", when a figure is not a number (or not
/// positive where a ratio is taken), when a quantity leaves its range, and, for a quantity
/// without a range, by the rule's two levels: the chip's offset (the median over its channels
/// of their deviations from the other chips' same channel) more than k robust standard
/// deviations of the chips' offsets, widened by small_sample_factor, from zero flags the whole
/// chip; a channel more than k robust standard deviations of the channels' deviations from their
/// own chip flags the channel (relative quantities as ratios; noise, misfit and errors only
/// above). Fewer than min_robust_chips chips with sound recordings leave such quantities not
/// judged.
campaign_judgement judge_campaign(const std::vector<stored_recording>& recordings,
                                  const acceptance_limits& limits);

/// How one chip fared over the configurations it must pass.
struct chip_summary {
  std::string chip;
  chip_outcome outcome = chip_outcome::pass;
  /// "CONFIG: REASON; REASON" for each configuration that decided the outcome, or "not tested
  /// in CONFIG" for a missing required one.
  std::vector<std::string> reasons;
};

/// The configurations every chip must pass: the limits' `required`, or else each that more than
/// half of the chips of `verdicts` were judged in.
std::vector<std::string> required_configurations(const std::vector<chip_verdict>& verdicts,
                                                 const acceptance_limits& limits);

/// As above, from the chips judged in each configuration, `chips_in`, of `chips` in all.
std::vector<std::string> required_configurations(const std::map<std::string, size_t>& chips_in,
                                                 size_t chips, const acceptance_limits& limits);

/// One summary per chip of `verdicts` (sorted by chip, then configuration), by chip: fail when
/// it fails in any configuration, else retest when any asks for one, else incomplete when a
/// configuration of `required` has no verdict, else not judged when any was not judged, else
/// pass. A chip passes only when it passes in every required configuration.
std::vector<chip_summary> summarise_chips(const std::vector<chip_verdict>& verdicts,
                                          const std::vector<std::string>& required);

/// The channels `v` flags: every channel when the chip as a whole is flagged.
std::vector<int> flagged_channels(const chip_verdict& v);

/// How the robust rule judges one quantity's deviations.
struct robust_limit {
  double sigma = 0.0;       ///< the pooled robust standard deviation
  double k = 5.0;           ///< standard deviations a value may lie from the others' median
  double least = 0.0;       ///< no distance below this is flagged, whatever sigma
  bool upper_only = false;  ///< only a value above the median is flagged
  flag_kind kind = flag_kind::robust;  ///< what a value beyond the limit is flagged as
};

/// What judge_value judges: a quantity's name, unit, how it is compared and shown.
struct judged_quantity {
  std::string_view name, unit;  ///< texts that outlive the judgement (a quantity table's)
  bool relative = false;
  double scale = 1.0;  ///< the value times this is in `unit`
};

/// One value judge_value judges, and what it is judged by.
struct judged_value {
  int channel = 0;  ///< 0..31, or -1 for the whole chip
  judged_quantity quantity;
  double value = 0.0;                     ///< in the quantity's own unit (before `scale`)
  const quantity_range* range = nullptr;  ///< its range, when it has one
  bool robust = false;                    ///< without a range, judged by the robust rule
  double deviation = std::numeric_limits<double>::quiet_NaN();  ///< its deviation, for that rule
  robust_limit limit;                                           ///< that rule's limit
};

/// Flags `j.value` when it is not a number or infinite, or, for a relative quantity, not
/// positive; when it leaves `j.range` (when given); or else, when `j.robust`, when its deviation
/// lies beyond the larger of `limit.k` times `limit.sigma` and `limit.least`, as `limit.kind`.
/// Adds to `flags`; false when there was nothing to judge by (no range, and no deviation or
/// sigma).
bool judge_value(const judged_value& j, std::vector<channel_flag>& flags);

/// Settles `v`'s outcome from its flags: counts the flagged channels, and fails it with the
/// flags' grouped reasons when more are flagged than allowed or the chip as a whole is flagged;
/// otherwise it is not judged, with `unjudged` as its reasons, when those are not empty, else it
/// passes.
void decide_outcome(chip_verdict& v, const std::vector<std::string>& unjudged);

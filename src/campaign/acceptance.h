#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "campaign/acceptance_limits.h"
#include "campaign/campaign_db.h"
#include "campaign/channel_quantities.h"
#include "campaign/robust_rule.h"

/// A recording with fewer completed events than this share of its configuration's median count
/// is taken as cut short.
inline constexpr double min_event_share = 0.8;

/// For each channel and quantity of one recording: the value's deviation from the median of
/// the other chips' values (a difference, or for a relative quantity a ratio less one); NaN
/// where it was not measured.
using deviation_grid = std::array<std::array<double, quantity_count>, channel_count>;

/// What the campaign says of one configuration.
struct config_population {
  std::vector<const stored_recording*> sound;  ///< current recordings without a problem
  int64_t usual_events = 0;  ///< median of completed events of the current analysed recordings
                             ///< (0 with fewer than three)
  bool ready = false;        ///< at least min_robust_chips sound recordings
  std::map<int64_t, deviation_grid> deviations;  ///< by recording id, for the sound ones
  std::array<double, quantity_count> sigma{};    ///< robust standard deviation of the
                                                 ///< deviations, pooled over the channels
};

/// The population of every configuration of `recordings`, by name; `limits` give the events a
/// recording needs.
std::map<std::string, config_population> campaign_populations(
    const std::vector<stored_recording>& recordings, const acceptance_limits& limits);

/// One reason a channel is flagged.
struct channel_flag {
  int channel = 0;
  std::string quantity;   ///< a quantity's name, or "verdict" for the fit verdict
  std::string unit;       ///< the quantity's unit
  bool relative = false;  ///< the quantity is compared as a ratio
  std::string kind;       ///< "verdict", "range" or "robust"
  bool high = false;      ///< the value lies above its limit (else below, or a bad verdict)
  double value = 0.0;     ///< the value; for "robust" its deviation from the campaign's median,
                          ///< in its unit or, for a relative quantity, in %
  std::string limit;      ///< "good", "140.00 to 175.00" or the robust limit, e.g. "4.87 ns"
  std::string verdict;    ///< the fit verdict's name, for "verdict"
};

/// How a chip fared in one configuration.
enum class chip_outcome {
  pass,        ///< every channel within its limits
  fail,        ///< more flagged channels than allowed
  retest,      ///< the recording cannot support a verdict
  not_judged,  ///< nothing failed, but some quantities had nothing to be judged by
};

/// The verdict of one chip in one configuration.
struct chip_verdict {
  std::string chip, config;
  chip_outcome outcome = chip_outcome::retest;
  int flagged_channels = 0;
  int max_flagged_channels = 0;
  std::vector<channel_flag> flags;   ///< by channel
  std::vector<std::string> reasons;  ///< why it failed, needs a retest or was not judged,
                                     ///< grouped as a person would say them
  int64_t recording_id = 0;          ///< the recording judged (0 when none)
  std::string recording_path;
  std::vector<std::string> superseded;  ///< the chip's other recordings in this configuration
};

/// Every chip's verdicts, and what the limits name that the campaign lacks.
struct campaign_judgement {
  std::vector<chip_verdict> verdicts;  ///< sorted by chip, then configuration
  std::vector<std::string> warnings;   ///< one line each, e.g. a configuration not in the campaign
};

/// "pass", "fail", "retest" or "not judged".
const char* outcome_name(chip_outcome o);

/// The problems of a recording that stop it from supporting a verdict, in words: "not analysed:
/// MESSAGE", "reading stopped at value N: REASON", "last row incomplete (K of 32 values)",
/// "only N events", "N events, the campaign's recordings of CONFIG have M" (fewer than
/// min_event_share of `usual_events`, when that is above 0), "N events, the limits ask for at
/// least M" (`min_events`, when given) and "the configuration looks wrong: ...".
std::vector<std::string> recording_problems(const stored_recording& r, int64_t usual_events,
                                            std::optional<int> min_events);

/// recording_problems of a recording just analysed, before the campaign's usual count of events
/// is known.
std::vector<std::string> own_problems(const recording_record& r);

/// Judges the current recording (stored_recording::current) of every chip in every
/// configuration of `recordings` by `limits`: a retest when the recording has a problem, else
/// a fail when more channels are flagged than allowed. A channel is flagged when its fit verdict
/// is not "good", when a quantity leaves its range, and, for a quantity without a range, when it
/// lies more than k robust standard deviations from the median of the other chips' same channel
/// (relative quantities as a ratio to it; noise and errors only above). The robust standard
/// deviation is pooled over the configuration's channels; a configuration of fewer than
/// min_robust_chips chips with sound recordings leaves such quantities not judged.
campaign_judgement judge_campaign(const std::vector<stored_recording>& recordings,
                                  const acceptance_limits& limits);

/// The rule in force, as sentences.
std::string rule_text(const acceptance_limits& limits);

/// "channel 13", "channels 3, 9", "channels 0-5, 7" or "all 32 channels".
std::string channels_text(const std::vector<int>& channels);

/// One line per verdict: "CHIP CONFIG pass", "CHIP CONFIG fail: REASON; REASON", "CHIP CONFIG
/// retest: REASON" or "CHIP CONFIG not judged: REASON".
std::string verdict_line(const chip_verdict& v);

/// The flags of `channel` in `v`, "; "-separated as in the reasons; "" when it has none.
std::string channel_reason(const chip_verdict& v, int channel);

/// How the robust rule judges one quantity's deviations.
struct robust_limit {
  double sigma = 0.0;       ///< the pooled robust standard deviation
  double k = 5.0;           ///< standard deviations a value may lie from the others' median
  double least = 0.0;       ///< no distance below this is flagged, whatever sigma
  bool upper_only = false;  ///< only a value above the median is flagged
};

/// Flags `value` of quantity `name` (in `unit`, a ratio when `relative`) of `channel` when it
/// leaves `range` (when given), or else, for `robust`, when its deviation `deviation` from the
/// other chips lies beyond the larger of `limit.k` times `limit.sigma` and `limit.least`. Adds
/// to `flags`; false when there was nothing to judge by (no range, and no deviation or sigma).
bool judge_value(int channel, const std::string& name, const std::string& unit, bool relative,
                 double value, const quantity_range* range, bool robust, double deviation,
                 const robust_limit& limit, std::vector<channel_flag>& flags);

/// Settles `v`'s outcome from its flags: counts the flagged channels, and fails it with the
/// flags' grouped reasons when more are flagged than allowed; otherwise it is not judged, with
/// `unjudged` as its reasons, when those are not empty, else it passes.
void decide_outcome(chip_verdict& v, const std::vector<std::string>& unjudged);

/// The reasons of `flags` in words, the channels that share one grouped.
std::vector<std::string> grouped_reasons(const std::vector<channel_flag>& flags);

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "campaign/acceptance_limits.h"
#include "campaign/campaign_db.h"

/// One reason a channel is flagged.
struct channel_failure {
  int channel = 0;
  std::string quantity;  ///< "rise_time", "amplitude", "time_stamp" or "verdict"
  std::string value;     ///< the value as text, or the verdict's name
  std::string limit;     ///< what it had to meet: "140.00 to 175.00", "150.20 +/- 3.10" or "good"
};

/// How a chip fared in one configuration.
enum class chip_outcome { pass, fail, not_analysed };

/// The verdict of one chip in one configuration.
struct chip_verdict {
  std::string chip, config;
  chip_outcome outcome = chip_outcome::not_analysed;
  int flagged_channels = 0;
  int max_flagged_channels = 0;
  std::vector<channel_failure> failures;  ///< by channel, for a failing chip
  std::string reason;                     ///< why it was not analysed
  int64_t recording_id = 0;               ///< the recording judged (0 when none)
  std::string recording_path;
};

/// "pass", "fail" or "not analysed".
const char* outcome_name(chip_outcome o);

/// Judges every chip in every configuration of `recordings` by `limits`. The latest successful
/// recording (by modification time) of a chip and configuration is judged; without one the chip
/// is not analysed there, with the latest failure's message. A channel is flagged when its
/// verdict is not "good" or a value breaks its configuration's range; for a configuration
/// without ranges, when a value lies more than k robust standard deviations (1.4826 x MAD of
/// the channel over the campaign's chips, judged when at least 3 good values exist) from the
/// median. A chip fails with more flagged channels than allowed. Sorted by chip, configuration.
std::vector<chip_verdict> judge_campaign(const std::vector<stored_recording>& recordings,
                                         const acceptance_limits& limits);

/// The rule in force, as sentences for the report.
std::string rule_text(const acceptance_limits& limits);

/// One line per verdict: "CHIP CONFIG pass", "CHIP CONFIG fail: ch 3 rise_time 190.2 (limit
/// 140 to 175); ...", "CHIP CONFIG not analysed: MESSAGE".
std::string verdict_line(const chip_verdict& v);

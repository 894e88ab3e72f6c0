#pragma once

#include <string>

#include "campaign/judge/acceptance.h"

/// The cause a person files a failing or retest verdict under.
enum class chip_cause {
  none,  ///< a pass, or a verdict not judged
  dead_channel,
  saturation,
  bad_fit,  ///< a bad fit verdict, or a misfit beyond its limit
  too_few_events,
  negative_pulse,
  rise_time,
  amplitude,
  time_stamp,
  noise,       ///< a channel's noise, or the chip's common-mode noise
  fit_errors,  ///< a result's error beyond its limit
  pedestal,
  headroom,
  gain,
  nonlinearity,
  noise_mV,
  rise_time_spread,
  time_stamp_spread,
  damaged_recording,
  window_gaps,
  wrong_configuration,
  not_analysed,
  flagged_channels,  ///< a fail whose flags name no cause of their own
};

/// The words of `c` as the report and its CSV show them: "dead channel", "saturation", "bad fit",
/// ..., "gaps in the pulse window"; "" for none.
const char* cause_name(chip_cause c);

/// The cause of `v`: for a retest its first problem's, for a fail the cause most of its flagged
/// channels share (the first such on a tie), none for a pass or a verdict not judged.
chip_cause cause_of(const chip_verdict& v);

/// cause_name(cause_of(v)).
std::string failure_cause(const chip_verdict& v);

#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "campaign/model/recording_record.h"

// A recording as the campaign holds it once stored: what judging, characterisation and the
// report read, whichever database it came from.

/// What a rerun needs to know of a stored recording to skip it without reading it.
struct stored_state {
  std::optional<int64_t> size, mtime_ns;
  std::string version;
  int status = 1;
  bool retry = false;  ///< it failed for a reason outside the recording: analyse it again
};

/// One channel's stored result: the fit result as the analysis made it, verdict and evidence
/// included. Numbers the database holds as NULL come back as NaN.
struct stored_channel {
  int channel = 0;
  channel_fit fit;
};

/// One stored recording with its channels.
struct stored_recording {
  int64_t id = 0;
  std::string path, chip, config;
  std::optional<int64_t> mtime_ns;
  std::string recorded_at;  ///< when it was recorded, "YYYY-MM-DDTHH:MM:SS" (see recorded_time)
  bool current = false;     ///< the recording that counts for its chip and configuration
  int status = 1;
  std::string message, notes, analysed_at, version;
  int64_t events_started = 0, events_completed = 0;
  double common_mode_noise = 0.0;  ///< ADC counts; NaN when not measured (or stored before)
  int64_t window_gap_events = 0;   ///< completed events with a gap in their first pulse window
  uint64_t values_read = 0;        ///< values extracted before reading stopped
  read_outcome reading_end = read_outcome::end_of_input;  ///< how reading ended
  configuration_check config_check;      ///< whether another configuration fits much better
  std::vector<stored_channel> channels;  ///< by channel number
};

/// The shape of a stored campaign, without its results: what the verdicts of some of its chips
/// need of the others.
struct campaign_outline {
  size_t recordings = 0;  ///< every stored recording
  size_t chips = 0;       ///< chips with a current recording
  /// By configuration, the chips with a current recording in it.
  std::map<std::string, size_t> chips_in;
  /// By chip and configuration, the paths of its recordings that are not current, sorted.
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> superseded;
  int64_t latest_id = 0;  ///< the recording stored last (the largest id); 0 when none
  std::string latest_chip, latest_config, latest_analysed_at;  ///< its chip, configuration, time
};

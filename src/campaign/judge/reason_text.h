#pragma once

#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"

// The judgement in words: the flags' reasons, the verdicts' and chips' lines and the rule in
// force. Each sentence is made here from the typed fields of the flags and verdicts.

/// "channel 13", "channels 3, 9", "channels 0-5, 7" or "all 32 channels".
std::string channels_text(const std::vector<int>& channels);

/// The reasons of `flags` in words, the chip's own first, the channels that share one grouped:
/// e.g. "channels 3, 9: amplitude 19.6 % below the other chips, beyond its chip's offset (limit
/// 4.7 %)", "all channels: time_stamp 11.80 ns above the other chips (limit 10.20 ns)",
/// "channel 13: no pulse (fit verdict no_pulse)"; a group whose limits differ says "limit per
/// channel".
std::vector<std::string> grouped_reasons(const std::vector<channel_flag>& flags);

/// The flags of `channel` in `v`, the chip's own included, "; "-separated as in the reasons;
/// "" when it has none.
std::string channel_reason(const chip_verdict& v, int channel);

/// One line per verdict: "CHIP CONFIG pass", "CHIP CONFIG fail: REASON; REASON", "CHIP CONFIG
/// retest: REASON" or "CHIP CONFIG not judged: REASON".
std::string verdict_line(const chip_verdict& v);

/// "CHIP pass", "CHIP fail: CONFIG: REASONS; ...", "CHIP retest: ...", "CHIP incomplete: not
/// tested in CONFIG" or "CHIP not judged: ...".
std::string chip_line(const chip_summary& s);

/// The rule in force, as sentences.
std::string rule_text(const acceptance_limits& limits);

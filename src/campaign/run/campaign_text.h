#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "campaign/model/channel_characterisation.h"
#include "campaign/run/campaign_run.h"
#include "campaign/run/recording_discovery.h"

// The lines varnel-campaign writes on its standard streams.

/// `text` safe to print as part of one line: a backslash becomes `\\`, tab `\t`, line feed `\n`,
/// carriage return `\r`, every other control character (below 0x20, 0x7f, and U+0080 to U+009F
/// in UTF-8) `\xHH` per byte. Every other byte, invalid UTF-8 included, is kept, so a path read
/// back with the escapes undone is the path itself; an escape sequence in a name never reaches
/// the terminal.
std::string escaped(std::string_view text);

/// The progress line, without line end: "[12/200] 1 failed, 3:05 left"; "left" is estimated from
/// the pace so far and shown once one recording is done.
std::string progress_text(const run_progress& p);
/// The line for a path left out: "skipped PATH: REASON".
std::string skipped_line(const skipped_path& s);
/// The line for a recording whose analysis failed: "failed PATH: MESSAGE".
std::string failed_line(const std::string& path, const std::string& message);
/// The line for a recording analysed that cannot support a verdict: "retest PATH: PROBLEM;
/// PROBLEM".
std::string retest_line(const std::string& path, const std::vector<std::string>& problems);
/// The line for a recording left for the next run: "waiting PATH: REASON, left for the next run".
std::string waiting_line(const waiting_recording& w);
/// The run's summary: "N recordings: A analysed, F failed, U unchanged (E failed before),
/// W left for the next run; S skipped; database DB". The parenthesis only when E > 0, the
/// recordings left only when W > 0; N counts them all.
std::string summary_line(const run_tally& t, size_t skipped, const std::string& db_path);

/// The heading of the characterisation table, without line end.
std::string characterisation_heading();
/// One channel's row of the characterisation table, without line end: chip, channel,
/// configurations, gain +/- error, offset, non-linearity, noise in mV (and electrons), the
/// spreads; or the reason there are no figures.
std::string characterisation_row(const channel_characterisation& c);

#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "campaign/judge/population_stats.h"
#include "support/tool_run.h"
#include "tools/recording_simulator.h"

// Simulated campaigns and runs of varnel-campaign on them.

/// The bench's file name of a recording of `chip` in `config`.
std::string bench_name(const std::string& chip, const std::string& config = "20mV_delay-all");

/// Writes a small realistic recording (`events` events, seeded by the chip number) to `path`;
/// `edit` may change its options first.
void write_sim(const std::string& path, int events = 40, uint64_t seed = 1,
               void (*edit)(simulation_options&) = nullptr);

/// Writes `count` recordings of chips 100000, 100001, ... into `folder`; their paths.
std::vector<std::string> write_campaign(const std::string& folder, int count, int events = 40);

/// Runs varnel-campaign with `args` in `cwd`, under `base.prefix` if any, with no settle time
/// unless `base` sets VARNEL_CAMPAIGN_SETTLE.
program_run campaign(std::vector<std::string> args, const std::string& cwd,
                     const run_options& base = {});

/// Chip to the name of the fault planted on it, from `folder`/faults.tsv (its fields split at
/// tabs only, as its paths may hold blanks); empty when the file is missing.
std::map<std::string, std::string> planted_faults(const std::string& folder);

/// The rows of `sql` on the database at `db`, each row's columns joined by "|" (NULL as "").
std::vector<std::string> query(const std::string& db, const std::string& sql);

/// Chip names a hostile tester gives recordings: HTML and script openers, quotes, "%", a tab, a
/// line feed, an escape sequence, bytes that are not UTF-8, spreadsheet formula openers, a negative
/// number and a name of 200 bytes (its recording's file name 251).
std::vector<std::string> hostile_chips();
/// Writes a recording of 20 events for each of hostile_chips() into `folder`, and one into a
/// folder of it with a 250-byte name; their paths.
std::vector<std::string> write_hostile_campaign(const std::string& folder);

/// Whether `a` and `b` hold the same statistics to the last bit (NaN where the other has it too).
bool same_stats(const population_stats& a, const population_stats& b);

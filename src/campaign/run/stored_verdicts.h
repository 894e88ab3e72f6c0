#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/judge/population_stats.h"
#include "campaign/store/campaign_db.h"

// Verdicts straight from the database: each configuration's statistics made in one pass over its
// current recordings and kept while nothing changes, then each chip judged from its own
// recordings, as they are read one at a time or, where the statistics had to be made, from what
// that pass held of them. The verdicts are judge_campaign's, at any size.

/// From this many chips with a recording on, a pass over every chip's current recordings (a
/// configuration's statistics, the whole campaign's verdicts) reads them on two connections at
/// once, the first half of the chips on the caller's thread and the second on a thread of its
/// own: reading and judging are most of a verdict's time, and a second core halves them.
inline constexpr int64_t two_reader_chips = 2000;

/// The statistics of configuration `config`'s current recordings in `db` under `limits`, read in
/// two halves at once from `two_readers_from` chips on, their values kept on a spill file with
/// `spill` (see population_builder); false with `error` when the database fails.
bool load_population(campaign_db& db, const std::string& config, const acceptance_limits& limits,
                     population_stats& out, std::string& error,
                     int64_t two_readers_from = two_reader_chips, bool spill = false);

/// Each configuration's statistics, made when first asked for and kept until the database
/// changes: another connection's commit (its data_version) forgets them all, a result this one
/// stores forgets its configuration's (forget). Statistics a writer saved in the database (save)
/// are taken from there while no result was stored since.
///
/// A cache that keeps members (a long-running watch) also holds each configuration's
/// population_members once it made them, and makes the statistics after one more result of this
/// connection from them (stored), not from the database: at 10,000 chips a tenth of the time,
/// for 2.6 kB a chip.
class population_cache {
 public:
  /// A cache that keeps each configuration's members when `keep_members`.
  explicit population_cache(bool keep_members = false) : keep_members_(keep_members) {}
  /// Forgets configuration `config`'s statistics, after this connection stored a result of it.
  void forget(const std::string& config) { stats_.erase(config); }
  /// After this connection stored a result: `current` is now its chip's current recording in
  /// its configuration, whose statistics are made again when next asked for.
  void stored(const stored_recording& current);
  /// Forgets every configuration's, e.g. when the limits change.
  void clear() {
    stats_.clear();
    members_.clear();
  }
  /// The statistics of every configuration of `configs` under `limits`, made anew where
  /// forgotten; with `members`, a cache that keeps members makes each configuration's now
  /// rather than at its next result. False with `error` when the database fails.
  bool get(campaign_db& db, const std::vector<std::string>& configs,
           const acceptance_limits& limits, std::map<std::string, population_stats>& out,
           std::string& error, bool members = false);
  /// The statistics of configuration `config` under `limits` when they are at hand without
  /// reading its recordings: kept since the database last changed, or saved in it by a writer
  /// since its last result; nothing otherwise, and for a configuration whose members are kept.
  std::optional<population_stats> known(campaign_db& db, const std::string& config,
                                        const acceptance_limits& limits);
  /// Keeps `stats`, made of `config`'s current recordings under `limits` when the database had
  /// stored `generation` results, as get() keeps those it makes.
  void keep(const std::string& config, const acceptance_limits& limits, uint64_t generation,
            const population_stats& stats);
  /// Keeps the statistics made since the last save in `db`'s meta rows, for the commands that
  /// only read; false with `error` on a failure.
  bool save(campaign_db& db, std::string& error);
  /// Reads the whole campaign in two halves at once from `chips` chips on (two_reader_chips
  /// unless set), for its statistics and for judge_stored.
  void two_readers_from(int64_t chips) { two_readers_from_ = chips; }
  /// The number of chips from which the campaign is read in two halves.
  int64_t two_readers_from() const { return two_readers_from_; }
  /// Makes the statistics from values kept on a spill file, not in memory: a command that must
  /// stay within a few tens of megabytes at any campaign size, at several times the time.
  void spill_values(bool on) { spill_values_ = on; }

 private:
  struct kept {
    population_stats stats;
    std::string generation;  // the database's generation before they were made
    std::string min_events;  // the limits' word on the configuration's events, or "-"
    bool saved = false;
  };
  // Forgets what another connection's commit may have outdated.
  void check_version(campaign_db& db);
  // known() without the check of the database's version.
  std::optional<population_stats> at_hand(campaign_db& db, const std::string& config,
                                          const acceptance_limits& limits);
  // Makes configuration `config`'s members from the database; false with `error`.
  bool load_members(campaign_db& db, const std::string& config, const acceptance_limits& limits,
                    std::string& error);

  bool keep_members_ = false;
  int64_t two_readers_from_ = two_reader_chips;
  bool spill_values_ = false;
  std::optional<int64_t> version_;
  std::map<std::string, kept> stats_;
  std::map<std::string, population_members> members_;
};

/// The verdict of `r`, a current recording, by `limits`, with its configuration's statistics
/// from `populations` and its superseded recordings from `outline`.
chip_verdict stored_verdict(const stored_recording& r,
                            const std::map<std::string, population_stats>& populations,
                            const acceptance_limits& limits, const campaign_outline& outline);

/// The names of the configurations of `outline`.
std::vector<std::string> configurations_of(const campaign_outline& outline);

/// Judges the current recordings in `db` of chip `chip` ("" for every chip) by `limits`, with
/// each configuration's statistics from `cache` and the superseded recordings of `outline`, and
/// hands each verdict to `visit` on the caller's thread, ordered by chip and configuration: what
/// judge_campaign gives. Every chip's are read in two halves at once from the cache's
/// two_readers_from() chips on. With each configuration's statistics at hand (population_cache::
/// known) they are judged as they are read, one recording held at a time, the second half's
/// verdicts until the first half's are handed over; otherwise the campaign is read once, one
/// configuration at a time, its recordings held in brief (3 kB each) while its statistics are
/// made from them, and every verdict is handed over at the end. False with `error` when the
/// database fails.
bool judge_stored(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                  const campaign_outline& outline, const std::string& chip,
                  const std::function<void(chip_verdict&&)>& visit, std::string& error);

/// Calls `visit` with each chip's verdicts over the configurations in turn, as judge_stored
/// gives them, chip by chip. False with `error` when the database fails.
bool judge_stored_by_chip(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                          const campaign_outline& outline,
                          const std::function<void(std::vector<chip_verdict>&&)>& visit,
                          std::string& error);

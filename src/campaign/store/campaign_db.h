#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "campaign/model/channel_characterisation.h"
#include "campaign/model/recording_record.h"
#include "campaign/model/stored_recording.h"
#include "campaign/store/retry_policy.h"

class sql_engine;

/// Stores one characterised channel; false when that failed.
using characterisation_sink = std::function<bool(const channel_characterisation&)>;

/// The chips from `first` on and before `past`, in the order of their names; an empty end is
/// open.
struct chip_span {
  std::string first, past;
};

/// An open campaign database: an SQLite file, or a database on a PostgreSQL server that a
/// postgresql:// URI or libpq's keyword form names (see docs/campaign-server.md). Every failure
/// comes back as a one-line message naming the database. On a server, work that meets a passing
/// failure (the server restarting, a deadlock between writers) is tried again, each time as a
/// whole transaction, for the retry policy's budget.
class campaign_db {
 public:
  ~campaign_db();
  campaign_db(campaign_db&&) noexcept;
  campaign_db& operator=(campaign_db&&) = delete;
  campaign_db(const campaign_db&) = delete;

  /// Opens the campaign database `target`, creating it when there is no file or an empty one
  /// (a database on a server without tables). One of an older schema version is upgraded in
  /// place; one that is not a campaign database is refused and left as it was. Nothing, with
  /// the reason in `error`, on any failure.
  static std::optional<campaign_db> open(const std::string& target, std::string& error);

  /// Opens the existing campaign database at `path` for reading only: nothing is created,
  /// upgraded or written, and in a folder this process cannot write to (a read-only mount) the
  /// file is opened as immutable, so that no journal or WAL side file is made there. A missing
  /// file, or one that is not a campaign database of this schema version, is refused. Nothing,
  /// with the reason in `error`, on any failure.
  static std::optional<campaign_db> open_read_only(const std::string& target, std::string& error);

  /// Path to state of every stored recording (of those at `paths` only, when given): the one
  /// this machine stored, else one another machine stored for the same path (a shared folder);
  /// false with `error` on a failure.
  bool load_states(std::map<std::string, stored_state>& states, std::string& error,
                   const std::vector<std::string>* paths = nullptr);
  /// Stores `r` in one transaction as analysed on this machine, replacing what this machine
  /// stored before for its path and what any machine stored for the same file (path, size and
  /// content), and counts up the meta row "generation" (its number of results stored); false
  /// with `error`, and nothing changed, on a failure (e.g. a full disk).
  bool store(const recording_record& r, std::string& error);
  /// Replaces the stored characterisation by `channels` in one transaction; false with `error`,
  /// and nothing changed, on a failure.
  bool store_characterisation(const std::vector<channel_characterisation>& channels,
                              std::string& error);
  /// Replaces the stored characterisation, in one transaction, by the rows `produce` hands to
  /// the sink it is given (which stores each at once and says whether that worked); false with
  /// `error`, and nothing changed, when `produce` or the database fails.
  bool store_characterisation_rows(const std::function<bool(const characterisation_sink&)>& produce,
                                   std::string& error);
  /// As store_characterisation_rows, but replacing only the rows of the chips `chips`.
  bool store_chip_characterisation(const std::vector<std::string>& chips,
                                   const std::function<bool(const characterisation_sink&)>& produce,
                                   std::string& error);
  /// By configuration, the completed events of each current analysed recording; false with
  /// `error` on a failure.
  bool load_current_events(std::map<std::string, std::vector<double>>& events, std::string& error);
  /// Every stored recording with its channels, ordered by chip, configuration and path.
  bool load_recordings(std::vector<stored_recording>& out, std::string& error);
  /// Calls `visit` with each current recording (stored_recording::current) and its channels'
  /// fit verdicts and judged quantities (channel_quantities(), the rest of each fit left as a
  /// default channel_fit has it), of
  /// chip `chip` and configuration `config` (either "" for any), ordered by chip,
  /// configuration and path; one recording is held at a time. Stops early when `visit` returns
  /// false. False with `error` on a failure.
  bool each_current(const std::string& chip, const std::string& config,
                    const std::function<bool(const stored_recording&)>& visit, std::string& error);
  /// As above, for the chips of `chips` instead of one; `visit` may take what it keeps of the
  /// recording it is given, which is read anew for the next.
  bool each_current(const chip_span& chips, const std::string& config,
                    const std::function<bool(stored_recording&)>& visit, std::string& error);
  /// The chip that parts the campaign's chips with a recording in two halves, the first half
  /// before it; nothing with fewer than `min_chips` chips (at least two), or on a failure
  /// (`error` then says why).
  std::optional<std::string> middle_chip(int64_t min_chips, std::string& error);
  /// The campaign's outline: its counts, superseded recordings (of the chips `superseded_of`
  /// only, when given) and the recording stored last; false with `error` on a failure.
  bool load_outline(campaign_outline& out, std::string& error,
                    const std::set<std::string>* superseded_of = nullptr);
  /// The points stored for recording `id`, by channel; false with `error` on a failure.
  bool load_points(int64_t id, snapshot_table& points, std::string& error);
  /// Sets the meta row `key` in its own transaction.
  bool set_meta(const std::string& key, const std::string& value, std::string& error);
  /// The meta row `key`, or nothing.
  std::optional<std::string> meta(const std::string& key);
  /// The results stored in the database since it was made (the meta row "generation"); an upper
  /// bound of its recordings, read without counting them. 0 when none were.
  uint64_t generation();
  /// A number that changes whenever another connection commits to the database (SQLite's
  /// data_version), so that a reader learns cheaply that there is something new; nothing on a
  /// failure.
  std::optional<int64_t> data_version();
  /// The database's path or target as given.
  const std::string& path() const;
  /// The name this machine stores its recordings under (machine_name()).
  const std::string& machine() const { return machine_; }
  /// The engine underneath, for work on whole tables (a copy between engines).
  sql_engine& engine() { return *engine_; }

 private:
  campaign_db(std::unique_ptr<sql_engine> engine, const retry_policy& policy);
  static std::optional<campaign_db> open_as(const std::string& target, bool read_only,
                                            std::string& error);
  // Runs `work`, one whole transaction, again after each passing failure until the policy's
  // budget is spent; false with the reason in `error`.
  bool retried(const std::function<bool()>& work, std::string& error);
  std::unique_ptr<sql_engine> engine_;
  retry_policy policy_;
  std::string machine_;
};

/// The message for an unusable database at `path`: "cannot use database PATH: DETAIL".
std::string database_error(const std::string& path, const std::string& detail);

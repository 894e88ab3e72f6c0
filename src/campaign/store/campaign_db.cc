#include "campaign/store/campaign_db.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "campaign/judge/channel_quantities.h"
#include "campaign/model/recording_name.h"
#include "campaign/store/campaign_schema.h"
#include "campaign/store/machine_name.h"
#include "campaign/store/pg_connection.h"
#include "campaign/store/pg_engine.h"
#include "campaign/store/sqlite_engine.h"
#include "campaign/store/test_hold.h"
#include "fit/channel_fields.h"

namespace {

// The statements below are written once for both engines: `?` parameters, upserts with
// ON CONFLICT and ids with RETURNING, which both speak; sql_engine holds each difference.

bool is_campaign(sql_engine& db) {
  std::unique_ptr<sql_statement> s = db.prepare("SELECT value FROM meta WHERE key = 'schema'");
  return s && s->step() == step_result::row && s->text(0) == campaign_schema_name;
}

// Why the open database is not one of ours, or "" when it is.
std::string schema_problem(sql_engine& db) {
  std::optional<int64_t> version = db.schema_version();
  if (!version) return db.last_error();
  if (!is_campaign(db)) return "it is not a campaign database";
  if (*version != campaign_schema_version)
    return "its schema version is " + std::to_string(*version) + ", this build uses version " +
           std::to_string(campaign_schema_version);
  return {};
}

bool set_meta_row(sql_engine& db, const std::string& key, const std::string& value) {
  std::unique_ptr<sql_statement> s = db.prepare(
      "INSERT INTO meta (key, value) VALUES (?, ?) "
      "ON CONFLICT (key) DO UPDATE SET value = excluded.value");
  if (!s) return false;
  s->bind(1, std::string_view(key));
  s->bind(2, std::string_view(value));
  return s->run();
}

bool set_version(sql_engine& db) {
  return set_meta_row(db, "schema_version", std::to_string(campaign_schema_version)) &&
         db.set_schema_version(campaign_schema_version);
}

bool fill_recorded_at(sql_engine& db) {
  std::unique_ptr<sql_statement> rows = db.prepare("SELECT id, path, mtime_ns FROM recordings");
  std::unique_ptr<sql_statement> update =
      db.prepare("UPDATE recordings SET recorded_at = ? WHERE id = ?");
  if (!rows || !update) return false;
  step_result rc;
  while ((rc = rows->step()) == step_result::row) {
    update->bind(1, std::string_view(recorded_time(rows->text(1), rows->optional_integer(2))));
    update->bind(2, rows->integer(0));
    if (!update->run()) return false;
    update->reset();
  }
  return rc == step_result::done;
}

// The steps from version 1 to 2: the columns, the recordings' times, the characterisation
// and the views.
bool upgrade_1_to_2(sql_engine& db) {
  return db.exec(db.ddl(campaign_upgrade_from_1_sql())) && fill_recorded_at(db) &&
         db.exec(db.ddl(campaign_characterisation_sql)) && db.exec(campaign_views_sql);
}

// Version 4 tells recordings apart by where they were analysed as well as by their path: the
// table is made again without the path's uniqueness, its rows kept, each said to have been
// analysed on `machine`, where its database file lives.
bool upgrade_3_to_4(sql_engine& db, const std::string& machine) {
  std::unique_ptr<sql_statement> columns = db.prepare("SELECT * FROM recordings LIMIT 0");
  if (!columns || columns->step() == step_result::failed) return false;
  std::string list;
  for (int c = 0; c < columns->column_count(); ++c)
    list += (list.empty() ? "" : ", ") + db.identifier(columns->column_name(c));
  columns.reset();
  if (!db.exec(campaign_drop_views_sql) ||
      !db.exec(db.ddl(campaign_recordings_sql("recordings_v4"))))
    return false;
  std::unique_ptr<sql_statement> copy =
      db.prepare("INSERT INTO recordings_v4 (" + list + ", analysed_on) SELECT " + list +
                 ", ? FROM recordings");
  if (!copy) return false;
  copy->bind(1, std::string_view(machine));
  return copy->run() && db.exec("DROP TABLE recordings") &&
         db.exec("ALTER TABLE recordings_v4 RENAME TO recordings") &&
         db.exec(campaign_recordings_indexes_sql) && db.exec(campaign_views_sql);
}

// Brings a database of version `from` (1 to 3) to this version in one transaction, so that a
// failure at any step, or a kill, leaves it a whole database of its version. Another run may
// have upgraded it while this one waited for the lock. Why it failed, or "".
std::string upgrade_from(sql_engine& db, int64_t from, const std::string& machine) {
  if (!db.begin_write(true)) return db.last_error();
  std::optional<int64_t> now = db.schema_version();
  bool ok = now && (*now != from || ((from > 1 || upgrade_1_to_2(db)) &&
                                     (from > 2 || db.exec(db.ddl(campaign_upgrade_from_2_sql()))) &&
                                     upgrade_3_to_4(db, machine) && set_version(db)));
  if (ok && db.commit()) return {};
  std::string why = db.last_error();
  db.rollback();
  return why;
}

bool create_schema(sql_engine& db) {
  if (!db.exec(db.ddl(campaign_schema_sql())) || !db.exec(db.ddl(campaign_characterisation_sql)) ||
      !db.exec(campaign_views_sql))
    return false;
  for (auto [key, value] : {std::pair<const char*, std::string>{"schema", campaign_schema_name},
                            {"schema_version", std::to_string(campaign_schema_version)},
                            {"created", utc_now()}})
    if (!set_meta_row(db, key, value)) return false;
  return db.set_schema_version(campaign_schema_version);
}

// Creates the schema in one transaction that only one writer at a time runs, unless a run
// beside this one did so first. Why it failed, or "", with the transaction rolled back.
std::string initialise(sql_engine& db) {
  if (!db.begin_write(true)) return db.last_error();
  if ((!db.is_blank() || create_schema(db)) && db.commit()) return {};
  std::string why = db.last_error();
  db.rollback();
  return why;
}

void bind_record(sql_statement& s, const recording_record& r, const std::string& machine) {
  std::string notes;
  for (const std::string& n : r.notes) notes += (notes.empty() ? "" : "\n") + n;
  s.bind(1, std::string_view(r.path));
  s.bind(2, r.size);
  s.bind(3, r.mtime_ns);
  s.bind(4, r.hash);
  s.bind(5, std::string_view(r.chip));
  s.bind(6, std::string_view(r.config));
  s.bind(7, int64_t{r.status});
  s.bind(8, std::string_view(r.message));
  s.bind(9, std::string_view(notes));
  s.bind(10, std::string_view(r.log_path));
  s.bind(11, static_cast<int64_t>(r.summary.values_read));
  s.bind(12, static_cast<int64_t>(r.summary.rows_handled));
  s.bind(13, r.summary.events_started);
  s.bind(14, r.summary.events_completed);
  s.bind(15, std::string_view(r.analysed_at));
  s.bind(16, std::string_view(r.version));
  s.bind(17, std::string_view(source_name(r.source)));
  s.bind(18, std::string_view(recorded_time(r.path, r.mtime_ns)));
  s.bind(19, int64_t{r.retry});
  s.bind(20, r.summary.common_mode_noise);
  s.bind(21, r.summary.window_gap_events);
  s.bind(22, std::string_view(r.config_check.looks_like));
  s.bind(23, r.config_check.own_misfit);
  s.bind(24, r.config_check.other_misfit);
  s.bind(25, std::string_view(read_outcome_name(r.summary.reading_end)));
  s.bind(26, std::string_view(machine));
}

// "recording_id, channel, rise_time, ...": every channel column, in the order bind_channel and
// read_channel use.
std::string channel_column_list() {
  std::string list;
  for (const std::string& name : channel_column_names()) list += (list.empty() ? "" : ", ") + name;
  return list;
}

// Binds channel `channel`'s row from parameter `first` on: the recording, the channel, then
// every field of channel_fields().
void bind_channel(sql_statement& s, int first, int64_t id, int channel, const channel_fit& f) {
  int i = first;
  s.bind(i++, id);
  s.bind(i++, int64_t{channel});
  for (const channel_field& field : channel_fields()) {
    switch (field.type) {
      case field_type::real:
        s.bind(i++, f.*field.real);
        break;
      case field_type::count:
      case field_type::flag:
        s.bind(i++, static_cast<int64_t>(field_number(field, f)));
        break;
      case field_type::verdict:
        s.bind(i++, field_verdict_name(field, f));
        break;
      case field_type::optional_verdict: {
        std::string_view name = field_verdict_name(field, f);
        s.bind(i++, name.empty() ? std::nullopt : std::optional<std::string>(name));
        break;
      }
    }
  }
}

// "INSERT INTO table (columns) VALUES (?, ...), (?, ...)": `rows` rows of `per_row` values in
// one statement, which a server answers in one round trip.
std::string rows_insert(const std::string& table, const std::string& columns, size_t per_row,
                        size_t rows) {
  std::string row = "(?";
  for (size_t i = 1; i < per_row; ++i) row += ", ?";
  row += ")";
  std::string sql = "INSERT INTO " + table + " (" + columns + ") VALUES ";
  for (size_t r = 0; r < rows; ++r) sql += (r ? ", " : "") + row;
  return sql;
}

// The fields a verdict and the characterisation read of a channel: the fit verdict and the
// judged quantities; the rest stay as a default channel_fit has them.
const std::vector<const channel_field*>& judged_fields() {
  static const std::vector<const channel_field*> fields = [] {
    std::vector<const channel_field*> out;
    for (const channel_field& f : channel_fields()) {
      bool judged = f.type == field_type::verdict;
      for (const channel_quantity& q : channel_quantities()) judged = judged || f.real == q.value;
      if (judged) out.push_back(&f);
    }
    return out;
  }();
  return fields;
}

const std::vector<const channel_field*>& all_fields() {
  static const std::vector<const channel_field*> fields = [] {
    std::vector<const channel_field*> out;
    for (const channel_field& f : channel_fields()) out.push_back(&f);
    return out;
  }();
  return fields;
}

// "f1, f2, ...": the columns of `fields`.
std::string field_list(const std::vector<const channel_field*>& fields) {
  std::string list;
  for (const channel_field* f : fields) list += (list.empty() ? "" : ", ") + std::string(f->name);
  return list;
}

// A channel from a row of recording_id, channel and then the columns of `fields`.
stored_channel read_channel(const sql_statement& s,
                            const std::vector<const channel_field*>& fields = all_fields()) {
  stored_channel c;
  c.channel = static_cast<int>(s.integer(1));
  int i = 2;
  for (const channel_field* field : fields) {
    if (field->type == field_type::real)
      c.fit.*field->real = s.real(i);
    else if (field->type == field_type::count || field->type == field_type::flag)
      set_field_number(*field, c.fit, static_cast<double>(s.integer(i)));
    else
      // A verdict this build does not know (a later version's) cannot be called good.
      set_field_verdict(*field, c.fit, s.text(i), fit_verdict::not_converged);
    ++i;
  }
  return c;
}

// The columns of recordings that read_recording reads, in its order.
constexpr const char* recording_columns =
    "id, path, chip, config, mtime_ns, status, message, notes, analysed_at, version, "
    "events_started, events_completed, recorded_at, common_mode_noise, window_gap_events, "
    "looks_like, own_misfit, other_misfit, values_read, reading_end";
constexpr int recording_column_count = 20;

// A recording, without its channels, from a row that begins with recording_columns.
stored_recording read_recording(const sql_statement& r) {
  stored_recording s;
  s.id = r.integer(0);
  s.path = r.text(1);
  s.chip = r.text(2);
  s.config = r.text(3);
  s.mtime_ns = r.optional_integer(4);
  s.status = static_cast<int>(r.integer(5));
  s.message = r.text(6);
  s.notes = r.text(7);
  s.analysed_at = r.text(8);
  s.version = r.text(9);
  s.events_started = r.integer(10);
  s.events_completed = r.integer(11);
  s.recorded_at = r.text(12);
  s.common_mode_noise = r.real(13);
  s.window_gap_events = r.integer(14);
  s.config_check = {r.text(15), r.real(16), r.real(17)};
  s.values_read = static_cast<uint64_t>(r.integer(18));
  s.reading_end = read_outcome_named(r.text(19));
  return s;
}

bool insert_channels(sql_engine& db, int64_t id, const recording_record& r) {
  if (r.fits.empty()) return true;
  const size_t per_row = channel_column_names().size();
  std::unique_ptr<sql_statement> s =
      db.prepare(rows_insert("channels", channel_column_list(), per_row, r.fits.size()));
  if (!s) return false;
  for (size_t ch = 0; ch < r.fits.size(); ++ch)
    bind_channel(*s, static_cast<int>(1 + ch * per_row), id, static_cast<int>(ch), r.fits[ch]);
  return s->run();
}

// Each channel's points as consecutive (time, amplitude, error) doubles in native byte order.
bool insert_points(sql_engine& db, int64_t id, const recording_record& r) {
  if (r.points.empty()) return true;
  std::unique_ptr<sql_statement> s =
      db.prepare(rows_insert("points", "recording_id, channel, data", 3, r.points.size()));
  if (!s) return false;
  std::vector<double> data;
  for (size_t ch = 0; ch < r.points.size(); ++ch) {
    data.clear();
    for (const snapshot_point& p : r.points[ch])
      data.insert(data.end(), {p.first, p.second.first, p.second.second});
    int at = static_cast<int>(1 + ch * 3);
    s->bind(at, id);
    s->bind(at + 1, static_cast<int64_t>(ch));
    s->bind_blob(at + 2, data.data(), data.size() * sizeof(double));
  }
  return s->run();
}

// The recordings `r` replaces: what this machine stored before for its path and what any
// machine stored for the same file (the same path, size and content).
constexpr const char* replaced_recordings =
    "FROM recordings WHERE (analysed_on = ? AND path = ?) OR (path = ? AND content_hash = ? AND "
    "size = ?)";

// Runs `sql`, a delete whose only parameters are those of replaced_recordings, for `r`; false
// when it failed.
bool remove_replaced(sql_engine& db, const std::string& sql, const recording_record& r,
                     const std::string& machine) {
  std::unique_ptr<sql_statement> remove = db.prepare(sql);
  if (!remove) return false;
  remove->bind(1, std::string_view(machine));
  remove->bind(2, std::string_view(r.path));
  remove->bind(3, std::string_view(r.path));
  remove->bind(4, r.hash);
  remove->bind(5, r.size);
  return remove->run();
}

// Writes `r` in place of the recordings it replaces; false when a step failed. Where deleting
// a recording does not take its channels and points, they go first and by name.
bool write_record(sql_engine& db, const recording_record& r, const std::string& machine) {
  const std::string theirs =
      " WHERE recording_id IN (SELECT id " + std::string(replaced_recordings) + ")";
  if (!db.deletes_cascade() && !(remove_replaced(db, "DELETE FROM points" + theirs, r, machine) &&
                                 remove_replaced(db, "DELETE FROM channels" + theirs, r, machine)))
    return false;
  if (!remove_replaced(db, std::string("DELETE ") + replaced_recordings, r, machine)) return false;
  std::unique_ptr<sql_statement> insert = db.prepare(
      "INSERT INTO recordings (path, size, mtime_ns, content_hash, chip, "
      "config, status, message, notes, log_path, values_read, rows_handled, "
      "events_started, events_completed, analysed_at, version, source, "
      "recorded_at, retry, common_mode_noise, window_gap_events, "
      "looks_like, own_misfit, other_misfit, reading_end, analysed_on) VALUES (?, ?, "
      "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
      "RETURNING id");
  if (!insert) return false;
  bind_record(*insert, r, machine);
  if (insert->step() != step_result::row) return false;
  int64_t id = insert->integer(0);
  if (insert->step() != step_result::done) return false;
  return insert_channels(db, id, r) && insert_points(db, id, r);
}

// Every stored result counts up the generation, so that figures kept for the recordings as they
// were can tell that they no longer are. Last in the transaction: on a server the row stays
// locked until the commit, and every other writer waits for it.
bool count_generation(sql_engine& db) {
  return db.exec(
      "INSERT INTO meta (key, value) VALUES ('generation', '1') ON CONFLICT (key) "
      "DO UPDATE SET value = CAST(CAST(meta.value AS INTEGER) + 1 AS TEXT)");
}

// Adds the rows `produce` hands on to the characterisation; false when a step failed.
bool write_characterisation(sql_engine& db,
                            const std::function<bool(const characterisation_sink&)>& produce) {
  std::unique_ptr<sql_statement> insert = db.prepare(
      "INSERT INTO characterisation (chip, channel, configurations, gain, gain_err, "
      "\"offset\", nonlinearity, noise_mV, gain_fC, noise_e, rise_time_spread, "
      "time_stamp_spread, reason) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  return insert && produce([&](const channel_characterisation& c) {
           insert->bind(1, std::string_view(c.chip));
           insert->bind(2, int64_t{c.channel});
           insert->bind(3, int64_t{c.configurations});
           int at = 4;
           for (double v : {c.gain, c.gain_err, c.offset, c.nonlinearity, c.noise_mV, c.gain_fC,
                            c.noise_e, c.rise_time_spread, c.time_stamp_spread})
             insert->bind(at++, v);
           insert->bind(at, std::string_view(c.reason));
           bool stored = insert->run();
           insert->reset();
           return stored;
         });
}

bool read_recordings(sql_engine& db, std::vector<stored_recording>& out) {
  std::unique_ptr<sql_statement> r = db.prepare(
      std::string("SELECT ") + recording_columns +
      ", CASE WHEN id IN (SELECT id FROM current_recordings) THEN 1 ELSE 0 END FROM recordings "
      "ORDER BY chip, config, path, analysed_on");
  std::unique_ptr<sql_statement> c = db.prepare("SELECT " + channel_column_list() +
                                                " FROM channels ORDER BY recording_id, channel");
  if (!r || !c) return false;
  std::unordered_map<int64_t, size_t> index;
  size_t first = out.size();
  step_result rc;
  while ((rc = r->step()) == step_result::row) {
    stored_recording s = read_recording(*r);
    s.current = r->integer(recording_column_count) != 0;
    index[s.id] = out.size();
    out.push_back(std::move(s));
  }
  if (rc == step_result::done) {
    while ((rc = c->step()) == step_result::row) {
      auto it = index.find(c->integer(0));
      if (it != index.end()) out[it->second].channels.push_back(read_channel(*c));
    }
  }
  if (rc != step_result::done) out.resize(first);
  return rc == step_result::done;
}

// Runs `work` in a read transaction, which sees one committed state throughout.
template <typename Work>
bool in_read(sql_engine& db, Work&& work) {
  if (!db.begin_read()) return false;
  bool ok = work();
  if (ok && db.commit()) return true;
  db.rollback();
  return false;
}

// Runs `work` in a write transaction, whole or not at all.
template <typename Work>
bool in_write(sql_engine& db, Work&& work) {
  if (!db.begin_write(false)) return false;
  bool ok = work();
  if (ok && db.commit()) return true;
  db.rollback();
  return false;
}

}  // namespace

std::string database_error(const std::string& path, const std::string& detail) {
  return "cannot use database " + path + ": " + detail;
}

campaign_db::~campaign_db() = default;

campaign_db::campaign_db(campaign_db&& other) noexcept = default;

std::optional<campaign_db> campaign_db::open_as(const std::string& target, bool read_only,
                                                std::string& error) {
  std::string bad_policy;
  std::optional<retry_policy> policy = retry_policy_in_force(bad_policy);
  if (!policy) {
    error = database_error(target, bad_policy);
    return std::nullopt;
  }
  std::unique_ptr<sql_engine> e = is_postgresql_target(target)
                                      ? open_pg_engine(target, error)
                                      : open_sqlite_engine(target, read_only, error);
  if (!e) return std::nullopt;
  campaign_db db(std::move(e), *policy);
  sql_engine& raw = *db.engine_;
  // A database that is already there is checked before anything is written to it, so that a
  // database of another kind is left exactly as it was.
  if (!read_only && raw.is_blank()) {
    if (std::string why = initialise(raw); !why.empty()) {
      error = database_error(target, why);
      return std::nullopt;
    }
  }
  if (std::optional<int64_t> from = raw.schema_version();
      !read_only && from && *from >= 1 && *from < campaign_schema_version && is_campaign(raw)) {
    if (std::string why = upgrade_from(raw, *from, db.machine_); !why.empty()) {
      error = database_error(target, "its schema version is " + std::to_string(*from) +
                                         " and upgrading it to version " +
                                         std::to_string(campaign_schema_version) +
                                         " failed, nothing was changed: " + why);
      return std::nullopt;
    }
  }
  if (std::string problem = schema_problem(raw); !problem.empty()) {
    error = database_error(target, problem);
    return std::nullopt;
  }
  if (!read_only && !raw.ready_for_writing()) {
    error = database_error(target, raw.last_error());
    return std::nullopt;
  }
  return db;
}

std::optional<campaign_db> campaign_db::open(const std::string& target, std::string& error) {
  return open_as(target, false, error);
}

std::optional<campaign_db> campaign_db::open_read_only(const std::string& target,
                                                       std::string& error) {
  return open_as(target, true, error);
}

campaign_db::campaign_db(std::unique_ptr<sql_engine> engine, const retry_policy& policy)
    : engine_(std::move(engine)), policy_(policy), machine_(machine_name()) {}

const std::string& campaign_db::path() const {
  return engine_->name();
}

bool campaign_db::retried(const std::function<bool()>& work, std::string& error) {
  retry_clock clock(policy_);
  for (;;) {
    if (work()) return true;
    std::string why = engine_->last_error();
    if (!engine_->failure_is_transient()) {
      error = database_error(path(), why);
      return false;
    }
    bool again = clock.wait_before_next();
    while (again && !engine_->recover()) {
      why = engine_->last_error();
      again = clock.wait_before_next();
    }
    if (!again) {
      error =
          database_error(path(), "no answer after retrying for " +
                                     std::to_string(std::lround(policy_.budget_s)) + " s: " + why);
      return false;
    }
  }
}

bool campaign_db::load_states(std::map<std::string, stored_state>& states, std::string& error,
                              const std::vector<std::string>* paths) {
  return retried(
      [&] {
        std::map<std::string, stored_state> found;
        const std::string sql =
            std::string(
                "SELECT path, size, mtime_ns, version, status, retry, CASE WHEN "
                "analysed_on = ? THEN 1 ELSE 0 END FROM recordings") +
            (paths ? " WHERE path = ?" : "");
        std::unique_ptr<sql_statement> s = engine_->prepare(sql);
        if (!s) return false;
        // A path this machine stored wins over the same path stored by another, which is
        // taken only where this machine has none: the same file on a shared folder.
        std::map<std::string, bool> own;
        auto take = [&] {
          s->bind(1, std::string_view(machine_));
          step_result rc;
          while ((rc = s->step()) == step_result::row) {
            std::string path = s->text(0);
            bool mine = s->integer(6) != 0;
            if (found.count(path) && (own[path] || !mine)) continue;
            found[path] = {s->optional_integer(1), s->optional_integer(2), s->text(3),
                           static_cast<int>(s->integer(4)), s->integer(5) != 0};
            own[path] = mine;
          }
          return rc == step_result::done;
        };
        if (!paths) {
          if (!take()) return false;
        } else {
          for (const std::string& path : *paths) {
            s->reset();
            s->bind(2, std::string_view(path));
            if (!take()) return false;
          }
        }
        states.merge(found);
        return true;
      },
      error);
}

bool campaign_db::store(const recording_record& r, std::string& error) {
  return retried(
      [&] {
        return in_write(*engine_, [&] {
          bool ok = write_record(*engine_, r, machine_);
          // Held with the rows written, not only sent.
          hold_for_test("store", [&] { ok = ok && engine_->wait_for_answers(); });
          return ok && count_generation(*engine_);
        });
      },
      error);
}

bool campaign_db::store_characterisation(const std::vector<channel_characterisation>& channels,
                                         std::string& error) {
  return store_characterisation_rows(
      [&](const characterisation_sink& put) {
        for (const channel_characterisation& c : channels)
          if (!put(c)) return false;
        return true;
      },
      error);
}

bool campaign_db::store_characterisation_rows(
    const std::function<bool(const characterisation_sink&)>& produce, std::string& error) {
  return retried(
      [&] {
        return in_write(*engine_, [&] {
          return engine_->exec("DELETE FROM characterisation") &&
                 write_characterisation(*engine_, produce);
        });
      },
      error);
}

bool campaign_db::store_chip_characterisation(
    const std::vector<std::string>& chips,
    const std::function<bool(const characterisation_sink&)>& produce, std::string& error) {
  auto clear = [&] {
    std::unique_ptr<sql_statement> remove =
        engine_->prepare("DELETE FROM characterisation WHERE chip = ?");
    for (const std::string& chip : chips) {
      if (!remove) return false;
      remove->bind(1, std::string_view(chip));
      if (!remove->run()) return false;
      remove->reset();
    }
    return true;
  };
  return retried(
      [&] {
        return in_write(*engine_,
                        [&] { return clear() && write_characterisation(*engine_, produce); });
      },
      error);
}

bool campaign_db::load_current_events(std::map<std::string, std::vector<double>>& events,
                                      std::string& error) {
  return retried(
      [&] {
        std::unique_ptr<sql_statement> s = engine_->prepare(
            "SELECT config, events_completed FROM current_recordings WHERE status = 0");
        if (!s) return false;
        std::map<std::string, std::vector<double>> found;
        step_result rc;
        while ((rc = s->step()) == step_result::row)
          found[s->text(0)].push_back(static_cast<double>(s->integer(1)));
        if (rc != step_result::done) return false;
        for (auto& [config, list] : found)
          events[config].insert(events[config].end(), list.begin(), list.end());
        return true;
      },
      error);
}

bool campaign_db::load_recordings(std::vector<stored_recording>& out, std::string& error) {
  return retried([&] { return in_read(*engine_, [&] { return read_recordings(*engine_, out); }); },
                 error);
}

bool campaign_db::load_points(int64_t id, snapshot_table& points, std::string& error) {
  return retried(
      [&] {
        std::unique_ptr<sql_statement> s = engine_->prepare(
            "SELECT channel, data FROM points WHERE recording_id = ? ORDER BY channel");
        if (!s) return false;
        s->bind(1, id);
        snapshot_table found;
        step_result rc;
        while ((rc = s->step()) == step_result::row) {
          size_t ch = static_cast<size_t>(s->integer(0));
          if (ch >= found.size()) found.resize(ch + 1);
          std::string bytes = s->blob(1);
          std::vector<double> v(bytes.size() / sizeof(double));
          std::memcpy(v.data(), bytes.data(), v.size() * sizeof(double));
          for (size_t i = 0; i + 2 < v.size(); i += 3)
            found[ch].push_back({v[i], {v[i + 1], v[i + 2]}});
        }
        if (rc != step_result::done) return false;
        if (points.size() < found.size()) points.resize(found.size());
        for (size_t ch = 0; ch < found.size(); ++ch)
          points[ch].insert(points[ch].end(), found[ch].begin(), found[ch].end());
        return true;
      },
      error);
}

bool campaign_db::set_meta(const std::string& key, const std::string& value, std::string& error) {
  return retried(
      [&] { return in_write(*engine_, [&] { return set_meta_row(*engine_, key, value); }); },
      error);
}

std::optional<std::string> campaign_db::meta(const std::string& key) {
  std::unique_ptr<sql_statement> s = engine_->prepare("SELECT value FROM meta WHERE key = ?");
  if (!s) return std::nullopt;
  s->bind(1, std::string_view(key));
  if (s->step() != step_result::row) return std::nullopt;
  return s->text(0);
}

uint64_t campaign_db::generation() {
  std::optional<std::string> text = meta("generation");
  return text ? std::strtoull(text->c_str(), nullptr, 10) : 0;
}

std::optional<int64_t> campaign_db::data_version() {
  std::optional<int64_t> v = engine_->data_version();
  if (!v && engine_->failure_is_transient()) engine_->recover();
  return v;
}

namespace {

// A WHERE clause of current recordings and the parameters it binds, a condition at a time.
struct current_where {
  std::string clause = "1 = 1";
  std::vector<std::string> binds;
  // Adds `condition` with its one parameter `value`; nothing when `value` is empty (any).
  void add(const char* condition, const std::string& value) {
    if (value.empty()) return;
    clause += condition;
    binds.push_back(value);
  }
};

// The current recordings where `where` holds, each with its channels' judged fields, to `visit`
// in the order of chip, configuration and path, until it returns false. False with `error`
// naming `db_path` on a failure of `engine`.
bool each_current_where(sql_engine& engine, const std::string& db_path, const current_where& where,
                        const std::function<bool(stored_recording&)>& visit, std::string& error) {
  const std::string sql = std::string("SELECT ") + recording_columns + " FROM (" +
                          current_recordings_where(where.clause) +
                          ") AS chosen ORDER BY chip, config, path, analysed_on";
  const std::string channels = "SELECT recording_id, channel, " + field_list(judged_fields()) +
                               " FROM channels WHERE recording_id = ? ORDER BY channel";
  auto each = [&] {
    std::unique_ptr<sql_statement> r = engine.prepare(sql);
    std::unique_ptr<sql_statement> c = engine.prepare(channels);
    if (!r || !c) return false;
    for (size_t i = 0; i < where.binds.size(); ++i)
      r->bind(static_cast<int>(i + 1), std::string_view(where.binds[i]));
    step_result rc;
    stored_recording s;
    while ((rc = r->step()) == step_result::row) {
      s = read_recording(*r);
      s.current = true;
      s.channels.reserve(channel_count);
      c->reset();
      c->bind(1, s.id);
      step_result cc;
      while ((cc = c->step()) == step_result::row)
        s.channels.push_back(read_channel(*c, judged_fields()));
      if (cc != step_result::done) return false;
      if (!visit(s)) return true;
    }
    return rc == step_result::done;
  };
  if (each()) return true;
  error = database_error(db_path, engine.last_error());
  return false;
}

}  // namespace

bool campaign_db::each_current(const std::string& chip, const std::string& config,
                               const std::function<bool(const stored_recording&)>& visit,
                               std::string& error) {
  current_where where;
  where.add(" AND chip = ?", chip);
  where.add(" AND config = ?", config);
  // No transaction around it: `visit` may write (a chip's characterisation) as it goes.
  return each_current_where(*engine_, path(), where, visit, error);
}

bool campaign_db::each_current(const chip_span& chips, const std::string& config,
                               const std::function<bool(stored_recording&)>& visit,
                               std::string& error) {
  current_where where;
  where.add(" AND chip >= ?", chips.first);
  where.add(" AND chip < ?", chips.past);
  where.add(" AND config = ?", config);
  return each_current_where(*engine_, path(), where, visit, error);
}

std::optional<std::string> campaign_db::middle_chip(int64_t min_chips, std::string& error) {
  std::optional<std::string> middle;
  bool ok = retried(
      [&] {
        middle.reset();
        std::unique_ptr<sql_statement> count =
            engine_->prepare("SELECT count(DISTINCT chip) FROM recordings");
        std::unique_ptr<sql_statement> at = engine_->prepare(
            "SELECT chip FROM (SELECT DISTINCT chip FROM recordings) AS chips ORDER BY chip "
            "LIMIT 1 OFFSET ?");
        if (!count || !at || count->step() != step_result::row) return false;
        const int64_t chips = count->integer(0);
        if (chips < std::max<int64_t>(min_chips, 2)) return true;
        at->bind(1, chips / 2);
        step_result rc = at->step();
        if (rc == step_result::row) middle = at->text(0);
        return rc == step_result::row || rc == step_result::done;
      },
      error);
  return ok ? middle : std::nullopt;
}

namespace {

// Adds the superseded recordings that `s` selects (chip, config, path) to `out`.
bool add_superseded(sql_statement& s, campaign_outline& out) {
  step_result rc;
  while ((rc = s.step()) == step_result::row)
    out.superseded[{s.text(0), s.text(1)}].push_back(s.text(2));
  return rc == step_result::done;
}

}  // namespace

bool campaign_db::load_outline(campaign_outline& out, std::string& error,
                               const std::set<std::string>* superseded_of) {
  return retried(
      [&] {
        return in_read(*engine_, [&] {
          out = {};
          // Every chip and configuration with a recording has one current recording: the
          // counts need not rank them.
          std::unique_ptr<sql_statement> counts = engine_->prepare(
              "SELECT config, count(DISTINCT chip) FROM recordings GROUP BY config");
          std::unique_ptr<sql_statement> totals =
              engine_->prepare("SELECT count(*), count(DISTINCT chip) FROM recordings");
          std::unique_ptr<sql_statement> superseded = engine_->prepare(
              superseded_of ? "SELECT chip, config, path FROM recordings WHERE chip = ? AND id NOT "
                              "IN (SELECT id FROM (" +
                                  current_recordings_where("chip = ?") +
                                  ") AS chosen) ORDER BY chip, config, path"
                            : "SELECT chip, config, path FROM recordings WHERE id NOT IN "
                              "(SELECT id FROM current_recordings) ORDER BY chip, config, path");
          std::unique_ptr<sql_statement> latest = engine_->prepare(
              "SELECT id, chip, config, analysed_at FROM recordings ORDER BY id DESC LIMIT 1");
          if (!counts || !totals || !superseded || !latest) return false;
          step_result rc;
          while ((rc = counts->step()) == step_result::row)
            out.chips_in[counts->text(0)] = static_cast<size_t>(counts->integer(1));
          if (rc != step_result::done || totals->step() != step_result::row) return false;
          out.recordings = static_cast<size_t>(totals->integer(0));
          out.chips = static_cast<size_t>(totals->integer(1));
          if (!superseded_of) {
            if (!add_superseded(*superseded, out)) return false;
          } else {
            for (const std::string& chip : *superseded_of) {
              superseded->reset();
              superseded->bind(1, std::string_view(chip));
              superseded->bind(2, std::string_view(chip));
              if (!add_superseded(*superseded, out)) return false;
            }
          }
          if ((rc = latest->step()) == step_result::row) {
            out.latest_id = latest->integer(0);
            out.latest_chip = latest->text(1);
            out.latest_config = latest->text(2);
            out.latest_analysed_at = latest->text(3);
          }
          return rc != step_result::failed;
        });
      },
      error);
}

#include "campaign/store/campaign_db.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "campaign/model/recording_name.h"
#include "campaign/store/campaign_schema.h"
#include "campaign/store/sqlite_statement.h"
#include "campaign/store/test_hold.h"
#include "fit/channel_fields.h"

namespace {

// Another process may hold the write lock for the length of one recording's transaction.
constexpr int busy_timeout_ms = 60000;

bool is_fresh(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size == 0);
}

// SQLite's message, with the system's reason when an I/O error has one (a file size limit shows
// as "disk I/O error" otherwise).
std::string last_error(sqlite3* db) {
  std::string message = sqlite3_errmsg(db);
  int code = sqlite3_errcode(db);
  int system = sqlite3_system_errno(db);
  if ((code == SQLITE_IOERR || code == SQLITE_CANTOPEN) && system != 0)
    message += std::string(" (") + std::strerror(system) + ")";
  return message;
}

bool is_campaign(sqlite3* db) {
  sqlite_statement schema(db, "SELECT value FROM meta WHERE key = 'schema'");
  return schema.ok() && schema.step() == SQLITE_ROW && schema.text(0) == campaign_schema_name;
}

// Why the open database is not one of ours, or "" when it is.
std::string schema_problem(sqlite3* db) {
  sqlite_statement version(db, "PRAGMA user_version");
  if (!version.ok() || version.step() != SQLITE_ROW) {
    if ((sqlite3_errcode(db) & 0xff) == SQLITE_NOTADB)
      return "it is not a campaign database (" + last_error(db) + ")";
    return last_error(db);
  }
  int64_t user_version = version.integer(0);
  if (!is_campaign(db)) return "it is not a campaign database";
  if (user_version != campaign_schema_version)
    return "its schema version is " + std::to_string(user_version) + ", this build uses version " +
           std::to_string(campaign_schema_version);
  return {};
}

int64_t user_version(sqlite3* db) {
  sqlite_statement version(db, "PRAGMA user_version");
  return version.ok() && version.step() == SQLITE_ROW ? version.integer(0) : -1;
}

bool set_version(sqlite3* db) {
  sqlite_statement meta(db,
                        "INSERT OR REPLACE INTO meta (key, value) VALUES ('schema_version', ?)");
  meta.bind(1, std::string_view(std::to_string(campaign_schema_version)));
  std::string pragma = "PRAGMA user_version = " + std::to_string(campaign_schema_version);
  return meta.ok() && meta.run() && sqlite_exec(db, pragma.c_str());
}

bool fill_recorded_at(sqlite3* db) {
  sqlite_statement rows(db, "SELECT id, path, mtime_ns FROM recordings");
  sqlite_statement update(db, "UPDATE recordings SET recorded_at = ? WHERE id = ?");
  if (!rows.ok() || !update.ok()) return false;
  int rc;
  while ((rc = rows.step()) == SQLITE_ROW) {
    update.bind(1, std::string_view(recorded_time(rows.text(1), rows.optional_integer(2))));
    update.bind(2, rows.integer(0));
    if (!update.run()) return false;
    update.reset();
  }
  return rc == SQLITE_DONE;
}

// The steps from version 1 to 2: the columns, the recordings' times, the characterisation
// and the views.
bool upgrade_1_to_2(sqlite3* db) {
  return sqlite_exec(db, campaign_upgrade_from_1_sql().c_str()) && fill_recorded_at(db) &&
         sqlite_exec(db, campaign_characterisation_sql) && sqlite_exec(db, campaign_views_sql);
}

// Brings a database of version `from` (1 or 2) to this version in one transaction, so that a
// failure at any step, or a kill, leaves it a whole database of its version. Another run may
// have upgraded it while this one waited for the lock. Why it failed, or "".
std::string upgrade_from(sqlite3* db, int64_t from) {
  if (!sqlite_exec(db, "BEGIN IMMEDIATE")) return last_error(db);
  bool ok = user_version(db) != from ||
            ((from != 1 || upgrade_1_to_2(db)) &&
             sqlite_exec(db, campaign_upgrade_from_2_sql().c_str()) && set_version(db));
  if (ok && sqlite_exec(db, "COMMIT")) return {};
  std::string why = last_error(db);
  sqlite_exec(db, "ROLLBACK");
  return why;
}

// The folder holding `path`, where SQLite makes its side files.
std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// `path` as the path of a file: URI, every byte but the unreserved ones percent-encoded.
std::string uri_path(const std::string& path) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : path) {
    auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || std::strchr("/-._~", c)) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(digits[b >> 4]);
      out.push_back(digits[b & 0xf]);
    }
  }
  return out;
}

bool empty_database(sqlite3* db) {
  sqlite_statement count(db, "SELECT count(*) FROM sqlite_master");
  return count.ok() && count.step() == SQLITE_ROW && count.integer(0) == 0;
}

// A database with no tables and no version holds nothing to protect. It is also what a run
// started at the same moment leaves on disk until its schema is committed, so it is adopted
// rather than refused.
bool blank_database(sqlite3* db) {
  sqlite_statement version(db, "PRAGMA user_version");
  return version.ok() && version.step() == SQLITE_ROW && version.integer(0) == 0 &&
         empty_database(db);
}

bool create_schema(sqlite3* db) {
  if (!sqlite_exec(db, campaign_schema_sql().c_str()) ||
      !sqlite_exec(db, campaign_characterisation_sql) || !sqlite_exec(db, campaign_views_sql))
    return false;
  sqlite_statement meta(db, "INSERT INTO meta (key, value) VALUES (?, ?)");
  for (auto [key, value] : {std::pair<const char*, std::string>{"schema", campaign_schema_name},
                            {"schema_version", std::to_string(campaign_schema_version)},
                            {"created", utc_now()}}) {
    meta.bind(1, std::string_view(key));
    meta.bind(2, std::string_view(value));
    if (!meta.run()) return false;
    meta.reset();
  }
  std::string pragma = "PRAGMA user_version = " + std::to_string(campaign_schema_version);
  return sqlite_exec(db, pragma.c_str());
}

// Switching a file to WAL reads it, then takes its write lock; SQLite does not wait for that
// upgrade, but answers "busy" at once while another run holds the lock (one creating the same
// database at the same moment, say). So the switch is tried again, for as long as the busy
// timeout would have waited. A file already in WAL is left as it is.
bool switch_to_wal(sqlite3* db) {
  for (int waited_ms = 0;; waited_ms += 10) {
    if (sqlite_exec(db, "PRAGMA journal_mode = WAL")) return true;
    if ((sqlite3_errcode(db) & 0xff) != SQLITE_BUSY || waited_ms >= busy_timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Creates the schema in one immediate transaction, which waits for the write lock, unless a
// run beside this one did so first. Why it failed, or "", with the transaction rolled back.
std::string initialise(sqlite3* db) {
  if (!switch_to_wal(db) || !sqlite_exec(db, "BEGIN IMMEDIATE")) return last_error(db);
  if ((!empty_database(db) || create_schema(db)) && sqlite_exec(db, "COMMIT")) return {};
  std::string why = last_error(db);
  sqlite_exec(db, "ROLLBACK");
  return why;
}

void bind_record(sqlite_statement& s, const recording_record& r) {
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
}

// "recording_id, channel, rise_time, ...": every channel column, in the order bind_channel and
// read_channel use.
std::string channel_column_list() {
  std::string list;
  for (const std::string& name : channel_column_names()) list += (list.empty() ? "" : ", ") + name;
  return list;
}

void bind_channel(sqlite_statement& s, int64_t id, int channel, const channel_fit& f) {
  s.bind(1, id);
  s.bind(2, int64_t{channel});
  int i = 3;
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

stored_channel read_channel(const sqlite_statement& s) {
  stored_channel c;
  c.channel = static_cast<int>(s.integer(1));
  int i = 2;
  for (const channel_field& field : channel_fields()) {
    if (field.type == field_type::real)
      c.fit.*field.real = s.real(i);
    else if (field.type == field_type::count || field.type == field_type::flag)
      set_field_number(field, c.fit, static_cast<double>(s.integer(i)));
    else
      // A verdict this build does not know (a later version's) cannot be called good.
      set_field_verdict(field, c.fit, s.text(i), fit_verdict::not_converged);
    ++i;
  }
  return c;
}

bool insert_channels(sqlite3* db, int64_t id, const recording_record& r) {
  // The statement's text follows from the field table alone: made once, not for every store.
  static const std::string sql = [] {
    std::string text = "INSERT INTO channels (" + channel_column_list() + ") VALUES (?";
    for (size_t i = 1; i < channel_column_names().size(); ++i) text += ", ?";
    return text + ")";
  }();
  sqlite_statement s(db, sql.c_str());
  if (!s.ok()) return false;
  for (size_t ch = 0; ch < r.fits.size(); ++ch) {
    bind_channel(s, id, static_cast<int>(ch), r.fits[ch]);
    if (!s.run()) return false;
    s.reset();
  }
  return true;
}

// Each channel's points as consecutive (time, amplitude, error) doubles in native byte order.
bool insert_points(sqlite3* db, int64_t id, const recording_record& r) {
  sqlite_statement s(db, "INSERT INTO points VALUES (?, ?, ?)");
  if (!s.ok()) return false;
  std::vector<double> data;
  for (size_t ch = 0; ch < r.points.size(); ++ch) {
    data.clear();
    for (const snapshot_point& p : r.points[ch])
      data.insert(data.end(), {p.first, p.second.first, p.second.second});
    s.bind(1, id);
    s.bind(2, static_cast<int64_t>(ch));
    s.bind_blob(3, data.data(), data.size() * sizeof(double));
    if (!s.run()) return false;
    s.reset();
  }
  return true;
}

// Writes `r`; the reason, taken at the step that failed, or "" when it worked. Taken there
// because finalising the statements that did work afterwards clears the connection's error.
std::string write_record(sqlite3* db, const recording_record& r) {
  sqlite_statement remove(db, "DELETE FROM recordings WHERE path = ?");
  if (!remove.ok()) return last_error(db);
  remove.bind(1, std::string_view(r.path));
  if (!remove.run()) return last_error(db);
  sqlite_statement insert(db,
                          "INSERT INTO recordings (path, size, mtime_ns, content_hash, chip, "
                          "config, status, message, notes, log_path, values_read, rows_handled, "
                          "events_started, events_completed, analysed_at, version, source, "
                          "recorded_at, retry, common_mode_noise, window_gap_events, "
                          "looks_like, own_misfit, other_misfit, reading_end) VALUES (?, ?, ?, ?, "
                          "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!insert.ok()) return last_error(db);
  bind_record(insert, r);
  if (!insert.run()) return last_error(db);
  int64_t id = sqlite3_last_insert_rowid(db);
  if (!insert_channels(db, id, r) || !insert_points(db, id, r)) return last_error(db);
  return {};
}

}  // namespace

std::string database_error(const std::string& path, const std::string& detail) {
  return "cannot use database " + path + ": " + detail;
}

campaign_db::~campaign_db() {
  sqlite3_close(db_);
}

campaign_db::campaign_db(campaign_db&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), path_(std::move(other.path_)) {}

std::optional<campaign_db> campaign_db::open(const std::string& path, std::string& error) {
  bool fresh = is_fresh(path);
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (fresh ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  campaign_db db(raw, path);
  if (rc != SQLITE_OK) {
    error = database_error(path, raw ? last_error(raw) : "out of memory");
    return std::nullopt;
  }
  sqlite3_busy_timeout(raw, busy_timeout_ms);
  // A file that is already there is checked before anything is written to it, so that a
  // database of another kind is left exactly as it was.
  if (fresh || blank_database(raw)) {
    if (std::string why = initialise(raw); !why.empty()) {
      error = database_error(path, why);
      return std::nullopt;
    }
  }
  if (const int64_t from = user_version(raw); is_campaign(raw) && (from == 1 || from == 2)) {
    if (std::string why = upgrade_from(raw, from); !why.empty()) {
      error = database_error(path, "its schema version is " + std::to_string(from) +
                                       " and upgrading it to version " +
                                       std::to_string(campaign_schema_version) +
                                       " failed, nothing was changed: " + why);
      return std::nullopt;
    }
  }
  if (std::string problem = schema_problem(raw); !problem.empty()) {
    error = database_error(path, problem);
    return std::nullopt;
  }
  // Every commit synced before it returns: a recording is reported as stored only once it is on
  // the disk (docs/guarantees.md).
  if (!sqlite_exec(raw, "PRAGMA foreign_keys = ON") || !switch_to_wal(raw) ||
      !sqlite_exec(raw, "PRAGMA synchronous = FULL")) {
    error = database_error(path, last_error(raw));
    return std::nullopt;
  }
  return db;
}

std::optional<campaign_db> campaign_db::open_read_only(const std::string& path,
                                                       std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = database_error(path, "no such file");
    return std::nullopt;
  }
  // Where no side file can be made, no writer can be at work in WAL mode either: the file is
  // read as it stands.
  bool immutable = ::access(folder_of(path).c_str(), W_OK) != 0;
  std::string name = immutable ? "file:" + uri_path(path) + "?immutable=1" : path;
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | (immutable ? SQLITE_OPEN_URI : 0);
  int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
  campaign_db db(raw, path);
  if (rc != SQLITE_OK) {
    error = database_error(path, raw ? last_error(raw) : "out of memory");
    return std::nullopt;
  }
  sqlite3_busy_timeout(raw, busy_timeout_ms);
  if (std::string problem = schema_problem(raw); !problem.empty()) {
    error = database_error(path, problem);
    return std::nullopt;
  }
  return db;
}

bool campaign_db::load_states(std::map<std::string, stored_state>& states, std::string& error) {
  sqlite_statement s(db_, "SELECT path, size, mtime_ns, version, status, retry FROM recordings");
  int rc = s.ok() ? SQLITE_ROW : SQLITE_ERROR;
  while (s.ok() && (rc = s.step()) == SQLITE_ROW)
    states[s.text(0)] = {s.optional_integer(1), s.optional_integer(2), s.text(3),
                         static_cast<int>(s.integer(4)), s.integer(5) != 0};
  if (rc != SQLITE_DONE) error = database_error(path_, last_error(db_));
  return rc == SQLITE_DONE;
}

bool campaign_db::store(const recording_record& r, std::string& error) {
  if (!sqlite_exec(db_, "BEGIN IMMEDIATE")) {
    error = database_error(path_, last_error(db_));
    return false;
  }
  std::string why = write_record(db_, r);
  hold_for_test("store");
  if (why.empty() && !sqlite_exec(db_, "COMMIT")) why = last_error(db_);
  if (!why.empty()) {
    error = database_error(path_, why);
    sqlite_exec(db_, "ROLLBACK");
    return false;
  }
  return true;
}

bool campaign_db::store_characterisation(const std::vector<channel_characterisation>& channels,
                                         std::string& error) {
  bool ok = sqlite_exec(db_, "BEGIN IMMEDIATE");
  if (ok) {
    sqlite_statement insert(
        db_,
        "INSERT INTO characterisation (chip, channel, configurations, gain, gain_err, "
        "\"offset\", nonlinearity, noise_mV, gain_fC, noise_e, rise_time_spread, "
        "time_stamp_spread, reason) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    ok = sqlite_exec(db_, "DELETE FROM characterisation") && insert.ok();
    for (size_t i = 0; ok && i < channels.size(); ++i) {
      const channel_characterisation& c = channels[i];
      insert.bind(1, std::string_view(c.chip));
      insert.bind(2, int64_t{c.channel});
      insert.bind(3, int64_t{c.configurations});
      int at = 4;
      for (double v : {c.gain, c.gain_err, c.offset, c.nonlinearity, c.noise_mV, c.gain_fC,
                       c.noise_e, c.rise_time_spread, c.time_stamp_spread})
        insert.bind(at++, v);
      insert.bind(at, std::string_view(c.reason));
      ok = insert.run();
      insert.reset();
    }
  }
  if (ok && sqlite_exec(db_, "COMMIT")) return true;
  error = database_error(path_, last_error(db_));
  sqlite_exec(db_, "ROLLBACK");
  return false;
}

bool campaign_db::load_recordings(std::vector<stored_recording>& out, std::string& error) {
  sqlite_statement r(db_,
                     "SELECT id, path, chip, config, mtime_ns, status, message, notes, "
                     "analysed_at, version, events_started, events_completed, recorded_at, "
                     "id IN (SELECT id FROM current_recordings), common_mode_noise, "
                     "window_gap_events, looks_like, own_misfit, other_misfit, values_read, "
                     "reading_end FROM recordings "
                     "ORDER BY chip, config, path");
  std::string channels =
      "SELECT " + channel_column_list() + " FROM channels ORDER BY recording_id, channel";
  sqlite_statement c(db_, channels.c_str());
  if (!r.ok() || !c.ok()) {
    error = database_error(path_, last_error(db_));
    return false;
  }
  std::unordered_map<int64_t, size_t> index;
  int rc;
  while ((rc = r.step()) == SQLITE_ROW) {
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
    s.current = r.integer(13) != 0;
    s.common_mode_noise = r.real(14);
    s.window_gap_events = r.integer(15);
    s.config_check = {r.text(16), r.real(17), r.real(18)};
    s.values_read = static_cast<uint64_t>(r.integer(19));
    s.reading_end = read_outcome_named(r.text(20));
    index[s.id] = out.size();
    out.push_back(std::move(s));
  }
  if (rc == SQLITE_DONE) {
    while ((rc = c.step()) == SQLITE_ROW) {
      auto it = index.find(c.integer(0));
      if (it != index.end()) out[it->second].channels.push_back(read_channel(c));
    }
  }
  if (rc != SQLITE_DONE) error = database_error(path_, last_error(db_));
  return rc == SQLITE_DONE;
}

bool campaign_db::load_points(int64_t id, snapshot_table& points, std::string& error) {
  sqlite_statement s(db_,
                     "SELECT channel, data FROM points WHERE recording_id = ? ORDER BY channel");
  if (!s.ok()) {
    error = database_error(path_, last_error(db_));
    return false;
  }
  s.bind(1, id);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    size_t ch = static_cast<size_t>(s.integer(0));
    if (ch >= points.size()) points.resize(ch + 1);
    std::string_view bytes = s.blob(1);
    std::vector<double> v(bytes.size() / sizeof(double));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(double));
    for (size_t i = 0; i + 2 < v.size(); i += 3) points[ch].push_back({v[i], {v[i + 1], v[i + 2]}});
  }
  if (rc != SQLITE_DONE) error = database_error(path_, last_error(db_));
  return rc == SQLITE_DONE;
}

bool campaign_db::set_meta(const std::string& key, const std::string& value, std::string& error) {
  sqlite_statement s(db_, "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)");
  bool ok = s.ok();
  if (ok) {
    s.bind(1, std::string_view(key));
    s.bind(2, std::string_view(value));
    ok = s.run();
  }
  if (!ok) error = database_error(path_, last_error(db_));
  return ok;
}

std::optional<std::string> campaign_db::meta(const std::string& key) {
  sqlite_statement s(db_, "SELECT value FROM meta WHERE key = ?");
  if (!s.ok()) return std::nullopt;
  s.bind(1, std::string_view(key));
  if (s.step() != SQLITE_ROW) return std::nullopt;
  return s.text(0);
}

std::optional<int64_t> campaign_db::data_version() {
  sqlite_statement s(db_, "PRAGMA data_version");
  if (!s.ok() || s.step() != SQLITE_ROW) return std::nullopt;
  return s.integer(0);
}

#include "campaign/campaign_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <unordered_map>

#include "campaign/campaign_schema.h"
#include "campaign/sqlite_statement.h"

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

// Why the open database is not one of ours, or "" when it is.
std::string schema_problem(sqlite3* db) {
  sqlite_statement version(db, "PRAGMA user_version");
  if (!version.ok() || version.step() != SQLITE_ROW) {
    if ((sqlite3_errcode(db) & 0xff) == SQLITE_NOTADB)
      return "it is not a campaign database (" + last_error(db) + ")";
    return last_error(db);
  }
  int64_t user_version = version.integer(0);
  sqlite_statement schema(db, "SELECT value FROM meta WHERE key = 'schema'");
  if (!schema.ok() || schema.step() != SQLITE_ROW || schema.text(0) != campaign_schema_name)
    return "it is not a campaign database";
  if (user_version != campaign_schema_version)
    return "its schema version is " + std::to_string(user_version) + ", this build uses version " +
           std::to_string(campaign_schema_version);
  return {};
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
  if (!sqlite_exec(db, campaign_schema_sql)) return false;
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

// Creates the schema unless a run beside this one did so first.
bool initialise(sqlite3* db) {
  if (!sqlite_exec(db, "PRAGMA journal_mode = WAL") || !sqlite_exec(db, "BEGIN IMMEDIATE"))
    return false;
  if (empty_database(db) && !create_schema(db)) {
    sqlite_exec(db, "ROLLBACK");
    return false;
  }
  return sqlite_exec(db, "COMMIT");
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
  s.bind(18, int64_t{r.retry});
}

bool insert_channels(sqlite3* db, int64_t id, const recording_record& r) {
  sqlite_statement s(
      db, "INSERT INTO channels VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!s.ok()) return false;
  for (size_t ch = 0; ch < r.fits.size(); ++ch) {
    const channel_fit& f = r.fits[ch];
    s.bind(1, id);
    s.bind(2, static_cast<int64_t>(ch));
    s.bind(3, f.peak_time);
    s.bind(4, f.peak_time_err);
    s.bind(5, f.amplitude);
    s.bind(6, f.amplitude_err);
    s.bind(7, f.time_stamp);
    s.bind(8, f.time_stamp_err);
    s.bind(9, f.chi2);
    s.bind(10, int64_t{f.ndf});
    s.bind(11, int64_t{f.usable_points});
    s.bind(12, int64_t{f.fitted_points});
    s.bind(13, int64_t{f.converged});
    s.bind(14, verdict_name(f.verdict));
    s.bind(15, f.xmin);
    s.bind(16, f.xmax);
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

bool write_record(sqlite3* db, const recording_record& r) {
  sqlite_statement remove(db, "DELETE FROM recordings WHERE path = ?");
  if (!remove.ok()) return false;
  remove.bind(1, std::string_view(r.path));
  if (!remove.run()) return false;
  sqlite_statement insert(db,
                          "INSERT INTO recordings (path, size, mtime_ns, content_hash, chip, "
                          "config, status, message, notes, log_path, values_read, rows_handled, "
                          "events_started, events_completed, analysed_at, version, source, "
                          "retry) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!insert.ok()) return false;
  bind_record(insert, r);
  if (!insert.run()) return false;
  int64_t id = sqlite3_last_insert_rowid(db);
  return insert_channels(db, id, r) && insert_points(db, id, r);
}

stored_channel read_channel(const sqlite_statement& s) {
  stored_channel c;
  c.channel = static_cast<int>(s.integer(1));
  c.rise_time = s.real(2);
  c.rise_time_err = s.real(3);
  c.amplitude = s.real(4);
  c.amplitude_err = s.real(5);
  c.time_stamp = s.real(6);
  c.time_stamp_err = s.real(7);
  c.chi2 = s.real(8);
  c.ndf = static_cast<int>(s.integer(9));
  c.usable_points = static_cast<int>(s.integer(10));
  c.fitted_points = static_cast<int>(s.integer(11));
  c.converged = s.integer(12) != 0;
  c.verdict = s.text(13);
  c.fit_min = s.real(14);
  c.fit_max = s.real(15);
  return c;
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
  if ((fresh || blank_database(raw)) && !initialise(raw)) {
    error = database_error(path, last_error(raw));
    return std::nullopt;
  }
  if (std::string problem = schema_problem(raw); !problem.empty()) {
    error = database_error(path, problem);
    return std::nullopt;
  }
  if (!sqlite_exec(raw, "PRAGMA foreign_keys = ON") ||
      !sqlite_exec(raw, "PRAGMA journal_mode = WAL")) {
    error = database_error(path, last_error(raw));
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
  if (!write_record(db_, r) || !sqlite_exec(db_, "COMMIT")) {
    error = database_error(path_, last_error(db_));
    sqlite_exec(db_, "ROLLBACK");
    return false;
  }
  return true;
}

bool campaign_db::load_recordings(std::vector<stored_recording>& out, std::string& error) {
  sqlite_statement r(db_,
                     "SELECT id, path, chip, config, mtime_ns, status, message, notes, "
                     "analysed_at, version, events_completed FROM recordings "
                     "ORDER BY chip, config, path");
  sqlite_statement c(db_, "SELECT * FROM channels ORDER BY recording_id, channel");
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
    s.events_completed = r.integer(10);
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

#include "campaign/store/sqlite_engine.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "campaign/store/campaign_db.h"
#include "campaign/store/sqlite_statement.h"

namespace {

// Another process may hold the write lock for the length of one recording's transaction.
constexpr int busy_timeout_ms = 60000;

bool is_fresh(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size == 0);
}

// SQLite's message, with the system's reason when an I/O error has one (a file size limit shows
// as "disk I/O error" otherwise).
std::string connection_error(sqlite3* db) {
  std::string message = sqlite3_errmsg(db);
  int code = sqlite3_errcode(db);
  int system = sqlite3_system_errno(db);
  if ((code == SQLITE_IOERR || code == SQLITE_CANTOPEN) && system != 0)
    message += std::string(" (") + std::strerror(system) + ")";
  return message;
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

// A statement that notes the connection's error in `error` at the step that fails: finalising
// the statements that did work afterwards clears it.
class sqlite_sql_statement : public sql_statement {
 public:
  sqlite_sql_statement(sqlite3* db, const std::string& sql, std::string& error)
      : db_(db), s_(db, sql.c_str()), error_(error) {}
  bool ok() const { return s_.ok(); }
  using sql_statement::bind;
  void bind(int i, std::string_view text) override { s_.bind(i, text); }
  void bind(int i, int64_t v) override { s_.bind(i, v); }
  void bind(int i, double v) override { s_.bind(i, v); }
  void bind_null(int i) override { s_.bind(i, std::optional<int64_t>()); }
  void bind_blob(int i, const void* data, size_t bytes) override { s_.bind_blob(i, data, bytes); }
  step_result step() override {
    int rc = s_.step();
    return rc == SQLITE_ROW    ? step_result::row
           : rc == SQLITE_DONE ? step_result::done
                               : step_result::failed;
  }
  void reset() override { s_.reset(); }
  int column_count() const override { return s_.column_count(); }
  std::string column_name(int c) const override { return s_.column_name(c); }
  value_kind kind(int c) const override {
    switch (s_.column_type(c)) {
      case SQLITE_INTEGER:
        return value_kind::integer;
      case SQLITE_FLOAT:
        return value_kind::real;
      case SQLITE_BLOB:
        return value_kind::blob;
      case SQLITE_NULL:
        return value_kind::null;
      default:
        return value_kind::text;
    }
  }
  std::string text(int c) const override { return s_.text(c); }
  int64_t integer(int c) const override { return s_.integer(c); }
  double real(int c) const override { return s_.real(c); }
  std::string blob(int c) const override { return std::string(s_.blob(c)); }

 private:
  sqlite3* db_;
  sqlite_statement s_;
  std::string& error_;
};

class sqlite_engine : public sql_engine {
 public:
  sqlite_engine(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  ~sqlite_engine() override { sqlite3_close(db_); }
  std::unique_ptr<sql_statement> prepare(const std::string& sql) override {
    auto s = std::make_unique<sqlite_sql_statement>(db_, sql, error_);
    if (!s->ok()) {
      note_error();
      return nullptr;
    }
    return s;
  }
  bool exec(const std::string& sql) override {
    if (sqlite_exec(db_, sql.c_str())) return true;
    note_error();
    return false;
  }
  std::string last_error() const override { return error_; }
  bool failure_is_transient() const override { return false; }
  bool recover() override { return true; }
  bool begin_write(bool schema) override {
    // A new or older file takes WAL before its schema is written; a file of another kind is
    // never touched, as it is only written after it was found to be a campaign's.
    if (schema && !switch_to_wal()) return false;
    return exec("BEGIN IMMEDIATE");
  }
  bool begin_read() override { return exec("BEGIN"); }
  bool commit() override { return exec("COMMIT"); }
  bool wait_for_answers() override { return true; }
  void rollback() override { sqlite_exec(db_, "ROLLBACK"); }
  std::string ddl(const std::string& ddl) const override { return ddl; }
  bool deletes_cascade() const override { return true; }
  std::string identifier(const std::string& name) const override { return "\"" + name + "\""; }
  bool is_blank() override {
    std::optional<int64_t> v = schema_version();
    sqlite_statement count(db_, "SELECT count(*) FROM sqlite_master");
    return v && *v == 0 && count.ok() && count.step() == SQLITE_ROW && count.integer(0) == 0;
  }
  std::optional<int64_t> schema_version() override {
    sqlite_statement version(db_, "PRAGMA user_version");
    if (version.ok() && version.step() == SQLITE_ROW) return version.integer(0);
    note_error();
    if ((sqlite3_errcode(db_) & 0xff) == SQLITE_NOTADB)
      error_ = "it is not a campaign database (" + error_ + ")";
    return std::nullopt;
  }
  bool set_schema_version(int version) override {
    return exec("PRAGMA user_version = " + std::to_string(version));
  }
  bool after_ids_given() override { return true; }
  std::optional<int64_t> data_version() override {
    sqlite_statement s(db_, "PRAGMA data_version");
    if (!s.ok() || s.step() != SQLITE_ROW) return std::nullopt;
    return s.integer(0);
  }
  const std::string& name() const override { return path_; }

  // Every commit synced before it returns: a recording is reported as stored only once it is
  // on the disk (docs/guarantees.md).
  bool ready_for_writing() override {
    return exec("PRAGMA foreign_keys = ON") && switch_to_wal() && exec("PRAGMA synchronous = FULL");
  }

 private:
  void note_error() { error_ = connection_error(db_); }
  // Switching a file to WAL reads it, then takes its write lock; SQLite does not wait for that
  // upgrade, but answers "busy" at once while another run holds the lock (one creating the
  // same database at the same moment, say). So the switch is tried again, for as long as the
  // busy timeout would have waited. A file already in WAL is left as it is.
  bool switch_to_wal() {
    for (int waited_ms = 0;; waited_ms += 10) {
      if (sqlite_exec(db_, "PRAGMA journal_mode = WAL")) return true;
      if ((sqlite3_errcode(db_) & 0xff) != SQLITE_BUSY || waited_ms >= busy_timeout_ms) {
        note_error();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  sqlite3* db_;
  std::string path_, error_;
};

}  // namespace

namespace {

// SQLite counts every allocation under one process-wide lock unless told not to; two
// connections read on two threads at once would wait on it for each row. Nothing here reads
// those counts. The setting can only be made before the library starts; once it has, this
// changes nothing.
void skip_memory_counts() {
  static std::once_flag once;
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

}  // namespace

std::unique_ptr<sql_engine> open_sqlite_engine(const std::string& path, bool read_only,
                                               std::string& error) {
  skip_memory_counts();
  std::string name = path;
  int flags = SQLITE_OPEN_NOMUTEX;
  if (read_only) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      error = database_error(path, "no such file");
      return nullptr;
    }
    // Where no side file can be made, no writer can be at work in WAL mode either: the file
    // is read as it stands.
    bool immutable = ::access(folder_of(path).c_str(), W_OK) != 0;
    if (immutable) name = "file:" + uri_path(path) + "?immutable=1";
    flags |= SQLITE_OPEN_READONLY | (immutable ? SQLITE_OPEN_URI : 0);
  } else {
    flags |= SQLITE_OPEN_READWRITE | (is_fresh(path) ? SQLITE_OPEN_CREATE : 0);
  }
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
  auto engine = std::make_unique<sqlite_engine>(raw, path);
  if (rc != SQLITE_OK) {
    error = database_error(path, raw ? connection_error(raw) : "out of memory");
    return nullptr;
  }
  sqlite3_busy_timeout(raw, busy_timeout_ms);
  return engine;
}

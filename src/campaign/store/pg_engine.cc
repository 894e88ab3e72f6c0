#include "campaign/store/pg_engine.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <regex>
#include <vector>

#include "campaign/store/campaign_db.h"
#include "campaign/store/pg_connection.h"

namespace {

// The server's numbers of the types the campaign's columns come back as.
constexpr unsigned bool_oid = 16, bytea_oid = 17, int8_oid = 20, int2_oid = 21, int4_oid = 23,
                   float4_oid = 700, float8_oid = 701, numeric_oid = 1700;

// The key of the lock that makes one schema change at a time, across every connection.
constexpr const char* schema_lock_sql = "SELECT pg_advisory_xact_lock(20231)";

// The meta row each write transaction counts up, so that a reader learns of a commit with
// one small query.
constexpr const char* count_change_sql =
    "INSERT INTO meta (key, value) VALUES ('data_version', '1') ON CONFLICT (key) DO UPDATE "
    "SET value = CAST(CAST(meta.value AS BIGINT) + 1 AS TEXT)";

// `sql` with each `?` outside quotes numbered as the server wants it: $1, $2, ...
std::string numbered_placeholders(const std::string& sql) {
  std::string out;
  char quote = 0;
  int n = 0;
  for (char c : sql) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '?') {
      out.push_back('$');
      out.append(std::to_string(++n));
      continue;
    }
    out.push_back(c);
  }
  return out;
}

// The name a statement is prepared under on the server, the same for the same text.
std::string statement_name(const std::string& sql) {
  std::string name = std::to_string(std::hash<std::string>{}(sql));
  name.insert(name.begin(), 'v');
  return name;
}

class pg_statement : public sql_statement {
 public:
  pg_statement(pg_connection& c, const std::string& sql)
      : conn_(c), sql_(numbered_placeholders(sql)), name_(statement_name(sql_)) {}
  using sql_statement::bind;
  void bind(int i, std::string_view text) override {
    param(i) = {pg_param::kind::text, std::string(text)};
  }
  void bind(int i, int64_t v) override { param(i) = {pg_param::kind::text, std::to_string(v)}; }
  void bind(int i, double v) override {
    if (!std::isfinite(v)) return bind_null(i);
    // The shortest text that reads back as the same double, which is much cheaper to make than
    // all 17 digits.
    char text[32];
    auto written = std::to_chars(text, text + sizeof text, v);
    param(i) = {pg_param::kind::text, std::string(text, written.ptr)};
  }
  void bind_null(int i) override { param(i) = {}; }
  void bind_blob(int i, const void* data, size_t bytes) override {
    param(i) = {pg_param::kind::bytes, std::string(static_cast<const char*>(data), bytes)};
  }
  // While the connection pipelines a write, the statement is only sent: its failure shows at
  // the next statement that returns rows, or at the commit.
  bool run() override {
    if (!conn_.pipelining()) return sql_statement::run();
    rows_.reset();
    return conn_.send(sql_, params_, name_);
  }
  step_result step() override {
    if (!rows_) {
      rows_ = conn_.query(sql_, params_, name_);
      if (!rows_) return step_result::failed;
      row_ = -1;
    }
    return ++row_ < rows_->size() ? step_result::row : step_result::done;
  }
  void reset() override {
    rows_.reset();
    params_.clear();
  }
  int column_count() const override { return rows_ ? rows_->columns() : 0; }
  std::string column_name(int c) const override { return rows_->name(c); }
  value_kind kind(int c) const override {
    if (rows_->is_null(row_, c)) return value_kind::null;
    switch (rows_->type(c)) {
      case bool_oid:
      case int2_oid:
      case int4_oid:
      case int8_oid:
        return value_kind::integer;
      case float4_oid:
      case float8_oid:
      case numeric_oid:
        return value_kind::real;
      case bytea_oid:
        return value_kind::blob;
      default:
        return value_kind::text;
    }
  }
  std::string text(int c) const override { return std::string(rows_->text(row_, c)); }
  int64_t integer(int c) const override {
    std::string_view t = rows_->text(row_, c);
    if (t == "t") return 1;
    return std::strtoll(std::string(t).c_str(), nullptr, 10);
  }
  double real(int c) const override {
    if (rows_->is_null(row_, c)) return std::nan("");
    return std::strtod(std::string(rows_->text(row_, c)).c_str(), nullptr);
  }
  std::string blob(int c) const override { return rows_->bytes(row_, c); }

 private:
  pg_param& param(int i) {
    if (params_.size() < static_cast<size_t>(i)) params_.resize(static_cast<size_t>(i));
    return params_[static_cast<size_t>(i - 1)];
  }
  pg_connection& conn_;
  std::string sql_, name_;
  std::vector<pg_param> params_;
  std::optional<pg_rows> rows_;
  int row_ = -1;
};

class pg_engine : public sql_engine {
 public:
  pg_engine(pg_connection c, std::string target) : conn_(std::move(c)), name_(std::move(target)) {}
  std::unique_ptr<sql_statement> prepare(const std::string& sql) override {
    return std::make_unique<pg_statement>(conn_, sql);
  }
  bool exec(const std::string& sql) override { return conn_.exec(sql); }
  std::string last_error() const override { return conn_.last_error(); }
  bool failure_is_transient() const override { return conn_.failure_is_transient(); }
  bool recover() override { return !conn_.broken() || conn_.reconnect(); }
  // A store's statements are pipelined: it waits for the server once for the recording's id
  // and once for the commit. A schema change, run statement by statement, is not.
  bool begin_write(bool schema) override {
    writing_ = true;
    if (!schema) conn_.enter_pipeline();
    return conn_.exec("BEGIN") && (!schema || conn_.exec(schema_lock_sql));
  }
  bool begin_read() override {
    writing_ = false;
    return conn_.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  }
  // The count and the commit go in one message: one round trip less for every store.
  bool commit() override {
    bool ok =
        conn_.pipelining()
            ? conn_.send(count_change_sql, {}) && conn_.send("COMMIT", {}) && conn_.end_pipeline()
            : conn_.exec(writing_ ? std::string(count_change_sql) + "; COMMIT" : "COMMIT");
    // A commit whose answer was lost counts as another connection's: a reader then only
    // reads again what it would have kept.
    if (ok && writing_) ++own_commits_;
    return ok;
  }
  bool wait_for_answers() override { return conn_.sync_pipeline(); }
  void rollback() override { conn_.discard("ROLLBACK"); }
  bool ready_for_writing() override { return true; }
  std::string ddl(const std::string& ddl) const override {
    // SQLite's INTEGER holds 64 bits and its REAL is a double; here those are BIGINT and
    // DOUBLE PRECISION, and a row id is an identity column. WITHOUT ROWID is SQLite's alone.
    static const std::vector<std::pair<std::regex, std::string>> rules = {
        {std::regex(R"(\bINTEGER PRIMARY KEY\b)"),
         "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"},
        {std::regex(R"(\bINTEGER\b)"), "BIGINT"},
        {std::regex(R"(\bREAL\b)"), "DOUBLE PRECISION"},
        {std::regex(R"(\bBLOB\b)"), "BYTEA"},
        {std::regex(R"(\) WITHOUT ROWID)"), ")"},
        // The server checks a reference row by row, each check a query of its own: 64 a
        // store, a fifth of its time. Channels and points are only written in the transaction
        // that writes their recording, with its id, and deleted by name before it, so the
        // store keeps the references itself; SQLite's check costs next to nothing and stays.
        {std::regex(R"( REFERENCES recordings \(id\) ON DELETE CASCADE)"), ""}};
    std::string out = ddl;
    for (const auto& [pattern, replacement] : rules)
      out = std::regex_replace(out, pattern, replacement);
    // The points are doubles, which do not compress: the server is spared trying. A channel's
    // points (3 to 4 kB) stay in the row, not cut into chunks of a table aside, up to the
    // largest row a page holds.
    if (out.find("CREATE TABLE points") != std::string::npos)
      out +=
          "\nALTER TABLE points ALTER COLUMN data SET STORAGE EXTERNAL;"
          "\nALTER TABLE points SET (toast_tuple_target = 8160);";
    return out;
  }
  bool deletes_cascade() const override { return false; }
  std::string identifier(const std::string& name) const override {
    // Unquoted names are folded to lower case here, so a quoted one must be too.
    std::string lower;
    for (char c : name)
      lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return "\"" + lower + "\"";
  }
  bool is_blank() override {
    std::optional<pg_rows> r = conn_.query(
        "SELECT count(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
        "c.relnamespace WHERE n.nspname = current_schema() AND c.relkind IN "
        "('r', 'v', 'm', 'p', 'f', 'S')",
        {});
    return r && r->size() == 1 && r->text(0, 0) == "0";
  }
  std::optional<int64_t> schema_version() override {
    std::optional<pg_rows> has = conn_.query("SELECT to_regclass('meta') IS NOT NULL", {});
    if (!has) return std::nullopt;
    if (has->text(0, 0) != "t") return 0;
    std::optional<pg_rows> v =
        conn_.query("SELECT value FROM meta WHERE key = 'schema_version'", {});
    if (!v) return std::nullopt;
    return v->size() == 1 ? std::strtoll(std::string(v->text(0, 0)).c_str(), nullptr, 10) : 0;
  }
  bool set_schema_version(int) override { return true; }
  bool after_ids_given() override {
    return conn_.exec(
        "SELECT setval(pg_get_serial_sequence('recordings', 'id'), coalesce(max(id), 0) + 1, "
        "false) FROM recordings");
  }
  std::optional<int64_t> data_version() override {
    std::optional<pg_rows> v = conn_.query("SELECT value FROM meta WHERE key = 'data_version'", {});
    if (!v) return std::nullopt;
    // The count goes up by one with every write transaction, this connection's too; taking
    // this connection's own out leaves a number that changes only when another one commits.
    const int64_t count =
        v->size() == 1 ? std::strtoll(std::string(v->text(0, 0)).c_str(), nullptr, 10) : 0;
    return count - own_commits_;
  }
  const std::string& name() const override { return name_; }

 private:
  pg_connection conn_;
  int64_t own_commits_ = 0;  // write transactions this connection committed
  std::string name_;
  bool writing_ = false;
};

}  // namespace

std::unique_ptr<sql_engine> open_pg_engine(const std::string& target, std::string& error) {
  if (holds_password(target)) {
    // The target is not repeated: it would show the password.
    error = database_error("(PostgreSQL)",
                           "the target holds a password; give it in ~/.pgpass, "
                           "PGPASSWORD or a service file instead");
    return nullptr;
  }
  std::string why;
  std::optional<pg_connection> c = pg_connection::connect(target, why);
  if (!c) {
    error = database_error(target, why);
    return nullptr;
  }
  return std::make_unique<pg_engine>(std::move(*c), target);
}

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

/// One parameter of a statement sent to a PostgreSQL server: text, raw bytes (a bytea) or NULL.
struct pg_param {
  enum class kind { null, text, bytes };
  kind type = kind::null;
  std::string value;  ///< the text, or the bytes, as sent
};

/// The rows of one statement's answer, freed when destroyed. Rows and columns count from 0.
class pg_rows {
 public:
  pg_rows() = default;
  explicit pg_rows(pg_result* r) : result_(r) {}
  ~pg_rows();
  pg_rows(pg_rows&& other) noexcept;
  pg_rows& operator=(pg_rows&& other) noexcept;
  pg_rows(const pg_rows&) = delete;
  pg_rows& operator=(const pg_rows&) = delete;

  /// The number of rows; 0 without an answer.
  int size() const;
  /// Whether column `c` of row `r` is NULL.
  bool is_null(int r, int c) const;
  /// Column `c` of row `r` in the server's text form ("" for NULL).
  std::string_view text(int r, int c) const;
  /// The number of columns.
  int columns() const;
  /// The name of column `c`.
  std::string name(int c) const;
  /// The type of column `c`, as the server's type number (20 bigint, 701 double, ...).
  unsigned type(int c) const;
  /// Column `c` of row `r`, a bytea in text form, decoded to its bytes ("" for NULL).
  std::string bytes(int r, int c) const;

 private:
  pg_result* result_ = nullptr;
};

/// A connection to a PostgreSQL server through libpq, closed when destroyed. Every failure is
/// kept as a one-line message, with the five-character SQLSTATE when the server gave one.
class pg_connection {
 public:
  ~pg_connection();
  pg_connection(pg_connection&& other) noexcept;
  pg_connection& operator=(pg_connection&&) = delete;
  pg_connection(const pg_connection&) = delete;

  /// Connects with `target`, a postgresql:// URI or libpq's keyword form; the password, when
  /// one is needed, comes the way libpq finds it (~/.pgpass, PGPASSWORD, a service file).
  /// Nothing, with libpq's reason on one line in `error`, when the server cannot be reached or
  /// refuses the login.
  static std::optional<pg_connection> connect(const std::string& target, std::string& error);

  /// Runs `sql`, one or more statements without parameters; false with last_error() set. While
  /// pipelining, one statement is only sent (its failure shows at the next wait); several end
  /// the pipeline first.
  bool exec(const std::string& sql);
  /// Runs one statement with `params` ($1, $2, ...) and returns its rows; nothing, with
  /// last_error() set, on a failure. A statement given a `name` is prepared on the server the
  /// first time and reused after, as long as the connection lasts. While pipelining, it waits
  /// for every answer sent before it too, and fails with the first of them that failed.
  std::optional<pg_rows> query(const std::string& sql, const std::vector<pg_param>& params,
                               const std::string& name = {});

  /// Starts sending statements without waiting for each answer (libpq's pipeline mode), so
  /// that a transaction's statements cost one round trip to the server between the waits;
  /// false when the connection is busy or gone (nothing changes then).
  bool enter_pipeline();
  /// Whether statements are sent without waiting for their answers.
  bool pipelining() const { return pipelining_; }
  /// While pipelining, sends one statement like query() without waiting for its answer; false,
  /// with last_error(), only when it cannot be sent. Not pipelining, it is query().
  bool send(const std::string& sql, const std::vector<pg_param>& params,
            const std::string& name = {});
  /// Waits for the answers of everything sent, pipelining on; false with the first failure's
  /// message. True at once when not pipelining.
  bool sync_pipeline();
  /// Waits for the answers of everything sent and stops pipelining; false with the first
  /// failure's message when one of them failed (the server skipped the rest after it).
  bool end_pipeline();
  /// Runs `sql` for its effect alone, leaving last_error() and last_state() as they were (a
  /// rollback after the failure they describe).
  void discard(const std::string& sql);
  /// Connects again with the same target after the server went away; false with last_error().
  /// The statements prepared before are forgotten.
  bool reconnect();

  /// Why the last call failed, on one line.
  const std::string& last_error() const { return error_; }
  /// The SQLSTATE of the last failure, "" when the server gave none (e.g. the connection broke).
  const std::string& last_state() const { return state_; }
  /// Whether the connection is gone (the server shut it, or went away).
  bool broken() const;
  /// Whether the last failure may pass when the same work is tried again: the connection lost
  /// or refused, the server shutting down or starting, a serialisation failure, a deadlock or
  /// a unique key taken by another writer at the same moment.
  bool failure_is_transient() const;

 private:
  pg_connection(pg_conn* c, std::string target) : conn_(c), target_(std::move(target)) {}
  bool answer_ok(pg_result* r);
  bool send_statement(const std::string& sql, const std::vector<pg_param>& params,
                      const std::string& name);
  bool wait_for_answers(std::optional<pg_rows>* last);
  bool sync_answers(std::optional<pg_rows>* last);
  pg_conn* conn_ = nullptr;
  std::string target_, error_, state_;
  std::vector<std::string> prepared_;
  // While pipelining, one entry for each answer awaited in the order sent: the name of a
  // statement being prepared, or "" for a statement run.
  std::vector<std::string> awaited_;
  bool pipelining_ = false;
};

/// Whether `target` names a PostgreSQL database rather than an SQLite file: a postgresql:// or
/// postgres:// URI, or libpq's keyword form (it holds a "keyword=value" pair).
bool is_postgresql_target(std::string_view target);

/// Whether `target` holds a password, which belongs in ~/.pgpass, PGPASSWORD or a service
/// file instead, where other users' process lists do not show it.
bool holds_password(const std::string& target);

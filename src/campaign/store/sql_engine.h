#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

/// What one step of a statement came to.
enum class step_result { row, done, failed };

/// The kind of a value a statement's column holds in the current row.
enum class value_kind { null, integer, real, text, blob };

/// A prepared statement of either engine. Binding indexes count from 1, columns from 0; `?`
/// marks a parameter in the SQL of both engines.
class sql_statement {
 public:
  virtual ~sql_statement() = default;
  /// Binds text (copied).
  virtual void bind(int i, std::string_view text) = 0;
  /// Binds an integer.
  virtual void bind(int i, int64_t v) = 0;
  /// Binds a double; NaN and infinities are bound as NULL.
  virtual void bind(int i, double v) = 0;
  /// Binds NULL.
  virtual void bind_null(int i) = 0;
  /// Binds a blob (copied); no bytes bind an empty blob, not NULL.
  virtual void bind_blob(int i, const void* data, size_t bytes) = 0;
  /// Binds an integer, or NULL when empty.
  void bind(int i, const std::optional<int64_t>& v);
  /// Binds text, or NULL when empty.
  void bind(int i, const std::optional<std::string>& v);
  /// Runs the statement at the first call and steps to its next row.
  virtual step_result step() = 0;
  /// Steps to the end, for a statement without rows; true when it got there without a failure.
  /// An engine may only send it, its failure then failing the next step or the commit.
  virtual bool run();
  /// Ready to bind and step again.
  virtual void reset() = 0;
  /// The number of columns of the answer.
  virtual int column_count() const = 0;
  /// The name of column `c`.
  virtual std::string column_name(int c) const = 0;
  /// The kind of column `c`'s value in the current row.
  virtual value_kind kind(int c) const = 0;
  /// Column `c` of the current row as text ("" for NULL).
  virtual std::string text(int c) const = 0;
  /// Column `c` as an integer (0 for NULL).
  virtual int64_t integer(int c) const = 0;
  /// Column `c` as a double, NaN for NULL.
  virtual double real(int c) const = 0;
  /// Column `c` as an integer, nothing for NULL.
  std::optional<int64_t> optional_integer(int c) const;
  /// Column `c`'s blob bytes.
  virtual std::string blob(int c) const = 0;
};

/// One open campaign database on either engine: the statements both speak, and each place
/// where their dialects differ.
class sql_engine {
 public:
  virtual ~sql_engine() = default;
  /// Prepares `sql`; nothing, with last_error(), on a failure.
  virtual std::unique_ptr<sql_statement> prepare(const std::string& sql) = 0;
  /// Runs `sql`, one or more statements without parameters or rows; false with last_error().
  virtual bool exec(const std::string& sql) = 0;
  /// Why the last call failed, on one line.
  virtual std::string last_error() const = 0;
  /// Whether the last failure may pass when the work is tried again (a server restarting, a
  /// deadlock between writers); SQLite waits for its lock by itself and has none such.
  virtual bool failure_is_transient() const = 0;
  /// After a passing failure: connects again when the connection was lost; false, with
  /// last_error(), when that does not work yet.
  virtual bool recover() = 0;

  /// Starts a transaction that writes, which waits for the other writers where the engine
  /// needs that; `schema` for one that may change the schema, which only one at a time does.
  virtual bool begin_write(bool schema) = 0;
  /// Starts a transaction that only reads, which sees one committed state throughout.
  virtual bool begin_read() = 0;
  /// Commits the transaction begun, first marking the database changed where data_version()
  /// needs that.
  virtual bool commit() = 0;
  /// Waits until every statement sent was answered, where the engine sends them without
  /// waiting; false, with last_error(), when one of them failed.
  virtual bool wait_for_answers() = 0;
  /// Rolls the transaction back, keeping last_error() as it was.
  virtual void rollback() = 0;

  /// Settings a database takes once it was found to be a campaign's, before it is written
  /// (SQLite's journal and syncing); false with last_error().
  virtual bool ready_for_writing() = 0;
  /// `ddl`, the statements that create or alter the schema written in SQLite's types, in this
  /// engine's dialect; the server's leaves out the references of channels and points to their
  /// recording, which the store keeps.
  virtual std::string ddl(const std::string& ddl) const = 0;
  /// Whether deleting a recording deletes its channels and points too (SQLite's references do);
  /// where not, the store deletes them first.
  virtual bool deletes_cascade() const = 0;
  /// `name` as a quoted identifier in this engine.
  virtual std::string identifier(const std::string& name) const = 0;
  /// Whether the database holds nothing at all: no tables, no views, no version.
  virtual bool is_blank() = 0;
  /// The schema version recorded, 0 when none is; nothing, with last_error(), on a failure or
  /// when the database cannot be read as one of ours.
  virtual std::optional<int64_t> schema_version() = 0;
  /// Records `version` as the schema version, inside the transaction begun.
  virtual bool set_schema_version(int version) = 0;
  /// Work after rows were written with their ids given (copy): the next id follows them.
  virtual bool after_ids_given() = 0;
  /// A number that changes whenever another connection commits to the database; nothing on a
  /// failure.
  virtual std::optional<int64_t> data_version() = 0;
  /// The database's name for messages: the path, or the target as given.
  virtual const std::string& name() const = 0;
};

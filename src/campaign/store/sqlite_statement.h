#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// A prepared SQLite statement, finalised when destroyed. Binding indexes count from 1, columns
/// from 0, as in SQLite.
class sqlite_statement {
 public:
  /// Prepares `sql` on `db`; ok() tells whether that worked.
  sqlite_statement(sqlite3* db, const char* sql);
  ~sqlite_statement();
  sqlite_statement(const sqlite_statement&) = delete;
  sqlite_statement& operator=(const sqlite_statement&) = delete;

  /// Whether the statement was prepared.
  bool ok() const { return stmt_ != nullptr; }
  /// Binds text (copied).
  void bind(int i, std::string_view text);
  /// Binds an integer.
  void bind(int i, int64_t v);
  /// Binds a double; NaN and infinities are bound as NULL.
  void bind(int i, double v);
  /// Binds an integer, or NULL when empty.
  void bind(int i, const std::optional<int64_t>& v);
  /// Binds text, or NULL when empty.
  void bind(int i, const std::optional<std::string>& v);
  /// Binds a blob (copied); no bytes bind an empty blob, not NULL.
  void bind_blob(int i, const void* data, size_t bytes);
  /// One step: SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  /// Steps to the end, for a statement without rows; true when it reached SQLITE_DONE.
  bool run();
  /// Ready to bind and step again.
  void reset();
  /// Column `c` of the current row as text ("" for NULL).
  std::string text(int c) const;
  /// Column `c` as an integer (0 for NULL).
  int64_t integer(int c) const;
  /// Column `c` as a double, NaN for NULL.
  double real(int c) const;
  /// Column `c` as an integer, nothing for NULL.
  std::optional<int64_t> optional_integer(int c) const;
  /// Column `c`'s blob bytes.
  std::string_view blob(int c) const;
  /// The number of columns of the statement's rows.
  int column_count() const;
  /// The name of column `c`.
  std::string column_name(int c) const;
  /// SQLite's type of column `c`'s value in the current row (SQLITE_INTEGER, ... SQLITE_NULL).
  int column_type(int c) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

/// Runs `sql` (one or more statements without results); true on success.
bool sqlite_exec(sqlite3* db, const char* sql);

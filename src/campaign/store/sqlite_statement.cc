#include "campaign/store/sqlite_statement.h"

#include <cmath>
#include <limits>

sqlite_statement::sqlite_statement(sqlite3* db, const char* sql) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
}

sqlite_statement::~sqlite_statement() {
  sqlite3_finalize(stmt_);
}

void sqlite_statement::bind(int i, std::string_view text) {
  sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void sqlite_statement::bind(int i, int64_t v) {
  sqlite3_bind_int64(stmt_, i, v);
}

void sqlite_statement::bind(int i, double v) {
  if (std::isfinite(v))
    sqlite3_bind_double(stmt_, i, v);
  else
    sqlite3_bind_null(stmt_, i);
}

void sqlite_statement::bind(int i, const std::optional<int64_t>& v) {
  if (v)
    bind(i, *v);
  else
    sqlite3_bind_null(stmt_, i);
}

void sqlite_statement::bind(int i, const std::optional<std::string>& v) {
  if (v)
    bind(i, std::string_view(*v));
  else
    sqlite3_bind_null(stmt_, i);
}

void sqlite_statement::bind_blob(int i, const void* data, size_t bytes) {
  // An empty vector's data() may be null, which SQLite would bind as NULL, not as no bytes.
  if (bytes == 0)
    sqlite3_bind_zeroblob(stmt_, i, 0);
  else
    sqlite3_bind_blob64(stmt_, i, data, bytes, SQLITE_TRANSIENT);
}

int sqlite_statement::step() {
  return sqlite3_step(stmt_);
}

bool sqlite_statement::run() {
  return step() == SQLITE_DONE;
}

void sqlite_statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::string sqlite_statement::text(int c) const {
  const unsigned char* t = sqlite3_column_text(stmt_, c);
  return t ? std::string(reinterpret_cast<const char*>(t),
                         static_cast<size_t>(sqlite3_column_bytes(stmt_, c)))
           : std::string();
}

int64_t sqlite_statement::integer(int c) const {
  return sqlite3_column_int64(stmt_, c);
}

double sqlite_statement::real(int c) const {
  if (sqlite3_column_type(stmt_, c) == SQLITE_NULL) return std::numeric_limits<double>::quiet_NaN();
  return sqlite3_column_double(stmt_, c);
}

std::optional<int64_t> sqlite_statement::optional_integer(int c) const {
  if (sqlite3_column_type(stmt_, c) == SQLITE_NULL) return std::nullopt;
  return integer(c);
}

std::string_view sqlite_statement::blob(int c) const {
  const void* data = sqlite3_column_blob(stmt_, c);
  return {static_cast<const char*>(data), static_cast<size_t>(sqlite3_column_bytes(stmt_, c))};
}

int sqlite_statement::column_count() const {
  return sqlite3_column_count(stmt_);
}

std::string sqlite_statement::column_name(int c) const {
  const char* name = sqlite3_column_name(stmt_, c);
  return name ? name : "";
}

int sqlite_statement::column_type(int c) const {
  return sqlite3_column_type(stmt_, c);
}

bool sqlite_exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

#include "campaign/store/pg_connection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// libpq's messages run over several lines ("...failed: ...\n\tIs the server running ...?"); the
// first says what happened and is kept, blanks squeezed, without the severity word.
std::string one_line(const char* message) {
  std::string out;
  const char* p = message ? message : "";
  while (*p == '\n' || *p == ' ') ++p;
  for (; *p && *p != '\n'; ++p) {
    bool blank = *p == '\r' || *p == '\t' || *p == ' ';
    if (!blank)
      out.push_back(*p);
    else if (!out.empty() && out.back() != ' ')
      out.push_back(' ');
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  for (const char* severity : {"ERROR: ", "FATAL: "})
    if (out.rfind(severity, 0) == 0) out.erase(0, std::strlen(severity));
  return out.empty() ? "unknown failure" : out;
}

// The SQLSTATE classes and codes that name a passing condition: connection exceptions (08),
// operator intervention such as a shutdown or a server starting (57P), too many connections
// (53300), a serialisation failure (40001), a deadlock (40P01) and a unique key another writer
// took at the same moment (23505), which a fresh attempt sees committed and replaces.
bool transient_state(const std::string& state) {
  static constexpr const char* codes[] = {"57P01", "57P02", "57P03", "53300",
                                          "40001", "40P01", "23505"};
  if (state.rfind("08", 0) == 0) return true;
  return std::any_of(std::begin(codes), std::end(codes), [&](const char* c) { return state == c; });
}

}  // namespace

pg_rows::~pg_rows() {
  PQclear(result_);
}

pg_rows::pg_rows(pg_rows&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}

pg_rows& pg_rows::operator=(pg_rows&& other) noexcept {
  if (this != &other) {
    PQclear(result_);
    result_ = std::exchange(other.result_, nullptr);
  }
  return *this;
}

int pg_rows::size() const {
  return result_ ? PQntuples(result_) : 0;
}

bool pg_rows::is_null(int r, int c) const {
  return PQgetisnull(result_, r, c) != 0;
}

std::string_view pg_rows::text(int r, int c) const {
  return {PQgetvalue(result_, r, c), static_cast<size_t>(PQgetlength(result_, r, c))};
}

int pg_rows::columns() const {
  return result_ ? PQnfields(result_) : 0;
}

std::string pg_rows::name(int c) const {
  const char* n = PQfname(result_, c);
  return n ? n : "";
}

unsigned pg_rows::type(int c) const {
  return PQftype(result_, c);
}

std::string pg_rows::bytes(int r, int c) const {
  if (is_null(r, c)) return {};
  size_t n = 0;
  unsigned char* raw =
      PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result_, r, c)), &n);
  if (!raw) return {};
  std::string out(reinterpret_cast<const char*>(raw), n);
  PQfreemem(raw);
  return out;
}

pg_connection::~pg_connection() {
  PQfinish(conn_);
}

pg_connection::pg_connection(pg_connection&& other) noexcept
    : conn_(std::exchange(other.conn_, nullptr)),
      target_(std::move(other.target_)),
      error_(std::move(other.error_)),
      state_(std::move(other.state_)),
      prepared_(std::move(other.prepared_)) {}

std::optional<pg_connection> pg_connection::connect(const std::string& target, std::string& error) {
  PGconn* c = PQconnectdb(target.c_str());
  pg_connection conn(c, target);
  if (!c) {
    error = "out of memory";
    return std::nullopt;
  }
  if (PQstatus(c) != CONNECTION_OK) {
    error = one_line(PQerrorMessage(c));
    return std::nullopt;
  }
  // Notices (e.g. "relation already exists, skipping") are not the user's business.
  PQsetNoticeProcessor(
      c, [](void*, const char*) {}, nullptr);
  return conn;
}

bool pg_connection::answer_ok(pg_result* r) {
  ExecStatusType s = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) {
    error_.clear();
    state_.clear();
    return true;
  }
  const char* code = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  state_ = code ? code : "";
  const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  error_ = one_line(primary ? primary : PQerrorMessage(conn_));
  if (PQstatus(conn_) == CONNECTION_BAD) {
    if (state_.empty()) state_ = "08006";
    error_ = "the connection to the server was lost: " + error_;
  }
  return false;
}

bool pg_connection::exec(const std::string& sql) {
  PGresult* r = PQexec(conn_, sql.c_str());
  bool ok = answer_ok(r);
  PQclear(r);
  return ok;
}

std::optional<pg_rows> pg_connection::query(const std::string& sql,
                                            const std::vector<pg_param>& params,
                                            const std::string& name) {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const pg_param& p : params) {
    values.push_back(p.type == pg_param::kind::null ? nullptr : p.value.c_str());
    lengths.push_back(static_cast<int>(p.value.size()));
    formats.push_back(p.type == pg_param::kind::bytes ? 1 : 0);
  }
  const int n = static_cast<int>(params.size());
  PGresult* r = nullptr;
  if (name.empty()) {
    r = PQexecParams(conn_, sql.c_str(), n, nullptr, values.data(), lengths.data(), formats.data(),
                     0);
  } else {
    if (std::find(prepared_.begin(), prepared_.end(), name) == prepared_.end()) {
      PGresult* made = PQprepare(conn_, name.c_str(), sql.c_str(), n, nullptr);
      bool ok = answer_ok(made);
      PQclear(made);
      if (!ok) return std::nullopt;
      prepared_.push_back(name);
    }
    r = PQexecPrepared(conn_, name.c_str(), n, values.data(), lengths.data(), formats.data(), 0);
  }
  pg_rows rows(r);
  if (!answer_ok(r)) return std::nullopt;
  return rows;
}

void pg_connection::discard(const std::string& sql) {
  PQclear(PQexec(conn_, sql.c_str()));
}

bool pg_connection::reconnect() {
  prepared_.clear();
  PQreset(conn_);
  if (PQstatus(conn_) == CONNECTION_OK) return true;
  error_ = one_line(PQerrorMessage(conn_));
  state_ = "08001";
  return false;
}

bool pg_connection::broken() const {
  return PQstatus(conn_) == CONNECTION_BAD;
}

bool pg_connection::failure_is_transient() const {
  return transient_state(state_) || broken();
}

bool is_postgresql_target(std::string_view target) {
  if (target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0) return true;
  if (target.find('=') == std::string_view::npos) return false;
  // Keyword form only when libpq reads it as such: a file named "a=b.sqlite" is not.
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(std::string(target).c_str(), &error);
  PQfreemem(error);
  PQconninfoFree(options);
  return options != nullptr;
}

bool holds_password(const std::string& target) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(target.c_str(), &error);
  PQfreemem(error);
  bool found = false;
  for (PQconninfoOption* o = options; o && o->keyword; ++o)
    found = found || (std::strcmp(o->keyword, "password") == 0 && o->val && *o->val);
  PQconninfoFree(options);
  return found;
}

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

// The parameters of one statement as libpq takes them: values, their lengths and formats (text,
// or binary for raw bytes), pointing into the pg_params, which must outlive them.
struct param_arrays {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  explicit param_arrays(const std::vector<pg_param>& params) {
    for (const pg_param& p : params) {
      values.push_back(p.type == pg_param::kind::null ? nullptr : p.value.c_str());
      lengths.push_back(static_cast<int>(p.value.size()));
      formats.push_back(p.type == pg_param::kind::bytes ? 1 : 0);
    }
  }
  int count() const { return static_cast<int>(values.size()); }
};

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
      prepared_(std::move(other.prepared_)),
      awaited_(std::move(other.awaited_)),
      pipelining_(other.pipelining_) {}

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
  // The extended protocol a pipeline speaks takes one statement at a time.
  if (pipelining_ && sql.find(';') == std::string::npos) return send(sql, {});
  if (pipelining_ && !end_pipeline()) return false;
  PGresult* r = PQexec(conn_, sql.c_str());
  bool ok = answer_ok(r);
  PQclear(r);
  return ok;
}

// Sends `sql` (prepared first under `name` when it was not yet) without reading the answer; each
// answer to await is noted in awaited_. False with last_error() when it cannot be sent.
bool pg_connection::send_statement(const std::string& sql, const std::vector<pg_param>& params,
                                   const std::string& name) {
  const param_arrays a(params);
  const int n = a.count();
  int sent = 0;
  if (name.empty()) {
    sent = PQsendQueryParams(conn_, sql.c_str(), n, nullptr, a.values.data(), a.lengths.data(),
                             a.formats.data(), 0);
  } else {
    bool known = std::find(prepared_.begin(), prepared_.end(), name) != prepared_.end() ||
                 std::find(awaited_.begin(), awaited_.end(), name) != awaited_.end();
    if (!known) {
      if (!PQsendPrepare(conn_, name.c_str(), sql.c_str(), n, nullptr)) return answer_ok(nullptr);
      awaited_.push_back(name);
    }
    sent = PQsendQueryPrepared(conn_, name.c_str(), n, a.values.data(), a.lengths.data(),
                               a.formats.data(), 0);
  }
  if (!sent) return answer_ok(nullptr);
  awaited_.emplace_back();
  return true;
}

// Reads the answers awaited, through the sync that follows them; a statement prepared is known
// from its answer on. The last answer's rows go to `last` when given. False with the first
// failure (the answers after it only say that they were skipped).
bool pg_connection::wait_for_answers(std::optional<pg_rows>* last) {
  bool ok = true;
  for (size_t i = 0; i < awaited_.size(); ++i) {
    while (PGresult* r = PQgetResult(conn_)) {
      ExecStatusType s = PQresultStatus(r);
      bool answered = s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
      if (answered && !awaited_[i].empty()) prepared_.push_back(awaited_[i]);
      if (!answered && s != PGRES_PIPELINE_ABORTED && ok) ok = answer_ok(r);
      if (answered && last && i + 1 == awaited_.size())
        *last = pg_rows(r);
      else
        PQclear(r);
    }
    if (broken()) break;
  }
  awaited_.clear();
  PGresult* sync = broken() ? nullptr : PQgetResult(conn_);
  bool synced = sync && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
  PQclear(sync);
  if (ok && !synced) ok = answer_ok(nullptr);
  if (ok) error_.clear(), state_.clear();
  return ok;
}

std::optional<pg_rows> pg_connection::query(const std::string& sql,
                                            const std::vector<pg_param>& params,
                                            const std::string& name) {
  if (pipelining_) {
    std::optional<pg_rows> rows;
    if (!send_statement(sql, params, name) || !sync_answers(&rows)) return std::nullopt;
    return rows;
  }
  const param_arrays a(params);
  const int n = a.count();
  PGresult* r = nullptr;
  if (name.empty()) {
    r = PQexecParams(conn_, sql.c_str(), n, nullptr, a.values.data(), a.lengths.data(),
                     a.formats.data(), 0);
  } else {
    if (std::find(prepared_.begin(), prepared_.end(), name) == prepared_.end()) {
      PGresult* made = PQprepare(conn_, name.c_str(), sql.c_str(), n, nullptr);
      bool ok = answer_ok(made);
      PQclear(made);
      if (!ok) return std::nullopt;
      prepared_.push_back(name);
    }
    r = PQexecPrepared(conn_, name.c_str(), n, a.values.data(), a.lengths.data(), a.formats.data(),
                       0);
  }
  pg_rows rows(r);
  if (!answer_ok(r)) return std::nullopt;
  return rows;
}

bool pg_connection::enter_pipeline() {
  pipelining_ = pipelining_ || PQenterPipelineMode(conn_) == 1;
  return pipelining_;
}

bool pg_connection::send(const std::string& sql, const std::vector<pg_param>& params,
                         const std::string& name) {
  if (!pipelining_) return query(sql, params, name).has_value();
  return send_statement(sql, params, name);
}

bool pg_connection::sync_answers(std::optional<pg_rows>* last) {
  if (PQpipelineSync(conn_) == 1) return wait_for_answers(last);
  awaited_.clear();
  return answer_ok(nullptr);
}

bool pg_connection::sync_pipeline() {
  return !pipelining_ || sync_answers(nullptr);
}

bool pg_connection::end_pipeline() {
  if (!pipelining_) return true;
  bool ok = sync_answers(nullptr);
  // Leaving fails only on a lost connection, which reconnect() starts afresh.
  pipelining_ = PQexitPipelineMode(conn_) != 1;
  return ok;
}

void pg_connection::discard(const std::string& sql) {
  std::string error = error_, state = state_;
  end_pipeline();
  PQclear(PQexec(conn_, sql.c_str()));
  error_ = std::move(error);
  state_ = std::move(state);
}

bool pg_connection::reconnect() {
  prepared_.clear();
  awaited_.clear();
  PQreset(conn_);
  pipelining_ = PQpipelineStatus(conn_) != PQ_PIPELINE_OFF && PQexitPipelineMode(conn_) != 1;
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

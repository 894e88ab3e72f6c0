#include "campaign/store/campaign_copy.h"

#include <memory>
#include <vector>

#include "campaign/store/sql_engine.h"

namespace {

// The tables in an order that keeps every row's references satisfied, each with the order of
// its rows, so that a copy is the same whichever engine it came from.
struct table_order {
  const char* name;
  const char* order;
};
constexpr table_order tables[] = {{"meta", "key"},
                                  {"recordings", "id"},
                                  {"channels", "recording_id, channel"},
                                  {"points", "recording_id, channel"},
                                  {"characterisation", "chip, channel"}};

// The meta rows each database has of its own, which a copy neither carries nor counts: what it
// is, its version, and the count of changes a server keeps for its readers.
constexpr const char* own_meta =
    "key NOT IN ('schema', 'schema_version', 'created', 'data_version')";

std::string where_of(const table_order& t) {
  return std::string(t.name) == "meta" ? std::string(" WHERE ") + own_meta : std::string();
}

bool count_in(sql_engine& db, table_counts& counts) {
  for (const table_order& t : tables) {
    std::unique_ptr<sql_statement> s =
        db.prepare(std::string("SELECT count(*) FROM ") + t.name + where_of(t));
    if (!s || s->step() != step_result::row) return false;
    counts[t.name] = s->integer(0);
  }
  return true;
}

// Binds column `c` of `from`'s current row as parameter `c` + 1 of `to`.
void bind_value(const sql_statement& from, int c, sql_statement& to) {
  switch (from.kind(c)) {
    case value_kind::null:
      return to.bind_null(c + 1);
    case value_kind::integer:
      return to.bind(c + 1, from.integer(c));
    case value_kind::real:
      return to.bind(c + 1, from.real(c));
    case value_kind::blob: {
      std::string bytes = from.blob(c);
      return to.bind_blob(c + 1, bytes.data(), bytes.size());
    }
    case value_kind::text:
      return to.bind(c + 1, std::string_view(from.text(c)));
  }
}

// Copies table `t` row by row, by column name, so that a column order that differs between
// the engines (a file upgraded in place adds columns at the end) does not matter. The engine
// that failed, or nothing.
sql_engine* copy_table(sql_engine& from, sql_engine& to, const table_order& t) {
  std::unique_ptr<sql_statement> rows =
      from.prepare(std::string("SELECT * FROM ") + t.name + where_of(t) + " ORDER BY " + t.order);
  if (!rows) return &from;
  std::unique_ptr<sql_statement> insert;
  step_result rc;
  while ((rc = rows->step()) == step_result::row) {
    if (!insert) {
      std::string columns, marks;
      for (int c = 0; c < rows->column_count(); ++c) {
        columns += (c ? ", " : "") + to.identifier(rows->column_name(c));
        marks += c ? ", ?" : "?";
      }
      std::string sql =
          std::string("INSERT INTO ") + t.name + " (" + columns + ") VALUES (" + marks + ")";
      if (std::string(t.name) == "meta")
        sql += " ON CONFLICT (key) DO UPDATE SET value = excluded.value";
      insert = to.prepare(sql);
      if (!insert) return &to;
    }
    for (int c = 0; c < rows->column_count(); ++c) bind_value(*rows, c, *insert);
    if (!insert->run()) return &to;
    insert->reset();
  }
  return rc == step_result::done ? nullptr : &from;
}

bool is_empty(const table_counts& counts) {
  for (const auto& [table, rows] : counts)
    if (rows != 0) return false;
  return true;
}

bool clear(sql_engine& db) {
  return db.exec(
      "DELETE FROM points; DELETE FROM channels; DELETE FROM recordings; "
      "DELETE FROM characterisation; DELETE FROM meta WHERE " +
      std::string(own_meta));
}

}  // namespace

bool count_tables(campaign_db& db, table_counts& counts, std::string& error) {
  sql_engine& e = db.engine();
  if (e.begin_read() && count_in(e, counts) && e.commit()) return true;
  error = database_error(db.path(), e.last_error());
  e.rollback();
  return false;
}

bool copy_campaign(campaign_db& from, campaign_db& to, bool replace, table_counts& copied,
                   std::string& error) {
  sql_engine& src = from.engine();
  sql_engine& dst = to.engine();
  table_counts held;
  if (!dst.begin_write(false) || !count_in(dst, held)) {
    error = database_error(to.path(), dst.last_error());
    dst.rollback();
    return false;
  }
  if (!is_empty(held) && !replace) {
    dst.rollback();
    error = database_error(to.path(), "it holds a campaign already (" +
                                          std::to_string(held["recordings"]) +
                                          " recordings); give --replace to overwrite it");
    return false;
  }
  sql_engine* failed = src.begin_read() && count_in(src, copied) ? nullptr : &src;
  if (!failed && !is_empty(held) && !clear(dst)) failed = &dst;
  for (const table_order& t : tables)
    if (!failed) failed = copy_table(src, dst, t);
  if (!failed && !dst.after_ids_given()) failed = &dst;
  if (!failed && !dst.commit()) failed = &dst;
  if (!failed) {
    src.commit();
    return true;
  }
  error = database_error(failed == &src ? from.path() : to.path(), failed->last_error());
  src.rollback();
  dst.rollback();
  return false;
}

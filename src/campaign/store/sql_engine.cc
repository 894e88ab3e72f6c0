#include "campaign/store/sql_engine.h"

void sql_statement::bind(int i, const std::optional<int64_t>& v) {
  if (v)
    bind(i, *v);
  else
    bind_null(i);
}

void sql_statement::bind(int i, const std::optional<std::string>& v) {
  if (v)
    bind(i, std::string_view(*v));
  else
    bind_null(i);
}

bool sql_statement::run() {
  step_result r;
  while ((r = step()) == step_result::row) {
  }
  return r == step_result::done;
}

std::optional<int64_t> sql_statement::optional_integer(int c) const {
  if (kind(c) == value_kind::null) return std::nullopt;
  return integer(c);
}

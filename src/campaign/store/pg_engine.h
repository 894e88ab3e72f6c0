#pragma once

#include <memory>
#include <string>

#include "campaign/store/sql_engine.h"

/// Opens the campaign database on the PostgreSQL server that `target` names (a postgresql://
/// URI or libpq's keyword form). Nothing, with "cannot use database TARGET: REASON" in `error`,
/// when it holds a password (which belongs in ~/.pgpass, PGPASSWORD or a service file), or the
/// server cannot be reached or refuses the login.
std::unique_ptr<sql_engine> open_pg_engine(const std::string& target, std::string& error);

#pragma once

#include <string>
#include <vector>

#include "tools/pg_scratch_server.h"

// The PostgreSQL server these tests use: one scratch server per test process, started by main
// before the tests (the process exits 77, skipped, when it cannot be) and stopped after them.

/// The server of this test process.
pg_scratch_server& test_server();

/// Makes the empty database `name` on the server; its libpq target.
std::string fresh_database(const std::string& name);

/// The rows of `sql` on `target`, each row's columns joined by "|" (NULL as ""); a failure
/// fails the test and gives no rows.
std::vector<std::string> pg_query(const std::string& target, const std::string& sql);

#pragma once

#include <memory>
#include <string>

#include "campaign/store/sql_engine.h"

/// Opens the SQLite campaign database file at `path`: for writing, creating it when there is no
/// file or an empty one; `read_only`, an existing file only, opened as immutable in a folder
/// this process cannot write to (a read-only mount), so that no side file is made there.
/// Nothing, with "cannot use database PATH: REASON" in `error`, on a failure.
std::unique_ptr<sql_engine> open_sqlite_engine(const std::string& path, bool read_only,
                                               std::string& error);

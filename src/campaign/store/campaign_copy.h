#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "campaign/store/campaign_db.h"

/// The number of rows in each table of a campaign (meta rows of the campaign's own keys left
/// out), by table name.
using table_counts = std::map<std::string, int64_t>;

/// The rows of each table of `db`, counted in one read transaction; false with `error`.
bool count_tables(campaign_db& db, table_counts& counts, std::string& error);

/// Copies every table of `from` into `to`, either engine to either, rows and ids as they are, in
/// one transaction of `to`: whole or not at all. `to` must hold no recording, characterisation
/// or meta row of its own unless `replace`, when what it holds is deleted first (in the same
/// transaction). The rows counted in `from` come back in `copied`. False, with a one-line
/// reason in `error` and `to` unchanged, on any failure or refusal.
bool copy_campaign(campaign_db& from, campaign_db& to, bool replace, table_counts& copied,
                   std::string& error);

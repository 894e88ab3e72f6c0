#pragma once

#include <functional>
#include <string>

/// What `varnel-campaign serve` is told.
struct serve_options {
  std::string db;                  ///< the campaign database, read only
  std::string limits;              ///< acceptance limits (TOML) instead of the stored ones; ""
  std::string bind = "127.0.0.1";  ///< the address listened on
  int port = 8080;                 ///< the TCP port; 0 for any free one
  std::string vega_dir;            ///< where the Vega modules are
};

/// How serving ended.
enum class serve_end {
  stopped,   ///< by SIGINT or SIGTERM, after answering what was asked
  usage,     ///< the limits or the Vega modules are unusable
  database,  ///< the database cannot be opened or read
  address,   ///< the address cannot be listened on (e.g. the port is taken)
};

/// Serves the campaign of `o.db` over HTTP until SIGINT or SIGTERM: the live page at /, a chip
/// at /chip/CHIP, the bench view at /bench and the JSON endpoints under /api/ (docs/campaign.md,
/// "Serving the campaign"). The database is read again within a fraction of a second of every
/// commit to it. `ready` is told the page's address once it listens. On a failure, the reason
/// in one line in `error`.
serve_end serve_campaign(const serve_options& o,
                         const std::function<void(const std::string&)>& ready, std::string& error);

/// Whether `host` (a request's Host header) names the loopback address a server bound to
/// loopback listens on, at `port`: "127.0.0.1", "localhost" or "[::1]", with or without the
/// port. A page elsewhere that renames itself to such an address is refused this way.
bool loopback_host(const std::string& host, int port);

/// Whether `address` is a loopback address ("127.0.0.1" and the rest of 127/8, "::1",
/// "localhost").
bool loopback_address(const std::string& address);

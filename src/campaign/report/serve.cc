#include "campaign/report/serve.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "campaign/report/campaign_api.h"
#include "campaign/report/campaign_report.h"
#include "campaign/report/vega_bundle.h"
#include "campaign/store/pg_connection.h"
#include "results/json_text.h"

using nlohmann::json;

namespace {

// How often the database is asked whether another connection committed: well inside the
// second in which the bench view shows a new result.
constexpr auto watch_interval = std::chrono::milliseconds(150);

// Requests are small: a path and a query.
constexpr size_t max_request_body = 1 << 16;

// The database, opened for reading. The one place the server opens it.
std::optional<campaign_db> open_for_reading(const std::string& path, std::string& error) {
  // On a server nothing is made or changed: a reader's role suffices.
  if (is_postgresql_target(path)) return campaign_db::open_read_only(path, error);
  if (access(path.c_str(), F_OK) != 0) {
    error = database_error(path, "no such file");
    return std::nullopt;
  }
  return campaign_db::open(path, error);
}

// The campaign as last loaded, and the database for what is loaded on request. The connection
// is not shared between threads, so every use of it holds `db_mutex_`.
class served_campaign {
 public:
  served_campaign(campaign_db db, std::string limits_path)
      : db_(std::move(db)), limits_path_(std::move(limits_path)) {}

  // Loads the campaign again when another connection committed since it was loaded (or it
  // never was); false with `error` when that fails, the campaign as it was kept.
  bool refresh(std::string& error) {
    std::lock_guard<std::mutex> lock(db_mutex_);
    std::optional<int64_t> version = db_.data_version();
    if (!version) {
      error = database_error(db_.path(), "cannot read its data_version");
      return false;
    }
    if (current() && current()->version == *version) return true;
    std::shared_ptr<const campaign_snapshot> loaded =
        load_snapshot(db_, limits_path_, *version, error);
    if (!loaded) return false;
    auto text = std::make_shared<const std::string>(script_json_text(summary_json(*loaded)));
    std::lock_guard<std::mutex> swap(snapshot_mutex_);
    snapshot_ = std::move(loaded);
    summary_text_ = std::move(text);
    return true;
  }

  std::shared_ptr<const campaign_snapshot> current() const {
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    return snapshot_;
  }
  std::shared_ptr<const std::string> summary_text() const {
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    return summary_text_;
  }
  // `answer(snapshot, db)` with the database held.
  template <typename F>
  auto with_db(F answer) {
    std::shared_ptr<const campaign_snapshot> s = current();
    std::lock_guard<std::mutex> lock(db_mutex_);
    return answer(*s, db_);
  }

 private:
  std::mutex db_mutex_;
  campaign_db db_;
  std::string limits_path_;
  mutable std::mutex snapshot_mutex_;
  std::shared_ptr<const campaign_snapshot> snapshot_;
  std::shared_ptr<const std::string> summary_text_;
};

void send_json(httplib::Response& res, const json& j) {
  res.set_content(script_json_text(j), "application/json; charset=utf-8");
}

void send_problem(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  send_json(res, {{"error", message}});
}

// The page `req`'s offset and limit ask for; nothing, with a 400 sent, when they are not
// numbers in range.
std::optional<page_request> asked_page(const httplib::Request& req, httplib::Response& res) {
  std::optional<page_request> p =
      parse_page(req.get_param_value("offset"), req.get_param_value("limit"));
  if (!p)
    send_problem(
        res, 400,
        "offset and limit must be whole numbers, limit 1 to " + std::to_string(max_page_items));
  return p;
}

bool known_outcome(const std::string& outcome) {
  for (chip_outcome o : {chip_outcome::pass, chip_outcome::fail, chip_outcome::retest,
                         chip_outcome::not_judged, chip_outcome::incomplete})
    if (outcome == outcome_name(o)) return true;
  return outcome.empty();
}

// Sends `answer`, nothing (a 404 naming `what`) or a database failure (503).
void send_found(httplib::Response& res, const std::optional<json>& answer, const std::string& what,
                const std::string& error) {
  if (answer)
    send_json(res, *answer);
  else if (!error.empty())
    send_problem(res, 503, error);
  else
    send_problem(res, 404, what);
}

void add_api(httplib::Server& server, served_campaign& campaign) {
  server.Get("/api/version", [&](const httplib::Request&, httplib::Response& res) {
    send_json(res, version_json(*campaign.current()));
  });
  server.Get("/api/summary", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(*campaign.summary_text(), "application/json; charset=utf-8");
  });
  server.Get("/api/verdicts", [&](const httplib::Request& req, httplib::Response& res) {
    std::optional<page_request> p = asked_page(req, res);
    std::string outcome = req.get_param_value("outcome");
    if (!p) return;
    if (!known_outcome(outcome)) return send_problem(res, 400, "no such outcome: " + outcome);
    send_json(res, verdicts_page(*campaign.current(), *p, outcome));
  });
  server.Get("/api/failing", [&](const httplib::Request& req, httplib::Response& res) {
    if (std::optional<page_request> p = asked_page(req, res))
      send_json(res, failing_page(*campaign.current(), *p));
  });
  server.Get("/api/chips", [&](const httplib::Request& req, httplib::Response& res) {
    if (std::optional<page_request> p = asked_page(req, res))
      send_json(res, chips_page(*campaign.current(), *p));
  });
  server.Get("/api/chip/(.+)", [&](const httplib::Request& req, httplib::Response& res) {
    std::string chip = req.matches[1], error;
    std::optional<json> answer = campaign.with_db(
        [&](const campaign_snapshot& s, campaign_db& db) { return chip_json(s, db, chip, error); });
    send_found(res, answer, "no chip " + chip + " in this campaign", error);
  });
  server.Get("/api/latest", [&](const httplib::Request&, httplib::Response& res) {
    std::string error;
    std::optional<json> answer = campaign.with_db(
        [&](const campaign_snapshot& s, campaign_db& db) { return latest_json(s, db, error); });
    send_found(res, answer, "no recording stored yet", error);
  });
}

// Sends the page `text`, which outlives the answer, as it is with its length. A whole body of
// HTML handed to the library is compressed afresh for every request whose browser accepts
// Brotli, at Brotli's slowest setting: a second of the server's time per request for the
// campaign's half-megabyte page, a browser's first screen held back by as much. A body given by
// a provider of known length is sent as it is.
void send_page(httplib::Response& res, std::string_view text) {
  res.set_content_provider(text.size(), "text/html; charset=utf-8",
                           [text](size_t offset, size_t length, httplib::DataSink& sink) {
                             return sink.write(text.data() + offset, length);
                           });
}

void add_pages(httplib::Server& server, served_campaign& campaign, const std::string& page) {
  server.Get("/", [&](const httplib::Request&, httplib::Response& res) { send_page(res, page); });
  server.Get("/chip/(.+)", [&](const httplib::Request& req, httplib::Response& res) {
    if (campaign.current()->verdicts_of_chip.count(req.matches[1]) == 0) {
      res.status = 404;
      return res.set_content("<!DOCTYPE html><title>No such chip</title><p>No chip " +
                                 html_escape(req.matches[1]) +
                                 " in this campaign. <a href=\"/\">The campaign</a></p>",
                             "text/html; charset=utf-8");
    }
    send_page(res, page);
  });
  server.Get("/bench", [](const httplib::Request&, httplib::Response& res) {
    send_page(res, report_file("bench.html"));
  });
  // The pages' scripts, the .js files of src/campaign/report/ by name; nothing else is served
  // from there.
  server.Get("/assets/([a-z_]+\\.js)", [](const httplib::Request& req, httplib::Response& res) {
    std::string_view script = report_file(req.matches[1].str());
    if (script.empty()) return send_problem(res, 404, "no such file");
    res.set_content(std::string(script), "application/javascript; charset=utf-8");
  });
}

// Anything but GET and HEAD is refused: the server changes nothing.
void refuse_writes(httplib::Server& server) {
  auto refuse = [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Allow", "GET, HEAD");
    send_problem(res, 405, "only GET and HEAD are answered");
  };
  server.Post(".*", refuse);
  server.Put(".*", refuse);
  server.Patch(".*", refuse);
  server.Delete(".*", refuse);
  server.Options(".*", refuse);
}

void harden(httplib::Server& server, bool loopback, const int& port) {
  server.set_payload_max_length(max_request_body);
  server.set_read_timeout(5, 0);
  server.set_keep_alive_timeout(5);
  // Only SO_REUSEADDR: SO_REUSEPORT, the library's default, would let a second server share a
  // port that is taken.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                              {"Cache-Control", "no-store"},
                              {"Referrer-Policy", "no-referrer"},
                              {"X-Frame-Options", "DENY"}});
  server.set_pre_routing_handler(
      [loopback, &port](const httplib::Request& req, httplib::Response& res) {
        if (!loopback || loopback_host(req.get_header_value("Host"), port))
          return httplib::Server::HandlerResponse::Unhandled;
        send_problem(res, 421, "this server answers to 127.0.0.1 and localhost only");
        return httplib::Server::HandlerResponse::Handled;
      });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty())
      send_problem(res, res.status, res.status == 404 ? "nothing here" : "malformed request");
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        send_problem(res, 500, "the answer could not be made");
      });
}

// Stops `server` on SIGINT or SIGTERM, which the calling thread and every thread started after
// it leave to this one; returns once `done` is set.
std::thread stop_on_signal(httplib::Server& server, std::atomic<bool>& done) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return std::thread([&server, &done, signals] {
    timespec wait = {0, 200'000'000};
    while (!done) {
      if (sigtimedwait(&signals, nullptr, &wait) > 0) {
        server.stop();
        return;
      }
    }
  });
}

// Refreshes `campaign` every watch_interval until `done`; a failure is reported once until the
// next success.
std::thread watch_database(served_campaign& campaign, std::atomic<bool>& done) {
  return std::thread([&campaign, &done] {
    bool failing = false;
    while (!done) {
      std::this_thread::sleep_for(watch_interval);
      std::string error;
      bool ok = campaign.refresh(error);
      if (!ok && !failing) std::fprintf(stderr, "varnel-campaign: serve: %s\n", error.c_str());
      failing = !ok;
    }
  });
}

std::string url_host(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

bool loopback_address(const std::string& address) {
  return address == "localhost" || address == "::1" || address.starts_with("127.");
}

bool loopback_host(const std::string& host, int port) {
  std::string_view name = host;
  std::string suffix(1, ':');
  suffix += std::to_string(port);
  if (name.ends_with(suffix)) name.remove_suffix(suffix.size());
  return name == "127.0.0.1" || name == "localhost" || name == "[::1]";
}

serve_end serve_campaign(const serve_options& o,
                         const std::function<void(const std::string&)>& ready, std::string& error) {
  std::optional<campaign_db> db = open_for_reading(o.db, error);
  if (!db) return serve_end::database;
  served_campaign campaign(std::move(*db), o.limits);
  std::string vega;
  if (!campaign.refresh(error)) return serve_end::database;
  for (const std::string& w : campaign.current()->warnings)
    std::fprintf(stderr, "varnel-campaign: %s\n", w.c_str());
  if (!vega_scripts(o.vega_dir, vega, error)) return serve_end::usage;
  const std::string page = report_page(o.db, vega, "", report_file("live.js"));
  httplib::Server server;
  int port = o.port;
  harden(server, loopback_address(o.bind), port);
  add_api(server, campaign);
  add_pages(server, campaign, page);
  refuse_writes(server);
  errno = 0;
  bool bound = o.port == 0 ? (port = server.bind_to_any_port(o.bind)) > 0
                           : server.bind_to_port(o.bind, o.port);
  if (!bound) {
    error = "serve: cannot listen on " + o.bind + ":" + std::to_string(o.port) + ": " +
            (errno ? std::strerror(errno) : "not an address of this machine");
    return serve_end::address;
  }
  std::atomic<bool> done = false;
  std::thread stopper = stop_on_signal(server, done);
  std::thread watcher = watch_database(campaign, done);
  ready("http://" + url_host(o.bind) + ":" + std::to_string(port) + "/");
  server.listen_after_bind();
  done = true;
  stopper.join();
  watcher.join();
  return serve_end::stopped;
}

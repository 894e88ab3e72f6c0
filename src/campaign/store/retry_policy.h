#pragma once

#include <functional>
#include <optional>
#include <string>

/// How long work on a database server is tried again after a passing failure (the server
/// restarting, unreachable for a moment, a deadlock between writers) before it is given up.
struct retry_policy {
  double budget_s = 120.0;      ///< seconds from the first failure after which no try is made
  double first_wait_s = 0.05;   ///< seconds before the second try; doubled after each one
  double longest_wait_s = 5.0;  ///< seconds, the most waited between two tries
};

/// The environment variable that sets retry_policy::budget_s, in seconds (0 tries once).
inline constexpr const char* retry_budget_variable = "VARNEL_CAMPAIGN_RETRY";

/// The policy in force: the default, with the budget of $VARNEL_CAMPAIGN_RETRY when that is set.
/// Nothing, with a one-line reason in `error`, when it is set to anything but seconds >= 0.
std::optional<retry_policy> retry_policy_in_force(std::string& error);

/// The tries of one piece of work under a policy: each call of wait_before_next() after a
/// failure waits the next interval and says whether a try is still due.
class retry_clock {
 public:
  /// Seconds of a monotonic clock, and a wait of so many seconds; the real ones by default.
  using now_fn = std::function<double()>;
  using sleep_fn = std::function<void(double)>;

  explicit retry_clock(const retry_policy& p, now_fn now = {}, sleep_fn sleep = {});
  /// After a failed try: false when the budget is spent (nothing waited), else waits the next
  /// interval, cut to what is left of the budget, and returns true.
  bool wait_before_next();
  /// Tries made so far besides the first.
  int retries() const { return retries_; }

 private:
  retry_policy policy_;
  now_fn now_;
  sleep_fn sleep_;
  double started_ = -1, wait_s_;
  int retries_ = 0;
};

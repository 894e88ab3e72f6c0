#include "campaign/store/retry_policy.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

std::optional<retry_policy> retry_policy_in_force(std::string& error) {
  retry_policy p;
  const char* text = std::getenv(retry_budget_variable);
  if (!text) return p;
  char* end = nullptr;
  double s = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(s >= 0) || !std::isfinite(s)) {
    error = std::string(retry_budget_variable) + ": not a number of seconds >= 0: " + text;
    return std::nullopt;
  }
  p.budget_s = s;
  return p;
}

retry_clock::retry_clock(const retry_policy& p, now_fn now, sleep_fn sleep)
    : policy_(p), now_(std::move(now)), sleep_(std::move(sleep)), wait_s_(p.first_wait_s) {
  if (!now_)
    now_ = [] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
  if (!sleep_)
    sleep_ = [](double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); };
}

bool retry_clock::wait_before_next() {
  double t = now_();
  if (started_ < 0) started_ = t;
  double left = policy_.budget_s - (t - started_);
  if (left <= 0) return false;
  sleep_(std::min(wait_s_, left));
  wait_s_ = std::min(wait_s_ * 2, policy_.longest_wait_s);
  ++retries_;
  return true;
}

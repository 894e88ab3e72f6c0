#include "fit/fit_verdict.h"

#include <array>

namespace {

// By the enumerators' order.
constexpr std::array<std::string_view, 9> verdict_names = {
    "good",     "no_usable_points", "too_few_points", "no_pulse",  "saturated",
    "poor_fit", "not_converged",    "unphysical",     "few_events"};

}  // namespace

std::string_view verdict_name(fit_verdict v) {
  auto i = static_cast<size_t>(v);
  return i < verdict_names.size() ? verdict_names[i] : "unknown";
}

std::optional<fit_verdict> verdict_named(std::string_view name) {
  for (size_t i = 0; i < verdict_names.size(); ++i)
    if (verdict_names[i] == name) return static_cast<fit_verdict>(i);
  return std::nullopt;
}

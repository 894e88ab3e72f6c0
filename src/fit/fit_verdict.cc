#include "fit/fit_verdict.h"

std::string_view verdict_name(fit_verdict v) {
  switch (v) {
    case fit_verdict::good:
      return "good";
    case fit_verdict::no_usable_points:
      return "no_usable_points";
    case fit_verdict::too_few_points:
      return "too_few_points";
    case fit_verdict::no_pulse:
      return "no_pulse";
    case fit_verdict::saturated:
      return "saturated";
    case fit_verdict::poor_fit:
      return "poor_fit";
    case fit_verdict::not_converged:
      return "not_converged";
    case fit_verdict::unphysical:
      return "unphysical";
  }
  return "unknown";
}

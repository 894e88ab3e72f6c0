#include "fit/configuration_check.h"

#include <cmath>
#include <limits>
#include <utility>

#include "fit/fit_judgement.h"

namespace {

constexpr double not_measured = std::numeric_limits<double>::quiet_NaN();

}  // namespace

bool fits_look_doubtful(const std::vector<channel_fit>& fits) {
  const double misfit = median_misfit(fits);
  if (std::isfinite(misfit)) return misfit > max_good_misfit;
  return median_chi2_per_ndf(fits) > doubtful_median_chi2_per_ndf;
}

double fit_ratio(const std::vector<channel_fit>& own, const std::vector<channel_fit>& other) {
  const double own_median = median_chi2_per_ndf(own), other_median = median_chi2_per_ndf(other);
  if (!(own_median > 0.0) || !(other_median > 0.0)) return not_measured;
  return own_median / other_median;
}

configuration_check check_configuration(const std::vector<channel_fit>& own,
                                        const std::vector<channel_fit>* other,
                                        const std::string& other_name) {
  configuration_check check;
  check.own_misfit = median_misfit(own);
  check.other_misfit = other ? median_misfit(*other) : not_measured;
  if (other && fit_ratio(own, *other) >= min_better_fit_ratio) check.looks_like = other_name;
  return check;
}

#pragma once

#include <string>
#include <vector>

#include "fit/channel_fits.h"
#include "fit/rise_time_fit.h"

/// Without a misfit, a recording whose channels' median chi2/ndf is above this is doubtful
/// enough that the other configuration's framing is fitted too: the simulator's exact shape
/// stays near 1, a wrong framing starts near 57.
inline constexpr double doubtful_median_chi2_per_ndf = 25.0;

/// The other framing fits much better when its median chi2/ndf is at most the own one's divided
/// by this. A ratio of the same data's two fits does not grow with the events, as chi2/ndf does.
inline constexpr double min_better_fit_ratio = 10.0;

/// Whether `fits` are doubtful enough to try the other configuration's framing: their median
/// misfit is above max_good_misfit (real chips' shapes stay below it at any number of events, a
/// wrong framing's is about 16 %), or, without one, their median chi2/ndf is high.
bool fits_look_doubtful(const std::vector<channel_fit>& fits);

/// The check of a recording's own fits `own` against `other`, the same recording's fits in the
/// framing of the configuration named `other_name`; `other` null when that was not tried. The
/// recording looks like `other_name` only when `other` fits at least min_better_fit_ratio times
/// better by the median chi2/ndf.
configuration_check check_configuration(const std::vector<channel_fit>& own,
                                        const std::vector<channel_fit>* other,
                                        const std::string& other_name);

/// The ratio of `own`'s median chi2/ndf to `other`'s; NaN when either has no fit with ndf > 0.
double fit_ratio(const std::vector<channel_fit>& own, const std::vector<channel_fit>& other);

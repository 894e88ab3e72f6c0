#include "fit/channel_fits.h"

#include <algorithm>

#include "fit/fit_messages.h"

std::vector<channel_fit> fit_all_channels(const snapshot_table& table, double peak_time_guess,
                                          diagnostics& notes) {
  std::vector<channel_fit> fits;
  fits.reserve(table.size());
  for (size_t ch = 0; ch < table.size(); ++ch) {
    // Every channel starts afresh: nothing of the previous channel's fit carries over.
    channel_fit f = fit_channel(table[ch], peak_time_guess);
    if (std::string note = verdict_note(static_cast<int>(ch), f); !note.empty())
      notes.push_back(note);
    fits.push_back(f);
  }
  return fits;
}

double median_chi2_per_ndf(const std::vector<channel_fit>& fits) {
  std::vector<double> values;
  for (const channel_fit& f : fits)
    if (f.ndf > 0) values.push_back(f.chi2 / f.ndf);
  if (values.empty()) return 0.0;
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

bool suggests_wrong_configuration(const std::vector<channel_fit>& fits) {
  return median_chi2_per_ndf(fits) > max_right_median_chi2_per_ndf;
}

#include "fit/channel_fits.h"

#include "fit/fit_messages.h"

std::vector<channel_fit> fit_all_channels(const snapshot_table& table, double peak_time_guess,
                                          diagnostics& notes) {
  std::vector<channel_fit> fits;
  fits.reserve(table.size());
  for (size_t ch = 0; ch < table.size(); ++ch) {
    // Every channel starts afresh: nothing of the previous channel's fit carries over.
    channel_fit f = fit_channel(table[ch], peak_time_guess);
    if (f.usable_points > 0 && !f.converged)
      notes.push_back(fit_not_converged(static_cast<int>(ch)));
    fits.push_back(f);
  }
  return fits;
}

#include "fit/channel_fits.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <utility>

#include "fit/fit_judgement.h"
#include "fit/fit_messages.h"
#include "numerics/robust_statistics.h"

std::vector<channel_fit> fit_all_channels(const snapshot_table& table, double peak_time_guess,
                                          int64_t events, diagnostics& notes, int threads) {
  // Every channel starts afresh: nothing of another channel's fit carries over, so the channels
  // may be fitted in any order and on any thread.
  std::vector<channel_fit> fits(table.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t ch = next++; ch < table.size(); ch = next++)
      fits[ch] = fit_channel(table[ch], peak_time_guess);
  };
  const size_t helpers = std::min<size_t>(std::max(threads, 1) - 1, table.size());
  std::vector<std::thread> pool;
  for (size_t i = 0; i < helpers; ++i) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  int few_events = 0;
  for (size_t ch = 0; ch < fits.size(); ++ch) {
    fit_verdict judged = fits[ch].verdict;
    fits[ch].verdict = judge_events(judged, events);
    if (fits[ch].verdict != judged) fits[ch].replaced_verdict = judged;
    few_events += fits[ch].verdict == fit_verdict::few_events;
    if (std::string note = verdict_note(static_cast<int>(ch), fits[ch]); !note.empty())
      notes.push_back(note);
  }
  if (shape_off_model(fits)) notes.push_back(shape_off_model_note(median_misfit(fits)));
  if (few_events > 0) notes.push_back(few_events_note(events, few_events));
  return fits;
}

double median_chi2_per_ndf(const std::vector<channel_fit>& fits) {
  std::vector<double> values;
  for (const channel_fit& f : fits)
    if (f.ndf > 0) values.push_back(f.chi2 / f.ndf);
  return values.empty() ? 0.0 : upper_median(std::move(values));
}

namespace {

// Whether `f` shows a pulse whose shape the fit could judge: good or a poor fit, from its points.
bool shape_judged(const channel_fit& f) {
  const fit_verdict v = f.replaced_verdict.value_or(f.verdict);
  return v == fit_verdict::good || v == fit_verdict::poor_fit;
}

}  // namespace

double median_misfit(const std::vector<channel_fit>& fits) {
  std::vector<double> values;
  for (const channel_fit& f : fits)
    if (shape_judged(f) && std::isfinite(f.misfit)) values.push_back(f.misfit);
  return values.empty() ? NAN : upper_median(std::move(values));
}

bool shape_off_model(const std::vector<channel_fit>& fits) {
  const double median = median_misfit(fits);
  return median > noticeable_misfit && median <= max_good_misfit;
}

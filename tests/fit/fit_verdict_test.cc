// Each verdict on channels made to earn it, and on look-alikes that must not get it.
#include "fit/fit_verdict.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <tuple>

#include "fit/fit_judgement.h"
#include "fit/fit_messages.h"
#include "fit/rise_time_fit.h"
#include "support/pulse_grid.h"

namespace {

channel_fit fit_of(const grid_channel& c, uint64_t seed, double noise = 2.0) {
  std::mt19937_64 random(seed);
  return fit_channel(grid_points(c, noise, random), 150.0);
}

TEST(Verdict, CleanPulsesOfEitherSignAreGood) {
  for (double amplitude : {500.0, -400.0}) {
    grid_channel c{160.0, 790.0, amplitude, 1500.0, 20};
    for (uint64_t seed = 1; seed <= 5; ++seed) {
      channel_fit f = fit_of(c, seed);
      EXPECT_EQ(f.verdict, fit_verdict::good) << amplitude << " seed " << seed;
      EXPECT_NEAR(f.amplitude, amplitude, 5 * f.amplitude_err);
      EXPECT_EQ(verdict_note(4, f), "");
    }
  }
}

TEST(Verdict, NoUsablePointsOnlyWhenEveryErrorIsZero) {
  channel_points points = {{200, {5.0, 0.0}}, {400, {7.0, 1e-10}}, {600, {1.0, 0.0}}};
  channel_fit f = fit_channel(points, 150.0);
  EXPECT_EQ(f.verdict, fit_verdict::no_usable_points);
  EXPECT_EQ(verdict_note(3, f), "Channel 3 has no point to fit.");
  points[0].second.second = 1.0;
  EXPECT_NE(fit_channel(points, 150.0).verdict, fit_verdict::no_usable_points);
}

TEST(Verdict, TooFewPointsBelowThreeButNotAtThree) {
  channel_points points = {{900, {40.0, 1.0}}, {1000, {30.0, 1.0}}, {1100, {60.0, 0.0}}};
  channel_fit f = fit_channel(points, 150.0);
  EXPECT_EQ(f.verdict, fit_verdict::too_few_points);
  EXPECT_EQ(verdict_note(12, f), "Channel 12 has too few points to fit (2).");
  points[2].second.second = 1.0;
  EXPECT_NE(fit_channel(points, 150.0).verdict, fit_verdict::too_few_points);
}

TEST(Verdict, NoiseAloneShowsNoPulseButASmallRealPulseDoes) {
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    for (int events : {5, 20, 200}) {
      grid_channel dead{150.0, 800.0, 0.0, 100.0, events};
      channel_fit f = fit_of(dead, seed);
      EXPECT_EQ(f.verdict, fit_verdict::no_pulse) << "seed " << seed << " events " << events;
      // Six noise sigmas of one sample: 12 ADC counts on a noise of 2.
      grid_channel small{150.0, 800.0, 12.0, 100.0, events};
      EXPECT_EQ(fit_of(small, seed).verdict, fit_verdict::good)
          << "seed " << seed << " events " << events;
    }
  }
  const channel_fit dead = fit_of({150.0, 800.0, 0.0, 100.0, 20}, 1);
  EXPECT_EQ(verdict_note(5, dead).rfind("Channel 5 shows no pulse: amplitude ", 0), 0u)
      << verdict_note(5, dead);
}

TEST(Verdict, ANoPulseNoteNamesTheFirstRuleThatDecidedWithItsFigures) {
  // A clear pulse by every rule, then each rule broken in turn on top of the ones before it
  // holding: the note names the first rule broken, in the order the judgement applies them.
  channel_fit f;
  f.usable_points = f.fitted_points = 40;
  f.minimised = f.converged = true;
  f.peak_time = 150, f.time_stamp = 800, f.xmin = 600, f.xmax = 1600, f.ndf = 36, f.chi2 = 40;
  f.amplitude = 50, f.amplitude_err = 2, f.significance = 30, f.seen_height = 50, f.scatter = 2;
  f.pulse_points = 12;
  EXPECT_EQ(no_pulse_criterion(f), "");
  const auto note = [&f] {
    f.verdict = judge_fit(f);
    return verdict_note(7, f);
  };
  f.pulse_points = 1;
  EXPECT_EQ(note(), "Channel 7 shows no pulse: 1 point 3 scatters above zero.");
  f.seen_height = 8.4;
  EXPECT_EQ(note(), "Channel 7 shows no pulse: height 8.4, 4.2 times the points' scatter 2.0.");
  f.significance = 3.14;
  EXPECT_EQ(note(), "Channel 7 shows no pulse: significance against no pulse 3.1σ.");
  f.amplitude = -0.2, f.amplitude_err = 0.3;
  EXPECT_EQ(note(), "Channel 7 shows no pulse: amplitude -0.20 ± 0.30, 0.67σ.");
  f.amplitude = 1637, f.amplitude_err = 1600;
  EXPECT_EQ(no_pulse_criterion(f), "amplitude 1637 ± 1600, 1.0σ");
}

TEST(Verdict, ClippedPulsesAreSaturatedAndFittedWithoutTheirCeiling) {
  // The ADC reads at most 4095: on a baseline of 1500 a pulse of 3000 is cut at 2595.
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    channel_fit f = fit_of({150.0, 800.0, 3000.0, 1500.0, 20}, seed);
    EXPECT_EQ(f.verdict, fit_verdict::saturated) << seed;
    EXPECT_GT(f.clipped_points, 5);
    EXPECT_LT(f.fitted_points + f.clipped_points, 151);
    EXPECT_NEAR(f.amplitude, 3000.0, 30.0);  // the extrapolation finds the true height
    EXPECT_EQ(verdict_note(17, f), "Channel 17 is saturated: " + std::to_string(f.clipped_points) +
                                       " points at its ceiling were left out of the fit.");
  }
  // The same pulse just below the ceiling, and a negative one far from the floor: no ceiling.
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    EXPECT_EQ(fit_of({150.0, 800.0, 4095.0 - 1500.0 - 20.0, 1500.0, 20}, seed).verdict,
              fit_verdict::good);
    EXPECT_EQ(fit_of({150.0, 800.0, -1400.0, 1500.0, 20}, seed).verdict, fit_verdict::good);
  }
}

TEST(Verdict, AQuietBaselineWithoutSpreadIsNoCeiling) {
  // Readings alike before and after the pulse: flat, but at the baseline, not at a limit.
  std::mt19937_64 random(5);
  channel_points points = grid_points({150.0, 800.0, -300.0, 1500.0, 20}, 2.0, random);
  for (snapshot_point& p : points)
    if (p.first < 780.0 || p.first > 1600.0) p.second = {0.0, 0.0};
  channel_fit f = fit_channel(points, 150.0);
  EXPECT_EQ(f.clipped_points, 0);
  EXPECT_EQ(f.verdict, fit_verdict::good);
}

TEST(Verdict, ANegativePulseCutAtZeroIsSaturatedToo) {
  channel_fit f = fit_of({150.0, 800.0, -300.0, 100.0, 20}, 3);
  EXPECT_EQ(f.verdict, fit_verdict::saturated);
  EXPECT_NEAR(f.amplitude, -300.0, 10.0);
}

// Points of another shape than the model's: a rectangular step up and down again.
channel_points step_points(double height, double from, double to) {
  channel_points points;
  for (double t : point_times(false))
    points.push_back({t, {t >= from && t < to ? height : 0.0, 1.0}});
  return points;
}

TEST(Verdict, AShapeUnlikeThePulseIsAPoorFit) {
  channel_fit f = fit_channel(step_points(200.0, 900.0, 1900.0), 150.0);
  EXPECT_EQ(f.verdict, fit_verdict::poor_fit);
  EXPECT_GT(f.misfit, 0.1);
  EXPECT_EQ(verdict_note(2, f).rfind("Channel 2 fits the pulse shape poorly: it differs ", 0), 0u)
      << verdict_note(2, f);
  // With heavy-tailed errors from three samples a clean pulse stays good.
  for (uint64_t seed = 1; seed <= 20; ++seed)
    EXPECT_EQ(fit_of({150.0, 800.0, 300.0, 100.0, 3}, seed).verdict, fit_verdict::good) << seed;
}

TEST(Verdict, APulseStartingBeforeTheFirstPointIsUnphysical) {
  std::mt19937_64 random(4);
  channel_points points = grid_points({150.0, 900.0, 500.0, 100.0, 20}, 2.0, random);
  auto keep_from = [](channel_points all, double first) {
    channel_points kept;
    for (const snapshot_point& p : all)
      if (p.first >= first) kept.push_back(p);
    return kept;
  };
  channel_fit before = fit_channel(keep_from(points, 960.0), 150.0);
  EXPECT_EQ(before.verdict, fit_verdict::unphysical);
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "Channel 9 gives an unphysical result: time stamp %.3g ns, outside its points' "
                "times 960 to 3e+03 ns.",
                before.time_stamp);
  EXPECT_EQ(verdict_note(9, before), expected);
  EXPECT_EQ(fit_channel(keep_from(points, 860.0), 150.0).verdict, fit_verdict::good);
}

TEST(Verdict, PointsAllAtOneTimeLeaveTheFitUnconvergedButSpreadOutTheyDoNot) {
  // A clear height, but no time to tell the peak time from the time stamp.
  channel_points points = {
      {1000, {100.0, 1.0}}, {1000, {101.0, 1.0}}, {1000, {99.0, 1.0}}, {1000, {100.5, 1.0}}};
  channel_fit f = fit_channel(points, 150.0);
  EXPECT_EQ(f.verdict, fit_verdict::not_converged);
  EXPECT_EQ(verdict_note(8, f), "Fit of channel 8 did not converge.");
  EXPECT_GT(f.fits_run, 1);  // every start was tried
  std::mt19937_64 random(2);
  EXPECT_TRUE(
      fit_channel(grid_points({150.0, 800.0, 100.0, 100.0, 20}, 2.0, random), 150.0).converged);
}

TEST(Verdict, EveryVerdictIsFoundAgainByItsNameAndNoOtherTextIs) {
  for (int v = 0; v <= static_cast<int>(fit_verdict::few_events); ++v) {
    const auto verdict = static_cast<fit_verdict>(v);
    EXPECT_EQ(verdict_named(verdict_name(verdict)), verdict) << verdict_name(verdict);
  }
  EXPECT_EQ(verdict_named("unknown"), std::nullopt);
  EXPECT_EQ(verdict_named(""), std::nullopt);
  EXPECT_EQ(verdict_named("Good"), std::nullopt);
}

TEST(Verdict, EveryVerdictHasItsWordsForAReasonAndItsShortLabel) {
  const std::tuple<fit_verdict, const char*, const char*> texts[] = {
      {fit_verdict::good, "good", ""},
      {fit_verdict::no_usable_points, "no usable points", "no usable points"},
      {fit_verdict::too_few_points, "too few points to fit", "too few points"},
      {fit_verdict::no_pulse, "no pulse", "no pulse"},
      {fit_verdict::saturated, "saturated", "saturated"},
      {fit_verdict::poor_fit, "poor fit", "poor fit"},
      {fit_verdict::not_converged, "fit did not converge", "not converged"},
      {fit_verdict::unphysical, "unphysical fit", "unphysical"},
      {fit_verdict::few_events, "too few events for trustworthy errors", "too few events"}};
  for (const auto& [verdict, words, label] : texts) {
    EXPECT_EQ(verdict_words(verdict), words);
    EXPECT_EQ(verdict_label(verdict), label);
  }
  const auto beyond = static_cast<fit_verdict>(static_cast<int>(fit_verdict::few_events) + 1);
  EXPECT_EQ(verdict_name(beyond), "unknown");
  EXPECT_EQ(verdict_words(beyond), "unknown");
  EXPECT_EQ(verdict_label(beyond), "unknown");
}

TEST(Verdict, FewEventsReplacesOnlyTheVerdictsDrawnFromTheErrors) {
  for (fit_verdict v : {fit_verdict::good, fit_verdict::unphysical, fit_verdict::poor_fit}) {
    EXPECT_EQ(judge_events(v, min_events_for_errors - 1), fit_verdict::few_events);
    EXPECT_EQ(judge_events(v, min_events_for_errors), v);
  }
  for (fit_verdict v : {fit_verdict::no_usable_points, fit_verdict::too_few_points,
                        fit_verdict::saturated, fit_verdict::no_pulse, fit_verdict::not_converged})
    EXPECT_EQ(judge_events(v, 2), v);
}

TEST(Verdict, NotesEveryOtherVerdictByItsOwnText) {
  channel_fit f;
  f.verdict = fit_verdict::unphysical;
  f.peak_time = -12.5;
  EXPECT_EQ(verdict_note(8, f), "Channel 8 gives an unphysical result: peak time -12.5 ns.");
  f.verdict = fit_verdict::few_events;
  EXPECT_EQ(verdict_note(8, f), "");
  EXPECT_EQ(few_events_note(4, 1),
            "The recording holds only 4 events, too few for trustworthy errors: 1 channel is "
            "flagged.");
  EXPECT_EQ(few_events_note(9, 30),
            "The recording holds only 9 events, too few for trustworthy errors: 30 channels are "
            "flagged.");
  EXPECT_EQ(looks_like_configuration("20mV_delay-all", "4mV_delay-all", 123456.0, 1.5),
            "This recording looks like 20mV_delay-all: its channels fit that configuration's "
            "framing far better (median chi2/ndf 1.5 against 1.23e+05 as 4mV_delay-all); check "
            "that configuration 4mV_delay-all is the right one for this recording.");
}

}  // namespace

// The misfit: how far a channel's points lie from the fitted shape, on shapes a real front end
// gives and on shapes that are wrong, at the event counts of short and long recordings.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "fit/channel_fits.h"
#include "fit/fit_judgement.h"
#include "fit/fit_messages.h"
#include "fit/rise_time_fit.h"
#include "support/pulse_shapes.h"

namespace {

struct named_shape {
  const char* name;
  pulse_shape shape;
  bool misframed = false;  ///< a low-charge recording framed as a default one
};

// A front end's pulses: near the model, never exactly it.
const named_shape realistic[] = {
    {"order 3.5", {3.5}},
    {"order 4.5", {4.5}},
    {"1 % tail", {4.0, 0.01}},
    {"1 % undershoot", {4.0, -0.01}},
    {"0.5 % slow tail", {4.0, 0.005, 5000.0}},
    {"10 ns rise, 2 ns jitter", {4.0, 0.0, 1500.0, 10.0, 2.0}},
    {"order 3.5, undershoot, rise, jitter", {3.5, -0.01, 1500.0, 10.0, 2.0}},
    {"order 4.5, tail, rise, jitter", {4.5, 0.01, 1500.0, 10.0, 2.0}},
};

// Pulses the model does not describe.
const named_shape wrong[] = {
    {"5 % undershoot", {4.0, -0.05}},
    {"order 2.5", {2.5}},
    {"wrong configuration's framing", {}, true},
};

constexpr int event_counts[] = {60, 300, 1000};

channel_points points_of(const named_shape& s, int events, uint64_t seed, double amplitude) {
  std::mt19937_64 random(seed);
  const grid_channel c{150.0, 800.0, amplitude, 600.0, events};
  return shaped_points(
      s.shape, c, s.misframed ? low_charge_framed_as_default() : right_framing(false), 2.0, random);
}

channel_fit fit_shape(const named_shape& s, int events, uint64_t seed, double amplitude = 500.0) {
  return fit_channel(points_of(s, events, seed, amplitude), 150.0);
}

TEST(Misfit, ShapesOfARealFrontEndAreGoodAtAnyEventCount) {
  for (const named_shape& s : realistic)
    for (int events : event_counts)
      for (double amplitude : {500.0, -120.0}) {
        const channel_fit f = fit_shape(s, events, events, amplitude);
        EXPECT_EQ(f.verdict, fit_verdict::good) << s.name << ", " << events << " events";
        EXPECT_LT(f.misfit, 0.8 * max_good_misfit) << s.name << ", " << events << " events";
      }
}

TEST(Misfit, WrongShapesArePoorAtAnyEventCount) {
  for (const named_shape& s : wrong)
    for (int events : event_counts)
      for (double amplitude : {500.0, -120.0}) {
        const channel_fit f = fit_shape(s, events, events + 1, amplitude);
        EXPECT_EQ(f.verdict, fit_verdict::poor_fit) << s.name << ", " << events << " events";
        EXPECT_GT(f.misfit, 1.15 * max_good_misfit) << s.name << ", " << events << " events";
      }
}

TEST(Misfit, AnOrderOfSixIsGoodAtEveryEventCountButStandsAboveARealFrontEnds) {
  // As far from the model as the furthest realistic shapes, and the same verdict at any length
  // of recording.
  const named_shape order_6{"order 6", {6.0}};
  for (int events : event_counts) {
    const channel_fit f = fit_shape(order_6, events, events + 2);
    EXPECT_EQ(f.verdict, fit_verdict::good) << events << " events";
    EXPECT_GT(f.misfit, 0.011) << events << " events";
  }
}

TEST(Misfit, StaysPutAsTheEventsGrowWhereChi2PerNdfDoesNot) {
  // The same channel measured three times as long: chi2/ndf grows about threefold each time.
  const named_shape tail{"0.5 % slow tail", {4.0, 0.005, 5000.0}};
  const channel_fit few = fit_shape(tail, 60, 7), many = fit_shape(tail, 1000, 7);
  EXPECT_NEAR(many.misfit, few.misfit, 0.15 * few.misfit);
  EXPECT_GT(many.chi2 / many.ndf, 10 * few.chi2 / few.ndf);
  // The model's own shape: what is left is noise, far below any deviation of a real pulse.
  for (int events : event_counts)
    EXPECT_LT(fit_shape({"model", {}}, events, 3).misfit, 0.001) << events;
}

TEST(Misfit, IsNotMeasuredWithoutAFittedPulse) {
  EXPECT_TRUE(std::isnan(fit_channel({}, 150.0).misfit));
  channel_points two = {{900, {40.0, 1.0}}, {1000, {30.0, 1.0}}};
  EXPECT_TRUE(std::isnan(fit_channel(two, 150.0).misfit));
}

TEST(Misfit, APoorFitsNoteNamesItsMisfitAndChi2) {
  channel_fit f = fit_shape(wrong[0], 300, 2);
  ASSERT_EQ(f.verdict, fit_verdict::poor_fit);
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "Channel 7 fits the pulse shape poorly: it differs from the model by %.1f %% of "
                "its amplitude (chi2/ndf %.3g).",
                100 * f.misfit, f.chi2 / f.ndf);
  EXPECT_EQ(verdict_note(7, f), expected);
}

// Every channel of a recording of shape `s`, one with a dead channel among them.
std::vector<channel_fit> recording_of(const named_shape& s, int events, diagnostics& notes) {
  snapshot_table table;
  for (int ch = 0; ch < 8; ++ch)
    table.push_back(points_of(s, events, 100 + ch, ch == 3 ? 0.0 : 400.0 + 20 * ch));
  return fit_all_channels(table, 150.0, events, notes);
}

TEST(Misfit, ARecordingOffTheModelAlikeGetsOneLineNamingNoChannel) {
  diagnostics notes;
  const std::vector<channel_fit> fits = recording_of(realistic[6], 300, notes);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].rfind("Channel 3 shows no pulse", 0), 0u) << notes[0];
  EXPECT_EQ(notes[1], shape_off_model_note(median_misfit(fits)));
  EXPECT_EQ(notes[1].find("Channel"), std::string::npos);
  EXPECT_GT(median_misfit(fits), noticeable_misfit);
  // The model's own shape: the dead channel alone is remarked on.
  diagnostics exact;
  recording_of({"model", {}}, 300, exact);
  EXPECT_EQ(exact.size(), 1u);
  // A wrong shape makes each channel poor, with its own line, and no line for the recording.
  diagnostics poor;
  recording_of(wrong[1], 300, poor);
  EXPECT_EQ(poor.size(), 8u);
  for (const std::string& n : poor) EXPECT_EQ(n.find("The pulse shape differs"), std::string::npos);
}

}  // namespace

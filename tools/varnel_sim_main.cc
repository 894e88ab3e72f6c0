// varnel-sim: writes a simulated bench-test recording and its truth file.

#include <charconv>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/command_line.h"
#include "tools/front_end_preset.h"
#include "tools/recording_simulator.h"

namespace {

// "CH=V": a channel 0..31 and a number.
std::optional<std::pair<int, double>> channel_value(const std::string& text) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return std::nullopt;
  int channel = -1;
  double value = 0;
  const char* end = text.data() + text.size();
  auto [channel_end, channel_error] = std::from_chars(text.data(), text.data() + equals, channel);
  auto [value_end, value_error] = std::from_chars(text.data() + equals + 1, end, value);
  if (channel_error != std::errc{} || channel_end != text.data() + equals ||
      value_error != std::errc{} || value_end != end || equals + 1 == text.size() || channel < 0 ||
      channel > 31)
    return std::nullopt;
  return std::pair{channel, value};
}

const CLI::Validator channel_equals_value(
    [](const std::string& text) {
      return channel_value(text) ? std::string() : "expected CH=V with CH in 0..31, got " + text;
    },
    "CH=V");

// One channel parameter, set per channel or for all channels at once.
struct channel_parameter {
  double channel_truth::*field;
  std::vector<std::string> per_channel = {};  // "CH=V", later ones win
  std::optional<double> all = {};
};

struct cli_settings {
  simulation_options general;  // everything but the channels
  std::string output;
  channel_parameter baseline{&channel_truth::baseline}, amplitude{&channel_truth::amplitude},
      peak_time{&channel_truth::peak_time}, time_stamp{&channel_truth::time_stamp},
      order{&channel_truth::order}, tail{&channel_truth::tail},
      tail_time{&channel_truth::tail_time}, injection_rise{&channel_truth::injection_rise};
  std::vector<int> dead, saturated;
  bool realistic = false;
};

// The recording's options that the realistic preset draws unless they are given.
constexpr std::pair<const char*, double simulation_options::*> preset_recording_options[] = {
    {"--jitter", &simulation_options::jitter},
    {"--common-mode", &simulation_options::common_mode},
    {"--wander", &simulation_options::wander},
    {"--wander-period", &simulation_options::wander_period}};

void add_options(CLI::App& app, cli_settings& s) {
  simulation_options& g = s.general;
  app.add_option("--output", s.output, "Where to write the recording (required)")->required();
  app.add_option("--events", g.events, "Events to write")->capture_default_str();
  app.add_option("--config", g.config,
                 "Configuration name; \"4mV_delay-all\" moves the pulse windows")
      ->capture_default_str();
  app.add_option("--gap-spacing", g.gap_spacing, "Rows from one gap's first row to the next one's")
      ->capture_default_str();
  app.add_option("--gap-rows", g.gap_rows, "Rows of each gap")->capture_default_str();
  app.add_option("--leading-rows", g.leading_rows, "Baseline rows before the first gap")
      ->capture_default_str();
  app.add_option("--gap-level", g.gap_level, "Mean reading in a gap, ADC counts")
      ->capture_default_str();
  app.add_option("--noise", g.noise, "Gaussian noise (sigma), ADC counts")->capture_default_str();
  app.add_option("--drift", g.drift,
                 "Baseline change of every channel over the recording, ADC counts")
      ->capture_default_str();
  app.add_option("--jitter", g.jitter, "Gaussian jitter (sigma) of each test pulse's start, ns")
      ->capture_default_str();
  app.add_option("--common-mode", g.common_mode,
                 "Gaussian noise (sigma) shared by all channels of a row, ADC counts")
      ->capture_default_str();
  app.add_option("--wander", g.wander,
                 "Pedestal wander: amplitude of a slow sinusoid of every baseline, ADC counts")
      ->capture_default_str();
  app.add_option("--wander-period", g.wander_period, "Period of the pedestal wander, rows")
      ->capture_default_str();
  app.add_option("--seed", g.seed, "Seeds the noise and the channel parameters not given")
      ->capture_default_str();
  app.add_flag("--realistic", s.realistic,
               "Draw the front end's departures from the fit's model from the seed (below)");
  for (auto [name, all_name, p, what, unit] :
       {std::tuple{"--baseline", "--all-baselines", &s.baseline, "Baseline", "ADC counts"},
        {"--amplitude", "--all-amplitudes", &s.amplitude, "Pulse height", "ADC counts"},
        {"--peak-time", "--all-peak-times", &s.peak_time, "Peak time", "ns"},
        {"--time-stamp", "--all-time-stamps", &s.time_stamp,
         "Pulse start on the reconstructed time axis", "ns"},
        {"--order", "--all-orders", &s.order, "Shaping order n of u^n e^(-n(u-1))",
         "4 is the fit's"},
        {"--tail", "--all-tails", &s.tail, "Slow tail (> 0) or undershoot (< 0)",
         "fraction of the height"},
        {"--tail-time", "--all-tail-times", &s.tail_time, "Time constant of the tail", "ns"},
        {"--injection-rise", "--all-injection-rises", &s.injection_rise,
         "Rise time of the injected step (a linear ramp)", "ns"}}) {
    app.add_option(name, p->per_channel,
                   std::string(what) + " of channel CH, " + unit + " (repeatable)")
        ->check(channel_equals_value)
        ->take_all();
    app.add_option(all_name, p->all,
                   std::string(what) + " of every channel not set by CH, " + unit);
  }
  app.add_option("--dead", s.dead, "Channel CH has no pulse (repeatable)")
      ->check(CLI::Range(0, 31))
      ->take_all();
  app.add_option("--saturated", s.saturated,
                 "Channel CH always reads the saturation level (repeatable)")
      ->check(CLI::Range(0, 31))
      ->take_all();
  app.add_option("--saturation-level", g.saturation_level,
                 "Reading of a saturated channel, and the clip level")
      ->capture_default_str();
  app.add_option("--cut-last-event", g.cut_last_event_rows,
                 "End the recording this many rows after the last gap's first row");
  app.add_option("--values-per-line", g.values_per_line, "Values per text line")
      ->capture_default_str();
}

simulation_options build_options(const CLI::App& app, const cli_settings& s) {
  const simulation_options& g = s.general;
  simulation_options o = realistic_options(g.events, g.config, g.seed);
  auto channels = o.channels;
  o = g;
  o.channels = channels;
  if (s.realistic) {
    simulation_options drawn = o;
    draw_front_end(drawn, draw_design_order(g.seed), g.seed);
    o.channels = drawn.channels;
    for (auto [name, field] : preset_recording_options)
      if (app.count(name) == 0) o.*field = drawn.*field;
  }
  for (const channel_parameter* p : {&s.baseline, &s.amplitude, &s.peak_time, &s.time_stamp,
                                     &s.order, &s.tail, &s.tail_time, &s.injection_rise}) {
    if (p->all)
      for (channel_truth& c : o.channels) c.*(p->field) = *p->all;
    for (const std::string& text : p->per_channel) {
      auto [channel, value] = *channel_value(text);
      o.channels[channel].*(p->field) = value;
    }
  }
  for (int channel : s.dead) o.channels[channel].dead = true;
  for (int channel : s.saturated) o.channels[channel].saturated = true;
  return o;
}

bool write_files(const simulation_options& o, const std::string& path) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  const bool written = write_recording(o, out);
  if (std::fclose(out) != 0 || !written) return false;
  std::ofstream truth(path + ".truth");
  write_truth(o, truth);
  truth.close();
  return static_cast<bool>(truth);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Writes a simulated delay-scan recording to PATH and the true channel parameters "
      "to PATH.truth.",
      "varnel-sim");
  app.footer(
      "Channel parameters not given are drawn from the seed, and the pulse has the fit's\n"
      "shape exactly. --realistic also draws from the seed what real front ends and benches\n"
      "show (an option given still wins):\n" +
      front_end_preset_help());
  add_version_flag(app);
  cli_settings settings;
  add_options(app, settings);
  std::optional<command_line_stop> stop = parse_command_line(app, argc, argv);
  simulation_options options;
  if (!stop) {
    options = build_options(app, settings);
    if (std::string why = validation_error(options); !why.empty()) stop = usage_error(app, why);
  }
  if (stop) {
    std::fputs(stop->out.c_str(), stdout);
    std::fputs(stop->err.c_str(), stderr);
    return stop->status;
  }
  if (!write_files(options, settings.output)) {
    std::fprintf(stderr, "varnel-sim: cannot write %s or its truth file\n",
                 settings.output.c_str());
    return 1;
  }
  return 0;
}

// varnel-sim: writes a simulated bench-test recording and its truth file.

#include <charconv>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "recording_simulator.h"

namespace {

constexpr const char* usage = R"(usage: varnel-sim --output PATH [options]
Writes a simulated delay-scan recording to PATH and the true channel parameters to PATH.truth.
  --output PATH             where to write the recording (required)
  --events N                events to write (200)
  --config NAME             configuration name; "4mV_delay-all" moves the pulse windows
                            (20mV_delay-all)
  --gap-spacing N           rows from one gap's first row to the next one's (220)
  --gap-rows N              rows of each gap (10)
  --leading-rows N          baseline rows before the first gap (0)
  --gap-level V             mean reading in a gap, ADC counts (5)
  --noise SIGMA             Gaussian noise, ADC counts (2)
  --drift V                 baseline change of every channel over the recording, ADC counts (0)
  --jitter SIGMA            Gaussian jitter of each test pulse's start, ns (0)
  --seed N                  seeds the noise and the default channel parameters (1)
  --baseline CH=V           baseline of channel CH, ADC counts
  --amplitude CH=V          pulse height of channel CH, ADC counts
  --peak-time CH=V          peak time of channel CH, ns
  --time-stamp CH=V         pulse start of channel CH on the reconstructed time axis, ns
  --all-baselines V, --all-amplitudes V, --all-peak-times V, --all-time-stamps V
                            the same for every channel (per-channel options take precedence)
  --dead CH                 channel CH has no pulse (repeatable)
  --saturated CH            channel CH always reads the saturation level (repeatable)
  --saturation-level N      reading of a saturated channel, and the clip level (4095)
  --cut-last-event ROWS     end the recording ROWS rows after the last gap's first row
  --values-per-line N       values per text line (32)
  --help                    print this help
Channel parameters not given are drawn from the seed.
)";

struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using channel_edit = std::function<void(channel_truth&)>;

struct cli_settings {
  simulation_options general;  // everything but the channels
  std::string output;
  std::vector<std::function<void(simulation_options&)>> all_channel_edits, channel_edits;
  bool help = false;
};

template <class T>
T parse_number(std::string_view text, std::string_view what) {
  T value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty())
    throw usage_error("bad " + std::string(what) + " '" + std::string(text) + "'");
  return value;
}

int parse_channel(std::string_view text) {
  const int channel = parse_number<int>(text, "channel");
  if (channel < 0 || channel > 31)
    throw usage_error("channel " + std::string(text) + " is not in 0..31");
  return channel;
}

// "CH=V" for one channel's parameter.
std::function<void(simulation_options&)> channel_setting(std::string_view text,
                                                         double channel_truth::*field) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos)
    throw usage_error("expected CH=V, got '" + std::string(text) + "'");
  const int channel = parse_channel(text.substr(0, equals));
  const double value = parse_number<double>(text.substr(equals + 1), "value");
  return [=](simulation_options& o) { o.channels[channel].*field = value; };
}

std::function<void(simulation_options&)> all_channels_setting(std::string_view text,
                                                              double channel_truth::*field) {
  const double value = parse_number<double>(text, "value");
  return [=](simulation_options& o) {
    for (channel_truth& c : o.channels) c.*field = value;
  };
}

std::function<void(simulation_options&)> channel_flag(std::string_view text,
                                                      bool channel_truth::*field) {
  const int channel = parse_channel(text);
  return [=](simulation_options& o) { o.channels[channel].*field = true; };
}

using handler = std::function<void(std::string_view, cli_settings&)>;

template <class T>
handler set_number(T simulation_options::*field, const char* what) {
  return [=](std::string_view v, cli_settings& s) { s.general.*field = parse_number<T>(v, what); };
}

handler per_channel(double channel_truth::*field) {
  return [=](std::string_view v, cli_settings& s) {
    s.channel_edits.push_back(channel_setting(v, field));
  };
}

handler every_channel(double channel_truth::*field) {
  return [=](std::string_view v, cli_settings& s) {
    s.all_channel_edits.push_back(all_channels_setting(v, field));
  };
}

handler flag(bool channel_truth::*field) {
  return [=](std::string_view v, cli_settings& s) {
    s.channel_edits.push_back(channel_flag(v, field));
  };
}

const std::map<std::string_view, handler>& option_handlers() {
  static const std::map<std::string_view, handler> handlers = {
      {"--output", [](std::string_view v, cli_settings& s) { s.output = v; }},
      {"--config", [](std::string_view v, cli_settings& s) { s.general.config = v; }},
      {"--events", set_number(&simulation_options::events, "event count")},
      {"--gap-spacing", set_number(&simulation_options::gap_spacing, "gap spacing")},
      {"--gap-rows", set_number(&simulation_options::gap_rows, "gap row count")},
      {"--leading-rows", set_number(&simulation_options::leading_rows, "leading row count")},
      {"--gap-level", set_number(&simulation_options::gap_level, "gap level")},
      {"--noise", set_number(&simulation_options::noise, "noise")},
      {"--drift", set_number(&simulation_options::drift, "drift")},
      {"--jitter", set_number(&simulation_options::jitter, "jitter")},
      {"--seed", set_number(&simulation_options::seed, "seed")},
      {"--saturation-level", set_number(&simulation_options::saturation_level, "level")},
      {"--cut-last-event", set_number(&simulation_options::cut_last_event_rows, "row count")},
      {"--values-per-line", set_number(&simulation_options::values_per_line, "value count")},
      {"--baseline", per_channel(&channel_truth::baseline)},
      {"--amplitude", per_channel(&channel_truth::amplitude)},
      {"--peak-time", per_channel(&channel_truth::peak_time)},
      {"--time-stamp", per_channel(&channel_truth::time_stamp)},
      {"--all-baselines", every_channel(&channel_truth::baseline)},
      {"--all-amplitudes", every_channel(&channel_truth::amplitude)},
      {"--all-peak-times", every_channel(&channel_truth::peak_time)},
      {"--all-time-stamps", every_channel(&channel_truth::time_stamp)},
      {"--dead", flag(&channel_truth::dead)},
      {"--saturated", flag(&channel_truth::saturated)},
  };
  return handlers;
}

cli_settings parse_arguments(int argc, char** argv) {
  cli_settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i], value;
    if (arg == "--help") {
      settings.help = true;
      continue;
    }
    const bool inline_value = arg.find('=') != std::string_view::npos;
    if (inline_value) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
    }
    auto found = option_handlers().find(arg);
    if (found == option_handlers().end())
      throw usage_error("unknown option '" + std::string(arg) + "'");
    if (!inline_value) {
      if (i + 1 >= argc) throw usage_error(std::string(arg) + " needs a value");
      value = argv[++i];
    }
    found->second(value, settings);
  }
  return settings;
}

simulation_options build_options(const cli_settings& s) {
  const simulation_options& g = s.general;
  simulation_options o = realistic_options(g.events, g.config, g.seed);
  auto channels = o.channels;
  o = g;
  o.channels = channels;
  for (const auto& edit : s.all_channel_edits) edit(o);
  for (const auto& edit : s.channel_edits) edit(o);
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

int run(int argc, char** argv) {
  const cli_settings settings = parse_arguments(argc, argv);
  if (settings.help) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (settings.output.empty()) throw usage_error("--output is required");
  const simulation_options options = build_options(settings);
  if (std::string why = validation_error(options); !why.empty()) throw usage_error(why);
  if (!write_files(options, settings.output)) {
    std::fprintf(stderr, "varnel-sim: cannot write %s or its truth file\n",
                 settings.output.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const usage_error& e) {
    std::fprintf(stderr, "varnel-sim: %s (see --help)\n", e.what());
    return 2;
  }
}

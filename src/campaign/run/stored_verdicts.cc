#include "campaign/run/stored_verdicts.h"

#include <malloc.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>

namespace {

std::optional<int> min_events_of(const acceptance_limits& limits, const std::string& config) {
  auto c = limits.configs.find(config);
  return c == limits.configs.end() ? std::nullopt : c->second.min_events;
}

// Calls `work` with a connection to `db`'s database and a span of its chips: with at least
// `two_from` chips, for each half of them at once, the first on `db` and this thread and the
// second (half 1) on a connection and a thread of its own; otherwise once, for every chip on
// `db`. The work done is the same either way. False with `error` when either call fails.
bool in_halves(
    campaign_db& db, int64_t two_from,
    const std::function<bool(campaign_db&, const chip_span&, int half, std::string&)>& work,
    std::string& error) {
  std::string failure;
  std::optional<std::string> middle = db.middle_chip(two_from, failure);
  if (!middle && !failure.empty()) {
    error = failure;
    return false;
  }
  // Where no second connection opens (a server's connection limit), the first does it all.
  std::optional<campaign_db> second =
      middle ? campaign_db::open_read_only(db.path(), failure) : std::nullopt;
  if (!second) return work(db, chip_span{}, 0, error);
  std::string second_error;
  bool second_ok = false;
  std::thread other([&] { second_ok = work(*second, chip_span{*middle, ""}, 1, second_error); });
  const bool first_ok = work(db, chip_span{"", *middle}, 0, error);
  other.join();
  if (first_ok && !second_ok) error = second_error;
  return first_ok && second_ok;
}

// Calls `take(half, r)` with each current recording `r` of configuration `config` ("" for every
// one), read as in_halves reads: `take` may run on two threads at once, one for each half, and
// may keep what it needs of `r`. False with `error` when the database fails.
bool each_current_in_halves(campaign_db& db, int64_t two_from, const std::string& config,
                            const std::function<void(int half, stored_recording& r)>& take,
                            std::string& error) {
  return in_halves(
      db, two_from,
      [&](campaign_db& on, const chip_span& chips, int half, std::string& e) {
        return on.each_current(
            chips, config,
            [&](stored_recording& r) {
              take(half, r);
              return true;
            },
            e);
      },
      error);
}

}  // namespace

bool load_population(campaign_db& db, const std::string& config, const acceptance_limits& limits,
                     population_stats& out, std::string& error, int64_t two_readers_from,
                     bool spill) {
  std::optional<int> min_events = min_events_of(limits, config);
  population_builder halves[2] = {population_builder(min_events, spill),
                                  population_builder(min_events, spill)};
  bool ok = each_current_in_halves(
      db, two_readers_from, config,
      [&](int half, const stored_recording& r) { halves[half].add(r); }, error);
  if (!ok) return false;
  halves[0].merge(std::move(halves[1]));
  out = halves[0].finish();
  // The builder's values are freed; give their pages back, so that a long-running watch or
  // server holds no more between verdicts than a single population's statistics.
  malloc_trim(0);
  return true;
}

namespace {

// The statistics of `members`; the copies of their values made on the way are given back to the
// system, so that a watch holds the members and no more between verdicts.
population_stats stats_of(const population_members& members) {
  population_stats stats = members.stats();
  malloc_trim(0);
  return stats;
}

// The meta row that keeps a configuration's statistics.
std::string population_key(const std::string& config) {
  return "population " + config;
}

// The statistics' layout: a build whose population_stats differ reads none of another's.
const std::string layout = "v1/" + std::to_string(sizeof(population_stats));

std::string events_word(std::optional<int> min_events) {
  return min_events ? std::to_string(*min_events) : "-";
}

// "GENERATION MIN_EVENTS LAYOUT HEX" of `stats`, which are plain numbers throughout.
std::string encoded(const std::string& generation, const std::string& min_events,
                    const population_stats& stats) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text = generation + " " + min_events + " " + layout + " ";
  const auto* bytes = reinterpret_cast<const unsigned char*>(&stats);
  for (size_t i = 0; i < sizeof stats; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0xf]);
  }
  return text;
}

// The statistics of `text` when it was made at `generation` for `min_events` by this layout.
std::optional<population_stats> decoded(const std::string& text, const std::string& generation,
                                        const std::string& min_events) {
  const std::string head = generation + " " + min_events + " " + layout + " ";
  if (text.size() != head.size() + 2 * sizeof(population_stats) || !text.starts_with(head))
    return std::nullopt;
  population_stats stats;
  auto* bytes = reinterpret_cast<unsigned char*>(&stats);
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (size_t i = 0, at = head.size(); i < sizeof stats; ++i, at += 2)
    bytes[i] = static_cast<unsigned char>(nibble(text[at]) << 4 | nibble(text[at + 1]));
  return stats;
}

}  // namespace

static_assert(std::is_trivially_copyable_v<population_stats>);

void population_cache::stored(const stored_recording& current) {
  stats_.erase(current.config);
  if (auto m = members_.find(current.config); m != members_.end()) m->second.put(current);
}

void population_cache::check_version(campaign_db& db) {
  std::optional<int64_t> version = db.data_version();
  // Another connection's commit: what this one knew of every configuration may be out of date.
  if (!version || version != version_) clear();
  version_ = version;
}

std::optional<population_stats> population_cache::at_hand(campaign_db& db,
                                                          const std::string& config,
                                                          const acceptance_limits& limits) {
  if (auto k = stats_.find(config); k != stats_.end()) return k->second.stats;
  // Statistics a writer saved serve where no members are at hand.
  if (members_.count(config)) return std::nullopt;
  kept k;
  k.generation = std::to_string(db.generation());
  k.min_events = events_word(min_events_of(limits, config));
  std::optional<std::string> text = db.meta(population_key(config));
  std::optional<population_stats> saved =
      text ? decoded(*text, k.generation, k.min_events) : std::nullopt;
  if (!saved) return std::nullopt;
  k.stats = *saved;
  k.saved = true;
  stats_.emplace(config, k);
  return saved;
}

bool population_cache::get(campaign_db& db, const std::vector<std::string>& configs,
                           const acceptance_limits& limits,
                           std::map<std::string, population_stats>& out, std::string& error,
                           bool members) {
  check_version(db);
  for (const std::string& config : configs) {
    if (members && keep_members_ && !members_.count(config) &&
        !load_members(db, config, limits, error))
      return false;
    std::optional<population_stats> stats = at_hand(db, config, limits);
    if (!stats) {
      const uint64_t generation = db.generation();
      // A cache that keeps members makes them where none were saved.
      if (keep_members_ && !members_.count(config) && !load_members(db, config, limits, error))
        return false;
      population_stats made;
      if (auto m = members_.find(config); m != members_.end())
        made = stats_of(m->second);
      else if (!load_population(db, config, limits, made, error, two_readers_from_, spill_values_))
        return false;
      keep(config, limits, generation, made);
      stats = made;
    }
    out[config] = *stats;
  }
  return true;
}

std::optional<population_stats> population_cache::known(campaign_db& db, const std::string& config,
                                                        const acceptance_limits& limits) {
  check_version(db);
  return at_hand(db, config, limits);
}

void population_cache::keep(const std::string& config, const acceptance_limits& limits,
                            uint64_t generation, const population_stats& stats) {
  kept k;
  k.stats = stats;
  k.generation = std::to_string(generation);
  k.min_events = events_word(min_events_of(limits, config));
  stats_.insert_or_assign(config, k);
}

bool population_cache::load_members(campaign_db& db, const std::string& config,
                                    const acceptance_limits& limits, std::string& error) {
  const std::optional<int> min_events = min_events_of(limits, config);
  population_members halves[2] = {population_members(min_events), population_members(min_events)};
  if (!each_current_in_halves(
          db, two_readers_from_, config,
          [&](int half, const stored_recording& r) { halves[half].put(r); }, error))
    return false;
  halves[0].merge(std::move(halves[1]));
  members_.insert_or_assign(config, std::move(halves[0]));
  return true;
}

bool population_cache::save(campaign_db& db, std::string& error) {
  for (auto& [config, k] : stats_) {
    if (k.saved) continue;
    if (!db.set_meta(population_key(config), encoded(k.generation, k.min_events, k.stats), error))
      return false;
    k.saved = true;
  }
  return true;
}

std::vector<std::string> configurations_of(const campaign_outline& outline) {
  std::vector<std::string> configs;
  for (const auto& [config, chips] : outline.chips_in) configs.push_back(config);
  return configs;
}

chip_verdict stored_verdict(const stored_recording& r,
                            const std::map<std::string, population_stats>& populations,
                            const acceptance_limits& limits, const campaign_outline& outline) {
  auto p = populations.find(r.config);
  chip_verdict v =
      judge_recording(r, p == populations.end() ? population_stats{} : p->second, limits);
  if (auto s = outline.superseded.find({r.chip, r.config}); s != outline.superseded.end())
    v.superseded = s->second;
  return v;
}

namespace {

// What a verdict reads of one channel, and all each_current gives of it: its number, fit verdict
// and judged quantities, in 88 bytes rather than a whole stored_channel's 184.
struct kept_channel {
  int channel = 0;
  fit_verdict verdict = fit_verdict::good;
  std::array<double, quantity_count> values{};
};

// A current recording held until its configuration's statistics are made.
struct kept_recording {
  stored_recording head;  // without its channels
  std::vector<kept_channel> channels;
};

kept_recording kept_of(stored_recording&& r) {
  kept_recording k{std::move(r), {}};
  const std::vector<stored_channel> channels = std::exchange(k.head.channels, {});
  k.channels.reserve(channels.size());
  for (const stored_channel& c : channels) {
    kept_channel& kc = k.channels.emplace_back();
    kc.channel = c.channel;
    kc.verdict = c.fit.verdict;
    for (size_t q = 0; q < quantity_count; ++q) kc.values[q] = c.fit.*channel_quantities()[q].value;
  }
  return k;
}

// The recording `k` was made of, as each_current gave it.
stored_recording recording_of(const kept_recording& k) {
  stored_recording r = k.head;
  r.channels.resize(k.channels.size());
  for (size_t i = 0; i < k.channels.size(); ++i) {
    const kept_channel& kc = k.channels[i];
    r.channels[i].channel = kc.channel;
    r.channels[i].fit.verdict = kc.verdict;
    for (size_t q = 0; q < quantity_count; ++q)
      r.channels[i].fit.*channel_quantities()[q].value = kc.values[q];
  }
  return r;
}

// Every chip's verdicts, the campaign read once: see judge_stored.
bool judge_in_one_pass(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                       const campaign_outline& outline,
                       const std::function<void(chip_verdict&&)>& visit, std::string& error) {
  std::vector<chip_verdict> verdicts;
  size_t current = 0;
  for (const auto& [config, chips] : outline.chips_in) current += chips;
  verdicts.reserve(current);
  for (const std::string& config : configurations_of(outline)) {
    std::optional<population_stats> known = cache.known(db, config, limits);
    const uint64_t generation = db.generation();
    const std::optional<int> min_events = min_events_of(limits, config);
    population_builder builders[2] = {population_builder(min_events),
                                      population_builder(min_events)};
    std::vector<kept_recording> kept[2];
    bool ok = each_current_in_halves(
        db, cache.two_readers_from(), config,
        [&](int half, stored_recording& r) {
          if (!known) builders[half].add(r);
          kept[half].push_back(kept_of(std::move(r)));
        },
        error);
    if (!ok) return false;
    if (!known) {
      builders[0].merge(std::move(builders[1]));
      known = builders[0].finish();
      cache.keep(config, limits, generation, *known);
    }
    const std::map<std::string, population_stats> population = {{config, *known}};
    std::vector<chip_verdict> judged[2];
    auto judge_half = [&](int half) {
      for (const kept_recording& k : kept[half])
        judged[half].push_back(stored_verdict(recording_of(k), population, limits, outline));
      kept[half] = {};
    };
    std::thread other;
    if (!kept[1].empty()) other = std::thread(judge_half, 1);
    judge_half(0);
    if (other.joinable()) other.join();
    for (std::vector<chip_verdict>& part : judged)
      verdicts.insert(verdicts.end(), std::make_move_iterator(part.begin()),
                      std::make_move_iterator(part.end()));
  }
  // A chip has one current recording in each configuration: chip and configuration order them.
  std::vector<size_t> order(verdicts.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::tie(verdicts[a].chip, verdicts[a].config) <
           std::tie(verdicts[b].chip, verdicts[b].config);
  });
  for (size_t i : order) visit(std::move(verdicts[i]));
  return true;
}

// Every chip's verdicts from statistics at hand, judged as they are read: see judge_stored.
bool judge_as_read(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                   const campaign_outline& outline,
                   const std::map<std::string, population_stats>& populations,
                   const std::function<void(chip_verdict&&)>& visit, std::string& error) {
  std::vector<chip_verdict> second_half;
  bool ok = each_current_in_halves(
      db, cache.two_readers_from(), "",
      [&](int half, const stored_recording& r) {
        chip_verdict v = stored_verdict(r, populations, limits, outline);
        if (half == 0)
          visit(std::move(v));
        else
          second_half.push_back(std::move(v));
      },
      error);
  if (!ok) return false;
  for (chip_verdict& v : second_half) visit(std::move(v));
  return true;
}

}  // namespace

bool judge_stored(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                  const campaign_outline& outline, const std::string& chip,
                  const std::function<void(chip_verdict&&)>& visit, std::string& error) {
  std::map<std::string, population_stats> populations;
  if (chip.empty()) {
    for (const std::string& config : configurations_of(outline)) {
      std::optional<population_stats> known = cache.known(db, config, limits);
      if (!known) return judge_in_one_pass(db, limits, cache, outline, visit, error);
      populations[config] = *known;
    }
    return judge_as_read(db, limits, cache, outline, populations, visit, error);
  }
  if (!cache.get(db, configurations_of(outline), limits, populations, error)) return false;
  return db.each_current(
      chip, "",
      [&](const stored_recording& r) {
        visit(stored_verdict(r, populations, limits, outline));
        return true;
      },
      error);
}

bool judge_stored_by_chip(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                          const campaign_outline& outline,
                          const std::function<void(std::vector<chip_verdict>&&)>& visit,
                          std::string& error) {
  std::vector<chip_verdict> own;
  bool ok = judge_stored(
      db, limits, cache, outline, "",
      [&](chip_verdict&& v) {
        if (!own.empty() && own.front().chip != v.chip) visit(std::exchange(own, {}));
        own.push_back(std::move(v));
      },
      error);
  if (ok && !own.empty()) visit(std::move(own));
  return ok;
}

#include "campaign/campaign_support.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string bench_name(const std::string& chip, const std::string& config) {
  return "123510_korvi" + chip + "_dessel00_link00_" + config + "_adc.txt";
}

void write_sim(const std::string& path, int events, uint64_t seed,
               void (*edit)(simulation_options&)) {
  simulation_options o = realistic_options(events, "20mV_delay-all", seed);
  if (edit) edit(o);
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f || !write_recording(o, f)) throw std::runtime_error("cannot write " + path);
  std::fclose(f);
}

std::map<std::string, std::string> planted_faults(const std::string& folder) {
  std::map<std::string, std::string> faults;
  std::ifstream in(folder + "/faults.tsv");
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string chip, config, fault;
    if (std::getline(fields, chip, '\t') && std::getline(fields, config, '\t') &&
        std::getline(fields, fault, '\t'))
      faults[chip] = fault;
  }
  return faults;
}

std::vector<std::string> write_campaign(const std::string& folder, int count, int events) {
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    paths.push_back(folder + "/" + bench_name(std::to_string(100000 + i)));
    write_sim(paths.back(), events, static_cast<uint64_t>(i + 1));
  }
  return paths;
}

program_run campaign(std::vector<std::string> args, const std::string& cwd,
                     const run_options& base) {
  args.insert(args.begin(), VARNEL_CAMPAIGN_EXE);
  args.insert(args.begin(), base.prefix.begin(), base.prefix.end());
  run_options o = base;
  o.cwd = cwd;
  // The recordings were written a moment ago: analysed now unless the test sets its own time.
  if (std::none_of(o.environment.begin(), o.environment.end(),
                   [](const std::string& e) { return e.rfind("VARNEL_CAMPAIGN_SETTLE=", 0) == 0; }))
    o.environment.push_back("VARNEL_CAMPAIGN_SETTLE=0");
  return run_program(args, o);
}

std::vector<std::string> query(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(h);
    throw std::runtime_error("cannot open " + db);
  }
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    std::string e = sqlite3_errmsg(h);
    sqlite3_close(h);
    throw std::runtime_error(e);
  }
  while (sqlite3_step(s) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(s); ++c) {
      const unsigned char* t = sqlite3_column_text(s, c);
      if (c) row.push_back('|');
      if (t) row.append(reinterpret_cast<const char*>(t));
    }
    rows.push_back(row);
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return rows;
}

std::vector<std::string> hostile_chips() {
  return {"<!--<script>",
          "\"'><img src=x onerror=alert(1)>",
          "10%zz",
          "tab\there",
          "new\nline",
          "\x1b[31mred",
          "\xff\xfe\xc3",
          "=1+1",
          "+cmd|calc!A0",
          "-2+3",
          "-5",
          "@SUM(A1)",
          "a&b\xe2\x80\xa8"
          "c",
          std::string(200, 'x')};
}

std::vector<std::string> write_hostile_campaign(const std::string& folder) {
  std::vector<std::string> paths;
  uint64_t seed = 11;
  for (const std::string& chip : hostile_chips()) {
    paths.push_back(folder + "/" + bench_name(chip));
    write_sim(paths.back(), 20, ++seed);
  }
  const std::string deep = folder + "/" + std::string(250, 'f');
  std::filesystem::create_directory(deep);
  paths.push_back(deep + "/" + bench_name("100000"));
  write_sim(paths.back(), 20, ++seed);
  return paths;
}

// Member by member, as the padding after `ready` is no part of them.
bool same_stats(const population_stats& a, const population_stats& b) {
  auto same = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  return a.usual_events == b.usual_events && a.sound_chips == b.sound_chips && a.ready == b.ready &&
         same(a.sigma, b.sigma) && same(a.within_sigma, b.within_sigma) &&
         same(a.chip_sigma, b.chip_sigma) && same(a.offset_chips, b.offset_chips) &&
         same(a.middles, b.middles) && same(a.common_mode, b.common_mode) &&
         same(a.common_mode_sigma, b.common_mode_sigma);
}

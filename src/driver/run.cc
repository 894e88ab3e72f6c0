#include "driver/run.h"

#include <cstdio>

#include "driver/run_config.h"
#include "report/rise_time_report.h"

run_outcome run_analysis(const std::string& chipstring, const std::string& config,
                         const std::string& adcfilename) {
  run_outcome out;
  out.log_path = log_path(adcfilename, chipstring, config);
  run_config rc = choose_run_config(config);
  if (!analyse_tree(adcfilename, delay_step_ns, rc.window_offset, delay_steps, rc.skipped_steps,
                    out.notes, &out.summary))
    return out;
  out.points = snapshots;
  if (!rise_time_vs_channel(out.log_path, rc.peak_time_guess, out.notes, &out.fits)) return out;
  out.status = exit_success;
  return out;
}

void print_notes(const diagnostics& notes) {
  for (const std::string& line : notes) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}

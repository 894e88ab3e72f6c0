#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "common/diagnostics.h"
#include "common/processors.h"
#include "driver/driver_messages.h"
#include "driver/exit_status.h"
#include "driver/run.h"
#include "plot/plot_outputs.h"
#include "plot/plot_run.h"
#include "plot/run_json.h"

int main(int argc, char** argv) {
  CLI::App app(
      "Analyses a recording as varnel.exe does, writing the same log, and beside it a picture of "
      "every channel's pulse and fit (.png, .pdf) and all results and points (.json).",
      "varnel-plot");
  add_version_flag(app);
  std::string chip, config, recording;
  app.add_option("chipstring", chip, "Identifier of the chip under test")->required();
  app.add_option("config", config, "Name of the test configuration")->required();
  app.add_option("adcfilename", recording, "Path of the recording")->required();
  if (std::optional<command_line_stop> stop = parse_command_line(app, argc, argv)) {
    std::fputs(stop->out.c_str(), stdout);
    std::fputs(stop->err.c_str(), stderr);
    return stop->status;
  }
  run_outcome out = run_analysis(chip, config, recording, usable_processors());
  print_notes(out.notes);
  diagnostics notes;
  int status = out.status;
  if (status == exit_success &&
      !write_plot_outputs(make_plot_run(chip, config, recording, out), notes))
    status = exit_failure;
  // A failed run leaves a record of why in place of its results, so that whoever gathers the
  // results (a cluster's job array, the campaign's ingest) keeps the failure too.
  if (status != exit_success) {
    diagnostics all = out.notes;
    all.insert(all.end(), notes.begin(), notes.end());
    diagnostics record_notes;
    if (!write_failure_record(out.log_path, failure_json_text(chip, config, recording, status, all),
                              record_notes) &&
        std::find(notes.begin(), notes.end(), record_notes.back()) == notes.end())
      notes.push_back(record_notes.back());
  }
  print_notes(notes);
  return status;
}

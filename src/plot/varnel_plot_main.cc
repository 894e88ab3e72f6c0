#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "common/diagnostics.h"
#include "driver/driver_messages.h"
#include "driver/exit_status.h"
#include "driver/run.h"
#include "plot/plot_outputs.h"
#include "results/identified_run.h"
#include "results/plot_run.h"
#include "results/run_json.h"

namespace {

// Analyses the recording, writes the log, pictures and JSON (or the failure record); the exit
// status.
int analyse_and_write(const std::string& chip, const std::string& config,
                      const std::string& recording) {
  recording_content content;
  run_outcome out = run_identified(chip, config, recording, {}, content);
  print_notes(out.notes);
  diagnostics notes;
  int status = out.status;
  plot_run run;
  if (status == exit_success) {
    run = make_plot_run(chip, config, recording, out);
    run.content = content;
    if (!write_plot_outputs(run, notes)) status = exit_failure;
  }
  // A failed run leaves a record of why in place of its results, so that whoever gathers the
  // results (a cluster's job array, the campaign's ingest) keeps the failure too.
  if (status != exit_success) {
    diagnostics all = out.notes;
    all.insert(all.end(), notes.begin(), notes.end());
    diagnostics record_notes;
    if (!write_failure_record(out.log_path,
                              failure_json_text(chip, config, recording, status, all, content),
                              record_notes) &&
        std::find(notes.begin(), notes.end(), record_notes.back()) == notes.end())
      notes.push_back(record_notes.back());
  }
  print_notes(notes);
  return status;
}

}  // namespace

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
  try {
    return analyse_and_write(chip, config, recording);
  } catch (const std::exception& e) {
    // Whatever was staged is removed as the stack unwinds; the run says why it stopped.
    std::fprintf(stderr, "varnel-plot: %s\n", e.what());
    return exit_failure;
  }
}

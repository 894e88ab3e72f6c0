#include <cstdio>

#include "common/diagnostics.h"
#include "driver/driver_messages.h"
#include "driver/exit_status.h"
#include "driver/run.h"
#include "plot/plot_outputs.h"
#include "plot/plot_run.h"

int main(int argc, char** argv) {
  if (argc <= 3) {
    std::fputs(usage_text(argc).c_str(), stdout);
    return exit_usage;
  }
  run_outcome out = run_analysis(argv[1], argv[2], argv[3]);
  print_notes(out.notes);
  if (out.status != exit_success) return out.status;
  diagnostics notes;
  bool written = write_plot_outputs(make_plot_run(argv[1], argv[2], argv[3], out), notes);
  print_notes(notes);
  return written ? exit_success : exit_failure;
}

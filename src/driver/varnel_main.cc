#include <cstdio>

#include "common/diagnostics.h"
#include "common/processors.h"
#include "driver/driver_messages.h"
#include "driver/exit_status.h"
#include "driver/run.h"

int main(int argc, char** argv) {
  if (argc <= 3) {
    std::fputs(usage_text(argc).c_str(), stdout);
    return exit_usage;
  }
  run_outcome out = run_analysis(argv[1], argv[2], argv[3], usable_processors());
  print_notes(out.notes);
  return out.status;
}

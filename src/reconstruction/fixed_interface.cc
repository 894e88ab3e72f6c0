#include "reconstruction/fixed_interface.h"

#include "reconstruction/recording_format.h"

snapshot_table snapshots(channel_count);

bool analyse_tree(const std::string& path, double delay_step_ns, int window_offset, int delay_steps,
                  int skipped_steps, diagnostics& notes, reconstruction_summary* summary) {
  snapshot_table table;
  reconstruction_summary local;
  bool ok = reconstruct_file(path, delay_step_ns, window_offset, delay_steps, skipped_steps, table,
                             summary ? *summary : local, notes);
  // An unopened file leaves the table as it was; any other outcome replaces it.
  if (!table.empty()) snapshots = std::move(table);
  return ok;
}

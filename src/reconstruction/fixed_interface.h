#pragma once

// The names by which the tool's design knows this module, as thin adapters over reconstruct_file()
// and its table; everything else in the module is internal to the core.

#include <string>

#include "common/diagnostics.h"
#include "reconstruction/reconstruct.h"
#include "reconstruction/snapshots.h"

/// The process's table of reconstructed points: 32 empty channel lists from start-up on, sized and
/// filled by analyse_tree. Only the fixed-name adapters use it; the core passes tables as values.
extern snapshot_table snapshots;

/// Opens the recording at `path` and reconstructs it into the global `snapshots`; false, with
/// the reason in `notes`, when the file does not open or the reconstruction fails. `snapshots` is
/// left as it was when the file does not open.
bool analyse_tree(const std::string& path, double delay_step_ns, int window_offset, int delay_steps,
                  int skipped_steps, diagnostics& notes, reconstruction_summary* summary = nullptr);

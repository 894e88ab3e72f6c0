#pragma once

#include <string>
#include <vector>

#include "campaign/model/recording_name.h"
#include "campaign/run/manifest.h"

/// A recording to analyse.
struct found_recording {
  std::string path;  ///< absolute and lexically normal, the key in the database
  recording_identity identity;
};

/// A file or folder left out, and why.
struct skipped_path {
  std::string path;
  std::string reason;
};

/// What a search found.
struct discovery {
  std::vector<found_recording> found;  ///< sorted by path, each path once
  std::vector<skipped_path> skipped;   ///< unreadable paths, FIFOs and such, names without chip
};

/// The absolute, lexically normal form of `path` (against the current folder).
std::string absolute_path(const std::string& path);

/// Collects the recordings under `paths`: a file is taken as it is named, a folder is searched
/// recursively for "*_adc.txt" files (other files are passed over silently). Links to folders
/// are followed, each folder searched once however many ways lead to it, after the folders
/// reached without a link. Manifest entries are taken with their chip and configuration, and
/// win over a name for the same path. A path that cannot be read, one that is not a regular file
/// (a FIFO, socket or device, never opened), a folder named like a recording (searched all the
/// same) and a recording whose name gives no chip or configuration are listed as skipped with
/// the reason.
discovery find_recordings(const std::vector<std::string>& paths,
                          const std::vector<manifest_entry>& manifest);

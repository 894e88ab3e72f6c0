#pragma once

#include <string>
#include <vector>

/// One line of a manifest: a recording with its chip and configuration.
struct manifest_entry {
  std::string chip;
  std::string config;
  std::string path;  ///< as written, relative paths taken from the manifest's folder
};

/// Reads the manifest at `path`: per line "chip config path", separated by blanks, the path
/// running to the end of the line (so it may hold blanks); blank lines and lines starting with
/// "#" are ignored. Relative paths are made relative to the manifest's folder. False, with one
/// line in `error`, when the file cannot be read or a line has fewer than three fields.
bool read_manifest(const std::string& path, std::vector<manifest_entry>& entries,
                   std::string& error);

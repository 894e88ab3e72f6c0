#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// The chip and configuration a recording belongs to.
struct recording_identity {
  std::string chip;
  std::string config;
};

/// What a file name says: the identity, or why it gives none (`reason` not empty).
struct name_reading {
  recording_identity identity;
  std::string reason;  ///< empty when the name was understood
};

/// Reads chip and configuration from a file name as the bench writes it,
/// "<time>_korvi<chip>_dessel<NN>_link<NN>_<config>_adc.txt" (directories are ignored): time and
/// NN digits, chip without "_", configuration not empty. Otherwise `reason` says what is missing.
name_reading read_recording_name(std::string_view path);

/// Whether the file name (directories ignored) ends in "_adc.txt", as every recording's does.
bool looks_like_recording(std::string_view path);

/// When the recording at `path` was made, as "YYYY-MM-DDTHH:MM:SS", for ordering the retests of
/// a chip: the date of the nearest folder above it named YYYYMMDD (a valid date) and the time of
/// a name that begins with HHMMSS and "_"; the part the path does not give comes from
/// `mtime_ns` (UTC). Without either, "".
std::string recorded_time(std::string_view path, std::optional<int64_t> mtime_ns);

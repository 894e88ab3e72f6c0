#pragma once

#include <string>

#include "campaign/recording_discovery.h"
#include "campaign/recording_record.h"

/// Analyses `r` exactly as varnel.exe would (the same log beside it, the same notes) and gathers
/// the result with the file's size, modification time and content hash, stamped with `version`.
/// A failed analysis comes back with status 1 and its message; it never throws. Safe to call
/// from several threads at once.
recording_record analyse_recording(const found_recording& r, const std::string& version);

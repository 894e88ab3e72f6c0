#pragma once

#include <string>

// The lines of varnel-plot's own: why a picture or the results could not be written.

/// The picture at `path` (or its temporary file beside it) cannot be drawn, written or renamed.
std::string cannot_write_plot(const std::string& path);
/// The JSON results at `path` (or their temporary file beside them) cannot be written.
std::string cannot_write_results(const std::string& path);

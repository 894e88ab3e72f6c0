#pragma once

/// The exit statuses of the tool's entry points.
enum exit_status {
  exit_success = 0,  ///< the log was written
  exit_failure = 1,  ///< the recording or the log could not be handled; no log was written
  exit_usage = -1,   ///< arguments missing (255 to the shell)
};

#pragma once

#include <string>

#include "driver/run.h"
#include "results/file_identity.h"

/// run_analysis() of `chipstring`, `config`, `path` on one thread with the log in `log_folder`
/// (beside the recording when empty), filling `content` with the recording's size and the hash
/// of the bytes the reading passed on; when the reading stopped short of the file's end the file
/// is hashed whole by itself. So a result can later be matched with the recording it describes.
run_outcome run_identified(const std::string& chipstring, const std::string& config,
                           const std::string& path, const std::string& log_folder,
                           recording_content& content);

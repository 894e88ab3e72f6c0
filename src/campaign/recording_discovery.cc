#include "campaign/recording_discovery.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace {

void add_named_file(const std::string& path, std::map<std::string, recording_identity>& found,
                    discovery& d) {
  name_reading r = read_recording_name(path);
  if (!r.reason.empty())
    d.skipped.push_back({path, r.reason});
  else
    found.emplace(path, std::move(r.identity));
}

std::string error_text(const std::error_code& ec) {
  return ec.message();
}

void search_folder(const fs::path& folder, std::map<std::string, recording_identity>& found,
                   discovery& d) {
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec), end;
  if (ec) {
    d.skipped.push_back({folder.string(), "cannot read the folder: " + error_text(ec)});
    return;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) {
      // The iterator stops at an unreadable subfolder; say so and go on beside it.
      d.skipped.push_back({it->path().string(), "cannot read the folder: " + error_text(ec)});
      ec.clear();
      it.disable_recursion_pending();
      continue;
    }
    std::error_code type_ec;
    if (it->is_directory(type_ec)) {
      if (::access(it->path().c_str(), R_OK | X_OK) != 0) {
        d.skipped.push_back({it->path().string(), "cannot read the folder: Permission denied"});
        it.disable_recursion_pending();
      }
      continue;
    }
    if (looks_like_recording(it->path().string()))
      add_named_file(absolute_path(it->path().string()), found, d);
  }
}

}  // namespace

std::string absolute_path(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  return (ec ? fs::path(path) : p).lexically_normal().string();
}

discovery find_recordings(const std::vector<std::string>& paths,
                          const std::vector<manifest_entry>& manifest) {
  discovery d;
  std::map<std::string, recording_identity> found;
  for (const std::string& given : paths) {
    std::error_code ec;
    fs::file_status st = fs::status(given, ec);
    if (ec || !fs::exists(st))
      d.skipped.push_back(
          {given,
           "cannot read it: " +
               error_text(ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory))});
    else if (fs::is_directory(st))
      search_folder(absolute_path(given), found, d);
    else
      add_named_file(absolute_path(given), found, d);
  }
  for (const manifest_entry& e : manifest) found[absolute_path(e.path)] = {e.chip, e.config};
  std::erase_if(d.skipped, [&](const skipped_path& s) { return found.count(s.path) != 0; });
  for (auto& [path, identity] : found) d.found.push_back({path, std::move(identity)});
  return d;
}

#include "campaign/run/recording_discovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "results/file_identity.h"

namespace fs = std::filesystem;

namespace {

// A search in progress over the paths given.
struct search {
  std::map<std::string, recording_identity> found;
  discovery d;
  std::set<std::pair<dev_t, ino_t>> searched;  // folders, however they were reached
  std::vector<std::string> linked;             // folders reached through a link, searched last
};

// A FIFO, socket or device is listed as skipped rather than opened: reading one may block.
bool skipped_irregular(const std::string& path, search& s) {
  std::string kind = irregular_kind(path);
  if (!kind.empty()) s.d.skipped.push_back({path, "not a regular file (" + kind + ")"});
  return !kind.empty();
}

void add_named_file(const std::string& path, search& s) {
  if (skipped_irregular(path, s)) return;
  name_reading r = read_recording_name(path);
  if (!r.reason.empty())
    s.d.skipped.push_back({path, r.reason});
  else
    s.found.emplace(path, std::move(r.identity));
}

std::string error_text(const std::error_code& ec) {
  return ec.message();
}

// False when the folder was searched already, under this path or another: a link back up the
// tree would otherwise be followed for ever.
bool first_visit(const std::string& folder, search& s) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return true;  // the listing says why it cannot be read
  return s.searched.insert({st.st_dev, st.st_ino}).second;
}

void search_folder(const std::string& folder, search& s) {
  if (!first_visit(folder, s)) return;
  if (::access(folder.c_str(), R_OK | X_OK) != 0) {
    s.d.skipped.push_back({folder, std::string("cannot read the folder: ") + std::strerror(errno)});
    return;
  }
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  std::vector<std::string> folders;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    std::string path = it->path().string();
    if (it->is_directory(type_ec)) {
      // Searched as any folder, but named where a recording was looked for.
      if (looks_like_recording(path))
        s.d.skipped.push_back({absolute_path(path), "a folder named like a recording"});
      (it->is_symlink(type_ec) ? s.linked : folders).push_back(path);
    } else if (looks_like_recording(path))
      add_named_file(absolute_path(path), s);
  }
  if (ec) s.d.skipped.push_back({folder, "cannot read the folder: " + error_text(ec)});
  std::sort(folders.begin(), folders.end());
  for (const std::string& f : folders) search_folder(f, s);
}

// Folders reached through links are searched once every real folder has been, so that a
// recording reachable both ways keeps the path without the link.
void search_linked_folders(search& s) {
  while (!s.linked.empty()) {
    std::vector<std::string> batch = std::exchange(s.linked, {});
    std::sort(batch.begin(), batch.end());
    for (const std::string& f : batch) search_folder(f, s);
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
  search s;
  for (const std::string& given : paths) {
    std::error_code ec;
    fs::file_status st = fs::status(given, ec);
    if (ec || !fs::exists(st))
      s.d.skipped.push_back(
          {given,
           "cannot read it: " +
               error_text(ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory))});
    else if (fs::is_directory(st))
      search_folder(absolute_path(given), s);
    else
      add_named_file(absolute_path(given), s);
  }
  search_linked_folders(s);
  for (const manifest_entry& e : manifest) {
    std::string path = absolute_path(e.path);
    if (!skipped_irregular(path, s)) s.found[path] = {e.chip, e.config};
  }
  std::erase_if(s.d.skipped, [&](const skipped_path& k) { return s.found.count(k.path) != 0; });
  for (auto& [path, identity] : s.found) s.d.found.push_back({path, std::move(identity)});
  return std::move(s.d);
}

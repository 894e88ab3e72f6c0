#include "plot/plot_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plot/run_figure.h"
#include "plot/run_json.h"
#include "report/atomic_file.h"

namespace {

// A temporary file beside `path` for a writer that wants a file name rather than a descriptor
// (PLplot opens its output itself). It is removed unless committed.
class staged_file {
 public:
  explicit staged_file(std::string path) : path_(std::move(path)) {}
  ~staged_file() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;

  // Reserves the temporary name; false when the directory does not take a new file.
  bool reserve() {
    std::vector<char> name(path_.begin(), path_.end());
    for (char c : std::string(".tmpXXXXXX")) name.push_back(c);
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    ::fchmod(fd, default_mode());
    ::close(fd);
    temp_ = name.data();
    return true;
  }

  const std::string& temp() const { return temp_; }

  // Flushes the written temporary file to disk and renames it over the path.
  bool commit() {
    int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || ::rename(temp_.c_str(), path_.c_str()) != 0) return false;
    temp_.clear();
    return true;
  }

 private:
  // What a plain fopen(path, "w") would give a new file under the current umask.
  static mode_t default_mode() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
  }

  std::string path_;
  std::string temp_;
};

bool draw_staged(const plot_run& run, figure_format format, staged_file& file) {
  return file.reserve() && draw_run_figure(run, format, file.temp());
}

}  // namespace

bool write_plot_outputs(const plot_run& run, diagnostics& notes) {
  const std::string png_path = output_path(run.log_path, ".png");
  const std::string pdf_path = output_path(run.log_path, ".pdf");
  const std::string json_path = output_path(run.log_path, ".json");
  atomic_file json(json_path);
  if (!json.open()) {
    notes.push_back(cannot_write_results(json_path));
    return false;
  }
  staged_file png(png_path), pdf(pdf_path);
  // Both pictures are drawn before either replaces an earlier one.
  if (!draw_staged(run, figure_format::png, png)) {
    notes.push_back(cannot_write_plot(png_path));
    return false;
  }
  if (!draw_staged(run, figure_format::pdf, pdf)) {
    notes.push_back(cannot_write_plot(pdf_path));
    return false;
  }
  if (!png.commit()) {
    notes.push_back(cannot_write_plot(png_path));
    return false;
  }
  if (!pdf.commit()) {
    notes.push_back(cannot_write_plot(pdf_path));
    return false;
  }
  if (!json.commit(run_json_text(run))) {
    notes.push_back(cannot_write_results(json_path));
    return false;
  }
  return true;
}

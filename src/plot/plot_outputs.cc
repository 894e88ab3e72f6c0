#include "plot/plot_outputs.h"

#include <string>

#include "common/atomic_file.h"
#include "plot/plot_messages.h"
#include "plot/run_figure.h"
#include "results/run_json.h"

namespace {

// PLplot opens its output by name, so it draws into the temporary file's name.
bool draw_staged(const plot_run& run, figure_format format, atomic_file& file) {
  return file.open() && draw_run_figure(run, format, file.temp_path());
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
  atomic_file png(png_path), pdf(pdf_path);
  // Both pictures are drawn before either replaces an earlier one.
  if (!draw_staged(run, figure_format::png, png)) {
    notes.push_back(cannot_write_plot(png_path));
    return false;
  }
  if (!draw_staged(run, figure_format::pdf, pdf)) {
    notes.push_back(cannot_write_plot(pdf_path));
    return false;
  }
  if (!png.commit_written()) {
    notes.push_back(cannot_write_plot(png_path));
    return false;
  }
  if (!pdf.commit_written()) {
    notes.push_back(cannot_write_plot(pdf_path));
    return false;
  }
  if (!json.commit(run_json_text(run))) {
    notes.push_back(cannot_write_results(json_path));
    return false;
  }
  return true;
}

bool write_failure_record(const std::string& log_path, const std::string& record,
                          diagnostics& notes) {
  const std::string json_path = output_path(log_path, ".json");
  atomic_file json(json_path);
  if (json.open() && json.commit(record)) return true;
  notes.push_back(cannot_write_results(json_path));
  return false;
}

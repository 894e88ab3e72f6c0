#include "campaign/recording_figure.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "driver/run_config.h"
#include "plot/plot_run.h"
#include "plot/run_figure.h"

namespace {

// The stored result as the plot module draws it: numbers the database held as NULL are drawn
// at zero.
channel_fit fit_of(const stored_channel& c) {
  channel_fit f = c.fit;
  for (double* v : {&f.peak_time, &f.peak_time_err, &f.amplitude, &f.amplitude_err, &f.time_stamp,
                    &f.time_stamp_err, &f.chi2, &f.xmin, &f.xmax})
    if (!std::isfinite(*v)) *v = 0.0;
  return f;
}

}  // namespace

bool recording_png(campaign_db& db, const stored_recording& r, std::string& png,
                   std::string& error) {
  plot_run run;
  run.chipstring = r.chip;
  run.config = r.config;
  run.parameters = choose_run_config(r.config);
  run.adcfilename = r.path;
  run.events_completed = r.events_completed;
  if (!db.load_points(r.id, run.points, error)) return false;
  run.points.resize(r.channels.size());
  for (const stored_channel& c : r.channels) run.fits.push_back(fit_of(c));
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/varnel-campaign-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) {
    error = "cannot create a temporary file for the picture";
    return false;
  }
  close(fd);
  bool drawn = draw_run_figure(run, figure_format::png, path);
  std::ifstream in(path, std::ios::binary);
  png.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  unlink(path.c_str());
  if (!drawn) error = "cannot draw the picture of " + r.path;
  return drawn;
}

std::string base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                 static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out.push_back(digits[(v >> s) & 63]);
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(digits[(v >> 18) & 63]);
    out.push_back(digits[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

#include "plot/run_figure.h"

#include <plplot.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/number_text.h"
#include "plot/figure_layout.h"
#include "results/json_text.h"

namespace {

// Colour map 0 entries; 0 is the background.
enum colour { white = 0, black = 1, point_blue = 2, curve_red = 3, faint_grey = 4, alert_red = 5 };

constexpr const char* device_name(figure_format f) {
  return f == figure_format::png ? "pngcairo" : "pdfcairo";
}

// plinit asks on the terminal for a device it does not know, so look it up first.
bool device_available(const char* name) {
  constexpr int max_devices = 128;
  const char* menu[max_devices];
  const char* names[max_devices];
  int n = max_devices;
  const char** menu_p = menu;
  const char** names_p = names;
  plgDevs(&menu_p, &names_p, &n);
  for (int i = 0; i < n; ++i)
    if (std::strcmp(names[i], name) == 0) return true;
  return false;
}

void set_colours() {
  plscol0(white, 255, 255, 255);
  plscol0(black, 0, 0, 0);
  plscol0(point_blue, 31, 88, 170);
  plscol0(curve_red, 214, 39, 40);
  plscol0(faint_grey, 200, 200, 200);
  plscol0(alert_red, 200, 0, 0);
}

void set_viewport(page_box b, axis_range x, axis_range y) {
  plvpor(b.xmin, b.xmax, b.ymin, b.ymax);
  plwind(x.min, x.max, y.min, y.max);
}

// Points with vertical error bars in the current window.
void draw_points(const std::vector<double>& x, const std::vector<double>& y,
                 const std::vector<double>& err, colour c, const char* marker) {
  if (x.empty()) return;
  std::vector<double> lo(y.size()), hi(y.size());
  for (size_t i = 0; i < y.size(); ++i) {
    lo[i] = y[i] - err[i];
    hi[i] = y[i] + err[i];
  }
  plcol0(c);
  // plerry draws its end caps as long as minor ticks; short ones keep small errors readable.
  plsmin(0.0, 0.2);
  plerry(static_cast<PLINT>(x.size()), x.data(), lo.data(), hi.data());
  plsmin(0.0, 1.0);
  plstring(static_cast<PLINT>(x.size()), x.data(), y.data(), marker);
}

void draw_channel_points(const channel_points& points) {
  std::vector<double> x, y, err;
  for (const snapshot_point& p : points) {
    if (!is_usable(p) || !std::isfinite(p.first) || !std::isfinite(p.second.first)) continue;
    x.push_back(p.first);
    y.push_back(p.second.first);
    err.push_back(p.second.second);
  }
  plschr(0.0, 0.4);
  draw_points(x, y, err, point_blue, "\u2022");
}

void draw_channel_curve(const channel_fit& f) {
  std::vector<double> t, a;
  fitted_curve(f, 300, t, a);
  if (t.empty()) return;
  plcol0(curve_red);
  plwidth(1.5);
  plline(static_cast<PLINT>(t.size()), t.data(), a.data());
  plwidth(1.0);
}

// `text` into the plotting library's label of `length` bytes, cut to fit.
void copy_label(const std::string& text, char* label, PLINT length) {
  if (length <= 0) return;
  label[text.copy(label, static_cast<size_t>(length) - 1)] = '\0';
}

// Tick labels for the x axes of the channel panels: those near either end of the axis are left
// out, as they would run into the neighbouring panel's.
void inner_tick_label(PLINT axis, PLFLT value, char* label, PLINT length, PLPointer data) {
  const auto* range = static_cast<const axis_range*>(data);
  double f = (value - range->min) / (range->max - range->min);
  const bool inside = axis != PL_X_AXIS || (f > 0.1 && f < 0.9);
  copy_label(inside ? fixed_text(value, 0) : std::string(), label, length);
}

void draw_channel_panel(const plot_run& run, int ch, axis_range tr, axis_range ar,
                        axis_range expected_rise) {
  set_viewport(channel_panel(ch), tr, ar);
  bool left = ch % grid_columns == 0, bottom = ch / grid_columns == grid_rows - 1;
  plcol0(black);
  plsmaj(0.0, 0.6);
  plsmin(0.0, 0.6);
  plschr(0.0, 0.5);
  plslabelfunc(inner_tick_label, &tr);
  plbox(bottom ? "bcnost" : "bcst", 0, 0, left ? "bcnstv" : "bcst", 0, 0);
  plslabelfunc(nullptr, nullptr);
  plsmaj(0.0, 1.0);
  plsmin(0.0, 1.0);
  draw_channel_curve(run.fits[ch]);
  draw_channel_points(run.points[ch]);
  plcol0(is_odd_channel(run.fits[ch], expected_rise) ? alert_red : black);
  plschr(0.0, 0.43);
  plmtex("t", 0.5, 0.5, 0.5, rise_time_title(ch, run.fits[ch]).c_str());
  // A channel that is no good measurement says why inside its panel, under the title.
  if (const std::string reason(verdict_label(run.fits[ch].verdict)); !reason.empty()) {
    plcol0(alert_red);
    plmtex("t", -1.2, 0.5, 0.5, reason.c_str());
  }
}

// A value off the summary's scale is drawn at the edge it lies beyond, as a red triangle
// pointing the way out with its value beside it, so that it stands out without squashing the
// other channels.
void draw_off_scale(double channel, double value, axis_range yr) {
  bool above = !(value < yr.min);
  double inset = 0.04 * (yr.max - yr.min);
  double edge = above ? yr.max - inset : yr.min + inset;
  plcol0(alert_red);
  plschr(0.0, 0.7);
  plstring(1, &channel, &edge, above ? "\u25b2" : "\u25bc");
  plschr(0.0, 0.5);
  plptex(channel + 0.45, edge, 1.0, 0.0, 0.0, significant_text(value, 4).c_str());
}

void draw_summary_frame(page_box box, axis_range yr, const char* ylabel, const char* title) {
  set_viewport(box, {-0.7, 31.7}, yr);
  plcol0(faint_grey);
  plbox("g", 1, 0, "g", 0, 0);
  plcol0(black);
  plschr(0.0, 0.6);
  plbox("bcnst", 4, 4, "bcnstv", 0, 0);
  plschr(0.0, 0.65);
  plmtex("b", 3.2, 0.5, 0.5, "channel");
  plmtex("l", 4.2, 0.5, 0.5, ylabel);
  plmtex("t", 0.8, 0.5, 0.5, title);
}

void draw_summary(page_box box, axis_range yr, const std::vector<double>& v,
                  const std::vector<double>& e, const char* ylabel, const char* title) {
  draw_summary_frame(box, yr, ylabel, title);
  std::vector<double> x, y, err;
  for (size_t ch = 0; ch < v.size(); ++ch) {
    if (!in_range(v[ch], yr)) {
      draw_off_scale(static_cast<double>(ch), v[ch], yr);
      continue;
    }
    x.push_back(static_cast<double>(ch));
    y.push_back(v[ch]);
    err.push_back(ch < e.size() && std::isfinite(e[ch]) ? e[ch] : 0.0);
  }
  plschr(0.0, 0.45);
  draw_points(x, y, err, point_blue, "\u25cf");
}

// The page title, and the axis labels the channel grid shares.
void draw_page_labels(const plot_run& run) {
  plvpor(0.0, 1.0, 0.0, 1.0);
  plwind(0.0, 1.0, 0.0, 1.0);
  plcol0(black);
  // The plotting library refuses text that is not UTF-8, and a chip's name is bytes.
  const std::string title = "chip " + valid_utf8(run.chipstring) + ", " + valid_utf8(run.config) +
                            ": " + std::to_string(run.events_completed) + " events";
  plschr(0.0, 0.8);
  plptex(0.5, 0.975, 1.0, 0.0, 0.5, title.c_str());
  plschr(0.0, 0.65);
  plptex(0.525, 0.365, 1.0, 0.0, 0.5, "time (ns)");
  plptex(0.018, 0.667, 0.0, 1.0, 0.5, "amplitude (ADC counts)");
}

void draw_page(const plot_run& run) {
  axis_range tr = time_range(run.points), ar = amplitude_range(run.points);
  std::vector<double> rise, rise_err, amp, amp_err;
  for (const channel_fit& f : run.fits) {
    rise.push_back(f.peak_time);
    rise_err.push_back(f.peak_time_err);
    amp.push_back(f.amplitude);
    amp_err.push_back(f.amplitude_err);
  }
  axis_range rise_r = summary_range(rise, rise_err);
  size_t panels = std::min({run.fits.size(), run.points.size(), size_t{grid_columns * grid_rows}});
  for (int ch = 0; ch < static_cast<int>(panels); ++ch) draw_channel_panel(run, ch, tr, ar, rise_r);
  draw_summary(rise_time_panel(), rise_r, rise, rise_err, "rise time (ns)",
               "Fitted rise time by channel");
  draw_summary(amplitude_panel(), summary_range(amp, amp_err), amp, amp_err,
               "amplitude (ADC counts)", "Fitted amplitude by channel");
  draw_page_labels(run);
}

// Whether the file at `path` ends the way a complete file of `format` does: a PNG with its IEND
// chunk, a PDF with its end-of-file marker. A file cut short by a full disk fails this.
bool file_is_complete(const std::string& path, figure_format format) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char tail[16] = {};
  bool ok = std::fseek(f, -static_cast<long>(sizeof tail), SEEK_END) == 0 &&
            std::fread(tail, 1, sizeof tail, f) == sizeof tail;
  std::fclose(f);
  if (!ok) return false;
  std::string end(tail, sizeof tail);
  if (format == figure_format::png)
    return end.compare(8, 8, std::string("IEND\xae\x42\x60\x82", 8)) == 0;
  return end.find("%%EOF") != std::string::npos;
}

}  // namespace

bool draw_run_figure(const plot_run& run, figure_format format, const std::string& path) {
  if (!device_available(device_name(format))) return false;
  PLINT stream = 0;
  plmkstrm(&stream);
  if (stream < 0) return false;
  plsdev(device_name(format));
  plsfnam(path.c_str());
  plspage(0.0, 0.0, figure_width, figure_height, 0, 0);
  set_colours();
  plinit();
  pladv(0);
  draw_page(run);
  plend1();
  return file_is_complete(path, format);
}

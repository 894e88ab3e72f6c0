#pragma once

#include <string>

#include "results/plot_run.h"

/// The picture formats, each drawn by a PLplot Cairo device.
enum class figure_format { png, pdf };

/// The page width: pixels in the PNG, points (1/72 inch) in the PDF.
inline constexpr int figure_width = 1800;
/// The page height, in the same units.
inline constexpr int figure_height = 1200;

/// Draws the run's single page to `path`, replacing any file there: 32 channel panels with the
/// usable points, their error bars and the fitted curve, and below them rise time and amplitude
/// against channel. False when the device is not available or the file was not written whole;
/// `path` may then hold a partial file.
bool draw_run_figure(const plot_run& run, figure_format format, const std::string& path);

#pragma once

#include <string>
#include <vector>

#include "campaign/acceptance.h"
#include "campaign/campaign_db.h"

/// What the report shows besides the stored recordings.
struct report_input {
  std::string title;                   ///< names the campaign, e.g. the database's path
  std::string rule;                    ///< the acceptance rule in force, as sentences
  std::string vega;                    ///< the inline scripts that define `vega`
  std::string figure_png;              ///< the chosen recording's picture; empty for none
  std::string figure_caption;          ///< what the picture shows
  std::vector<chip_verdict> verdicts;  ///< per chip and configuration
};

/// The whole report as one HTML page that needs nothing but itself: the campaign at a glance
/// (chips, recordings, yield per configuration, failed runs), a chip x channel heat map, each
/// channel's distribution, the chips that fail and why in a table that sorts on a click, and the
/// chosen recording's picture. Every chart is a Vega view drawn on a canvas; errors on the page
/// are listed in its element "errors". Once every chart has rendered, each chart's element
/// carries data-marks="rect:384 rule:32" (the marks it drew, by type) and the body
/// data-rendered="N" with N the number of charts, data-render-ms, the ms since navigation, and
/// data-painted-ms once the charts are on screen.
std::string report_html(const std::vector<stored_recording>& recordings, const report_input& in);

/// `text` with &, <, > and " escaped for HTML.
std::string html_escape(const std::string& text);

#include "campaign/campaign_report.h"

#include <algorithm>
#include <map>
#include <set>

#include "campaign/recording_figure.h"
#include "campaign/report_charts.h"
#include "campaign/vega_bundle.h"

using nlohmann::json;

namespace {

constexpr size_t max_failed_runs_listed = 200;

constexpr const char* style = R"css(<style>
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 1.8em; }
table { border-collapse: collapse; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
table.sortable th { cursor: pointer; }
.fail { color: #d62728; } .pass { color: #2ca02c; } .rule { max-width: 60em; }
.chart { margin: 0.5em 0; overflow: auto; max-height: 900px; }
img.run { max-width: 100%; border: 1px solid #ccc; }
#errors:empty { display: none; } #errors { color: #d62728; }
</style>
)css";

// Captures errors into the page, sorts tables on a click of a heading, and renders the charts.
constexpr const char* page_script = R"js(<script>
(function () {
  var errors = document.getElementById("errors");
  function report(message) { errors.textContent += message + "\n"; }
  window.addEventListener("error", function (e) { report(String(e.message)); });
  var consoleError = console.error;
  console.error = function () { report(Array.prototype.join.call(arguments, " ")); consoleError.apply(console, arguments); };
  document.querySelectorAll("table.sortable").forEach(function (table) {
    table.querySelectorAll("th").forEach(function (th, column) {
      th.addEventListener("click", function () {
        var body = table.tBodies[0], rows = Array.from(body.rows);
        var down = th.dataset.order !== "up";
        th.dataset.order = down ? "up" : "down";
        rows.sort(function (a, b) {
          var x = a.cells[column].textContent, y = b.cells[column].textContent;
          var n = parseFloat(x) - parseFloat(y);
          var c = isNaN(n) ? x.localeCompare(y) : n;
          return down ? c : -c;
        });
        rows.forEach(function (r) { body.appendChild(r); });
      });
    });
  });
  var charts = JSON.parse(document.getElementById("charts").textContent);
  var packed = JSON.parse(document.getElementById("cells").textContent);
  // medians[configuration][quantity][channel], looked up for every cell without building keys.
  var medians = {};
  packed.stats.forEach(function (s) {
    var byConfig = medians[s.config] || (medians[s.config] = {});
    (byConfig[s.quantity] || (byConfig[s.quantity] = []))[s.channel] = s.median;
  });
  function deviation(value, byConfig, quantity, channel) {
    var m = byConfig && byConfig[quantity] ? byConfig[quantity][channel] : undefined;
    return value === null || m === undefined ? null : value - m;
  }
  var cells = packed.rows.map(function (r) {
    var config = packed.configs[r[1]], byConfig = medians[config];
    return { chip: r[0], config: config, channel: r[2], rise_time: r[3], amplitude: r[4],
             time_stamp: r[5], verdict: packed.verdicts[r[6]], flagged: r[7] === 1,
             rise_time_dev: deviation(r[3], byConfig, "rise_time", r[2]),
             amplitude_dev: deviation(r[4], byConfig, "amplitude", r[2]),
             time_stamp_dev: deviation(r[5], byConfig, "time_stamp", r[2]) };
  });
  var flagged = cells.filter(function (cell) { return cell.flagged; });
  var ids = Object.keys(charts);
  ids.forEach(function (id) {
    charts[id].data.forEach(function (d) {
      if (d.name === "cells") d.values = cells;
      if (d.name === "flagged_cells") d.values = flagged;
    });
  });
  // The marks each chart drew, by type, from its scene graph: "rect:384 rule:32" on its element.
  function countMarks(view, element) {
    var counts = {};
    (function visit(node) {
      if (node.marktype && node.role === "mark" && node.marktype !== "group")
        counts[node.marktype] = (counts[node.marktype] || 0) + node.items.length;
      (node.items || []).forEach(function (item) { (item.items || []).forEach(visit); });
    })(view.scenegraph().root);
    element.setAttribute("data-marks", Object.keys(counts).sort().map(function (k) {
      return k + ":" + counts[k];
    }).join(" "));
  }
  // Canvas draws tens of thousands of cells far faster than SVG.
  Promise.all(ids.map(function (id) {
    var element = document.getElementById(id);
    var view = new vega.View(vega.parse(charts[id]), { renderer: "canvas", container: element, hover: true });
    return view.runAsync().then(function () { countMarks(view, element); });
  })).then(function () {
    document.body.setAttribute("data-render-ms", String(Math.round(performance.now())));
    document.body.setAttribute("data-rendered", String(ids.length));
    // The frame after next has painted the charts on screen.
    requestAnimationFrame(function () {
      requestAnimationFrame(function () {
        document.body.setAttribute("data-painted-ms", String(Math.round(performance.now())));
      });
    });
  },
           function (e) { report(String(e)); });
})();
</script>
)js";

std::string cell(const std::string& text, const char* cls = nullptr) {
  return std::string("<td") + (cls ? std::string(" class=\"") + cls + "\"" : "") + ">" +
         html_escape(text) + "</td>";
}

std::string glance(const std::vector<stored_recording>& recordings,
                   const std::vector<chip_verdict>& verdicts) {
  std::set<std::string> chips;
  size_t failed_runs = 0;
  for (const stored_recording& r : recordings) {
    chips.insert(r.chip);
    failed_runs += r.status != 0;
  }
  std::map<std::string, std::array<int, 4>> per_config;
  for (const chip_verdict& v : verdicts) ++per_config[v.config][static_cast<size_t>(v.outcome)];
  std::string html = "<p>" + std::to_string(chips.size()) + " chips, " +
                     std::to_string(recordings.size()) + " recordings, " +
                     std::to_string(failed_runs) +
                     " failed runs.</p>\n<table><thead><tr>"
                     "<th>configuration</th><th>chips</th><th>pass</th><th>fail</th>"
                     "<th>retest</th><th>not judged</th><th>yield</th></tr></thead><tbody>\n";
  for (const auto& [config, n] : per_config) {
    int total = n[0] + n[1] + n[2] + n[3];
    char yield[16];
    std::snprintf(yield, sizeof yield, "%.1f %%", total ? 100.0 * n[0] / total : 0.0);
    html += "<tr>" + cell(config) + cell(std::to_string(total)) + cell(std::to_string(n[0])) +
            cell(std::to_string(n[1])) + cell(std::to_string(n[2])) + cell(std::to_string(n[3])) +
            cell(yield) + "</tr>\n";
  }
  return html + "</tbody></table>\n";
}

std::string failed_runs(const std::vector<stored_recording>& recordings) {
  std::string rows;
  size_t listed = 0, failed = 0;
  for (const stored_recording& r : recordings) {
    if (r.status == 0) continue;
    if (++failed > max_failed_runs_listed) continue;
    ++listed;
    rows += "<tr>" + cell(r.chip) + cell(r.config) + cell(r.message) + cell(r.path) + "</tr>\n";
  }
  if (failed == 0) return "<p>No run failed.</p>\n";
  std::string html =
      "<table class=\"sortable\" id=\"failed-runs\"><thead><tr><th>chip</th>"
      "<th>configuration</th><th>message</th><th>recording</th></tr></thead><tbody>\n" +
      rows + "</tbody></table>\n";
  if (failed > listed)
    html += "<p>and " + std::to_string(failed - listed) + " more (see the database).</p>\n";
  return html;
}

std::string reasons(const chip_verdict& v) {
  std::string text;
  for (const std::string& r : v.reasons) text += (text.empty() ? "" : "; ") + r;
  return text;
}

std::string failing_chips(const std::vector<chip_verdict>& verdicts) {
  std::string rows;
  for (const chip_verdict& v : verdicts) {
    if (v.outcome == chip_outcome::pass) continue;
    rows += "<tr>" + cell(v.chip) + cell(v.config) + cell(outcome_name(v.outcome), "fail") +
            cell(std::to_string(v.flagged_channels)) +
            cell(std::to_string(v.max_flagged_channels)) + cell(reasons(v)) + "</tr>\n";
  }
  if (rows.empty()) return "<p>Every chip passes.</p>\n";
  return "<table class=\"sortable\" id=\"failing-chips\"><thead><tr><th>chip</th>"
         "<th>configuration</th><th>verdict</th><th>flagged channels</th><th>allowed</th>"
         "<th>why</th></tr></thead><tbody>\n" +
         rows + "</tbody></table>\n";
}

std::string figure(const report_input& in) {
  if (in.figure_png.empty()) return "<p>No recording to show.</p>\n";
  return "<p>" + html_escape(in.figure_caption) + "</p>\n<img class=\"run\" alt=\"" +
         html_escape(in.figure_caption) + "\" src=\"data:image/png;base64," +
         base64(in.figure_png) + "\">\n";
}

}  // namespace

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string report_html(const std::vector<stored_recording>& recordings, const report_input& in) {
  report_data d = make_report_data(recordings, in.verdicts);
  json charts = {{"yield", yield_spec(d)},
                 {"heatmap", heatmap_spec(d)},
                 {"distribution", distribution_spec(d)}};
  std::string title = "Campaign " + in.title;
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
         html_escape(title) + "</title>\n" + style + in.vega + "</head>\n<body>\n<h1>" +
         html_escape(title) + "</h1>\n<pre id=\"errors\"></pre>\n" + "<h2>At a glance</h2>\n" +
         glance(recordings, in.verdicts) + "<div class=\"chart\" id=\"yield\"></div>\n" +
         "<h2>Acceptance rule</h2>\n<p class=\"rule\">" + html_escape(in.rule) + "</p>\n" +
         "<h2>Chips and channels</h2>\n<p>Flagged channels are outlined in red; hover over a "
         "cell for its values.</p>\n<div class=\"chart\" id=\"heatmap\"></div>\n" +
         "<h2>Each channel over the chips</h2>\n<p>Boxes span the quartiles of the good "
         "channels, whiskers their extremes; red dots are flagged chips.</p>\n"
         "<div class=\"chart\" id=\"distribution\"></div>\n" +
         "<h2>Failing chips</h2>\n" + failing_chips(in.verdicts) + "<h2>Failed runs</h2>\n" +
         failed_runs(recordings) + "<h2>One recording</h2>\n" + figure(in) +
         "<script type=\"application/json\" id=\"charts\">" + script_safe(charts.dump()) +
         "</script>\n<script type=\"application/json\" id=\"cells\">" +
         script_safe(json({{"configs", d.cell_configs},
                           {"verdicts", d.cell_verdicts},
                           {"stats", d.channel_stats},
                           {"rows", d.cell_rows}})
                         .dump()) +
         "</script>\n" + page_script + "</body></html>\n";
}

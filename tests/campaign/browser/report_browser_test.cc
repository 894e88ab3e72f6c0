// The report in a real browser: headless Chromium loads it offline, every chart renders its
// marks and the page reports no error.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "campaign/campaign_support.h"
#include "campaign_simulator.h"

namespace {

struct loaded_page {
  std::string dom;
  std::string log;
};

// Loads `html` in a fresh headless Chromium profile, with `extra` flags, and returns the DOM
// once scripts ran.
loaded_page load(const std::string& html, const temp_dir& d,
                 const std::vector<std::string>& extra = {}) {
  std::vector<std::string> argv = {"timeout",
                                   "120",
                                   "chromium",
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + (d / "profile"),
                                   "--enable-logging=stderr",
                                   "--v=0",
                                   "--virtual-time-budget=20000",
                                   "--dump-dom"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back("file://" + html);
  program_run r = run_program(argv);
  return {r.out, r.err};
}

// The numbers of a comma-separated list.
std::vector<int> numbers(const std::string& text) {
  std::vector<int> v;
  std::stringstream in(text);
  for (std::string n; std::getline(in, n, ',');) v.push_back(std::stoi(n));
  return v;
}

// The marks each chart drew, as the page lists them: chart id to "rect:384 rule:32".
std::map<std::string, std::string> marks(const std::string& dom) {
  std::map<std::string, std::string> found;
  std::regex chart("id=\"([a-z]+)\"[^>]* data-marks=\"([^\"]*)\"");
  for (std::sregex_iterator it(dom.begin(), dom.end(), chart), end; it != end; ++it)
    found[(*it)[1]] = (*it)[2];
  return found;
}

}  // namespace

TEST(CampaignReportBrowser, ChartsRenderEveryMarkWithoutAnErrorOffline) {
  temp_dir d;
  std::filesystem::create_directory(d / "data");
  const int chips = 12;
  write_simulated_campaign(d / "data", chips, 40, "20mV_delay-all", true);
  write_file(d / ("data/" + campaign_recording_name("100099", "20mV_delay-all")), "garbage\n");
  ASSERT_EQ(campaign({"run", "data"}, d.path()).status, 1);
  program_run r = campaign({"report", "--out", "report.html"}, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  loaded_page page = load(d / "report.html", d);
  EXPECT_NE(page.dom.find("data-rendered=\"3\""), std::string::npos) << page.log;
  EXPECT_NE(page.dom.find("data-painted-ms=\""), std::string::npos);
  EXPECT_NE(page.dom.find("<pre id=\"errors\"></pre>"), std::string::npos);
  std::smatch console;
  EXPECT_FALSE(std::regex_search(page.log, console, std::regex(":CONSOLE\\(\\d+\\)\\].*")))
      << console.str();
  // Yield: pass, fail and not analysed. Heat map: one cell per analysed chip and channel.
  // Distribution: a box, a median line and a whisker per channel, and a dot per flagged cell:
  // at least the dead, saturated and shifted chips' 1 + 1 + 32 channels.
  std::map<std::string, std::string> drawn = marks(page.dom);
  EXPECT_EQ(drawn["yield"], "rect:3");
  EXPECT_EQ(drawn["heatmap"], "rect:" + std::to_string(chips * 32));
  const std::string boxes = "rect:64 rule:32 symbol:";
  ASSERT_EQ(drawn["distribution"].substr(0, boxes.size()), boxes);
  EXPECT_GE(std::stoi(drawn["distribution"].substr(boxes.size())), 34);
  EXPECT_NE(page.dom.find("<canvas"), std::string::npos);
  // The failing chips, each with its reason.
  for (const char* row : {"<td>100001</td>", "<td>100002</td>", "<td>100003</td>",
                          "<td>Corrupt data, likely due to connection problems.</td>"})
    EXPECT_NE(page.dom.find(row), std::string::npos) << row;
}

TEST(CampaignReportBrowser, TheFailingChipsTableSortsOnAClickOfItsHeading) {
  temp_dir d;
  std::filesystem::create_directory(d / "data");
  write_simulated_campaign(d / "data", 8, 40, "20mV_delay-all", true);
  write_file(d / ("data/" + campaign_recording_name("100099", "20mV_delay-all")), "garbage\n");
  campaign({"run", "data"}, d.path());
  ASSERT_EQ(campaign({"report", "--out", "report.html"}, d.path()).status, 0);
  // A page that loads the report in a frame, clicks the "flagged channels" heading twice and
  // writes down the column after each click.
  write_file(d / "click.html", R"(<!DOCTYPE html><html><body><pre id="order"></pre>
<iframe id="f" src="report.html" width="1200" height="800"></iframe>
<script>
document.getElementById("f").addEventListener("load", function () {
  var doc = this.contentDocument;
  var heading = doc.querySelectorAll("#failing-chips th")[3];
  function column() {
    return Array.from(doc.querySelectorAll("#failing-chips tbody tr"))
        .map(function (r) { return r.cells[3].textContent; }).join(",");
  }
  heading.click();
  var up = column();
  heading.click();
  document.getElementById("order").textContent = up + ";" + column();
});
</script></body></html>
)");
  loaded_page page = load(d / "click.html", d, {"--allow-file-access-from-files"});
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(page.dom, m, std::regex("<pre id=\"order\">([0-9,]+);([0-9,]+)</pre>")))
      << page.dom.substr(0, 300);
  std::vector<int> up = numbers(m[1]), down = numbers(m[2]);
  ASSERT_GE(up.size(), 4u);  // the three faulty chips and the corrupt recording
  EXPECT_TRUE(std::is_sorted(up.begin(), up.end()));
  EXPECT_TRUE(std::is_sorted(down.rbegin(), down.rend()));
  std::sort(down.begin(), down.end());
  EXPECT_EQ(up, down);
  EXPECT_EQ(up.front(), 0);
  EXPECT_EQ(up.back(), 32);
}

// The report in a real browser: headless Chromium loads it offline, every chart renders its
// marks and the page reports no error.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "campaign/campaign_support.h"
#include "campaign_simulator.h"

namespace {

struct loaded_page {
  std::string dom;
  std::string log;
};

// Loads `html` in a fresh headless Chromium profile and returns the DOM once scripts ran.
loaded_page load(const std::string& html, const temp_dir& d) {
  program_run r =
      run_program({"timeout", "120", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                   "--disable-quic", "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync",
                   "--user-data-dir=" + (d / "profile"), "--enable-logging=stderr", "--v=0",
                   "--virtual-time-budget=20000", "--dump-dom", "file://" + html});
  return {r.out, r.err};
}

// The marks drawn in each Vega mark group of `role` ("rect", "rule", "symbol"), in page order.
std::vector<int> marks(const std::string& dom, const std::string& type) {
  std::vector<int> counts;
  std::string open = "<g class=\"mark-" + type + " role-mark";
  for (size_t at = dom.find(open); at != std::string::npos; at = dom.find(open, at + 1)) {
    size_t end = dom.find("</g>", at);
    std::string group = dom.substr(at, end - at);
    // Vega draws a rule as an SVG line, every other mark as a path.
    std::string element = type == "rule" ? "<line" : "<path";
    int n = 0;
    for (size_t p = group.find(element); p != std::string::npos; p = group.find(element, p + 1))
      ++n;
    counts.push_back(n);
  }
  return counts;
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
  EXPECT_NE(page.dom.find("<pre id=\"errors\"></pre>"), std::string::npos);
  std::smatch console;
  EXPECT_FALSE(std::regex_search(page.log, console, std::regex(":CONSOLE\\(\\d+\\)\\].*")))
      << console.str();
  // Yield: pass, fail and not analysed. Heat map: one cell per analysed chip and channel.
  // Distribution: a box and a median line per channel, a whisker per channel.
  EXPECT_EQ(marks(page.dom, "rect"), (std::vector<int>{3, chips * 32, 32, 32}));
  EXPECT_EQ(marks(page.dom, "rule"), std::vector<int>{32});
  // Flagged cells of the dead, saturated and shifted chips: at least their 1 + 1 + 32 channels.
  std::vector<int> flagged = marks(page.dom, "symbol");
  ASSERT_EQ(flagged.size(), 1u);
  EXPECT_GE(flagged[0], 34);
  // The failing chips, each with its reason.
  for (const char* row : {"<td>100001</td>", "<td>100002</td>", "<td>100003</td>",
                          "<td>Corrupt data, likely due to connection problems.</td>"})
    EXPECT_NE(page.dom.find(row), std::string::npos) << row;
}

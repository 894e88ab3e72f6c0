// The report in a real browser: headless Chromium loads it offline, every chart renders its
// marks and the page reports no error; the first screen shows the yield and the failing chips,
// a click on one opens its pulses with the flagged channels marked, and its address opens it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "campaign/campaign_support.h"
#include "tools/campaign_simulator.h"

namespace {

struct loaded_page {
  std::string dom;
  std::string log;
};

// Whether a chromium is on the PATH; the tests skip without one.
bool chromium_installed() {
  return run_program({"sh", "-c", "command -v chromium"}).status == 0;
}

// A folder of its own under /tmp, removed with everything in it when destroyed: Chromium puts
// its profile's socket there, and a socket's path must fit in 108 bytes, which a long $TMPDIR
// leaves no room for.
struct short_folder {
  std::string path = "/tmp/varnel-chromium-XXXXXX";
  short_folder() {
    if (::mkdtemp(path.data()) == nullptr) std::abort();
  }
  ~short_folder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// Loads `html` in a fresh headless Chromium profile, with `extra` flags, and returns the DOM
// once scripts ran.
loaded_page load(const std::string& html, const std::vector<std::string>& extra = {}) {
  short_folder profile;
  run_options o;
  o.environment = {"TMPDIR=" + profile.path};
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
                                   "--user-data-dir=" + profile.path + "/profile",
                                   "--enable-logging=stderr",
                                   "--v=0",
                                   "--virtual-time-budget=20000",
                                   "--dump-dom"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back("file://" + html);
  program_run r = run_program(argv, o);
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
  std::regex chart("id=\"([a-z0-9-]+)\"[^>]* data-marks=\"([^\"]*)\"");
  for (std::sregex_iterator it(dom.begin(), dom.end(), chart), end; it != end; ++it)
    found[(*it)[1]] = (*it)[2];
  return found;
}

// The count of marks of `type` in a chart's "rect:384 rule:32"; 0 when it drew none.
int count_of(const std::string& marks, const std::string& type) {
  std::smatch m;
  if (!std::regex_search(marks, m, std::regex("(^| )" + type + ":(\\d+)"))) return 0;
  return std::stoi(m[2]);
}

// A campaign of `chips` chips with every planted defect and a corrupt recording, run and
// reported into d/report.html.
void reported_campaign(const temp_dir& d, int chips) {
  std::filesystem::create_directory(d / "data");
  write_simulated_campaign(d / "data", chips, 40, "20mV_delay-all", true);
  write_file(d / ("data/" + campaign_recording_name("100099", "20mV_delay-all")), "garbage\n");
  ASSERT_EQ(campaign({"run", "data"}, d.path()).status, 1);
  program_run r = campaign({"report", "--out", "report.html"}, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
}

// A page that loads the report in a frame of `width` x `height`, runs `probe` (the body of a
// function of the frame's window `w` and document `doc` that returns a string, or null to be
// asked again 100 ms later) once the report's charts are drawn, and writes what it returned
// into <pre id="out">. The probe's text.
std::string probe(const temp_dir& d, const std::string& probe, const std::string& address = "",
                  int width = 1366, int height = 768) {
  write_file(d / "probe.html",
             "<!DOCTYPE html><html><body style=\"margin:0\"><pre id=\"out\"></pre>"
             "<iframe id=\"f\" src=\"report.html" +
                 address + "\" width=\"" + std::to_string(width) + "\" height=\"" +
                 std::to_string(height) +
                 "\" style=\"border:0\"></iframe>\n"
                 "<script>\nfunction probe(w, doc) {\n" +
                 probe +
                 "\n}\n"
                 "var timer = setInterval(function () {\n"
                 "  var w = document.getElementById('f').contentWindow, doc = w.document;\n"
                 "  if (!doc.body || !doc.body.hasAttribute('data-rendered')) return;\n"
                 "  var found = probe(w, doc);\n"
                 "  if (found === null) return;\n"
                 "  clearInterval(timer);\n"
                 "  document.getElementById('out').textContent = found;\n"
                 "}, 100);\n</script></body></html>\n");
  loaded_page page = load(d / "probe.html", {"--allow-file-access-from-files",
                                             "--window-size=" + std::to_string(width) + "," +
                                                 std::to_string(height + 100)});
  std::smatch m;
  std::regex out("<pre id=\"out\">([^<]*)</pre>");
  if (!std::regex_search(page.dom, m, out)) return "no answer: " + page.log.substr(0, 2000);
  return m[1];
}

// "&amp;" and the like back to text.
std::string unescaped(std::string text) {
  for (auto [entity, c] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}})
    for (size_t at; (at = text.find(entity)) != std::string::npos;)
      text.replace(at, strlen(entity), c);
  return text;
}

// The days the simulated campaign's verdicts were recorded on: today, and its retest's day,
// which just after midnight is the day before.
int days_recorded() {
  std::set<std::string> days;
  for (std::time_t t : {std::time(nullptr), simulated_retest_time()}) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &utc);
    days.insert(day);
  }
  return static_cast<int>(days.size());
}

}  // namespace

TEST(CampaignReportBrowser, ChartsRenderEveryMarkWithoutAnErrorOffline) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  const int chips = 20;
  reported_campaign(d, chips);
  loaded_page page = load(d / "report.html");
  EXPECT_NE(page.dom.find("data-rendered=\"5\""), std::string::npos) << page.log;
  // The time the charts were drawn. The time they were painted, two animation frames later, is
  // not asked here: a page dumped once its virtual time runs out need not have painted by then on
  // a busy machine; the bench waits for it in real time.
  EXPECT_NE(page.dom.find("data-render-ms=\""), std::string::npos);
  EXPECT_NE(page.dom.find("<pre id=\"errors\"></pre>"), std::string::npos);
  std::smatch console;
  EXPECT_FALSE(std::regex_search(page.log, console, std::regex(":CONSOLE\\(\\d+\\)\\].*")))
      << console.str();
  // Yield: pass, fail and retest. Heat map: the cells as one image, a cell painted per analysed
  // chip and channel, and an outline per flagged cell: at least the dead, saturated and slow
  // chips' 1 + 1 + 32 channels. Pareto: a bar and a total per cause. By day: a point a day.
  // Distribution: a limits band, a box, a median line and a whisker per channel, and a dot per
  // cell flagged for the rise time shown or for its fit: at least those 34 channels.
  std::map<std::string, std::string> drawn = marks(page.dom);
  EXPECT_EQ(drawn["yield"], "rect:3");
  EXPECT_EQ(count_of(drawn["heatmap"], "image"), 1) << drawn["heatmap"];
  EXPECT_GE(count_of(drawn["heatmap"], "rect"), 34) << drawn["heatmap"];
  EXPECT_NE(page.dom.find("data-cells=\"" + std::to_string(chips * 32) + "\""), std::string::npos);
  const std::string days = std::to_string(days_recorded());
  EXPECT_EQ(drawn["byday"], "line:" + days + " symbol:" + days);
  EXPECT_GE(count_of(drawn["pareto"], "rect"), 5);
  EXPECT_EQ(count_of(drawn["pareto"], "rect"), count_of(drawn["pareto"], "text"));
  EXPECT_EQ(count_of(drawn["distribution"], "rule"), 32);
  EXPECT_GE(count_of(drawn["distribution"], "rect"), 64 + 32);
  EXPECT_GE(count_of(drawn["distribution"], "symbol"), 34);
  EXPECT_NE(page.dom.find("<canvas"), std::string::npos);
  // The failing chips, each with its reason, and the failed run.
  for (const char* row : {"<td>100001</td>", "<td>100002</td>", "<td>100003</td>",
                          "<td>Corrupt data, likely due to connection problems.</td>"})
    EXPECT_NE(page.dom.find(row), std::string::npos) << row;
}

TEST(CampaignReportBrowser, TheFirstScreenShowsTheChipYieldAndTheTopOfTheFailingTable) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  reported_campaign(d, 30);
  // The yield, its numbers, and where the failing table's first rows lie on a laptop's screen.
  std::string seen = probe(d, R"(
    var kpis = Array.from(doc.querySelectorAll('.kpi')).map(function (k) {
      return k.className.split(' ')[1] + '=' + k.dataset.value + '@' + Math.round(k.getBoundingClientRect().bottom);
    });
    var rows = doc.querySelectorAll('#failing-chips tbody tr');
    return kpis.join(' ') + ' rows=' + rows.length + ' third_row_bottom=' +
           Math.round(rows[2].getBoundingClientRect().bottom) + ' height=' + w.innerHeight;)");
  // 30 chips: 11 fail, 4 await a retest (the damaged recordings), 15 pass; the corrupt
  // recording's chip is a retest too.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      seen, m,
      std::regex("yield=([0-9.]+) %@(\\d+) tested=31@\\d+ passing=(\\d+)@\\d+ failing=(\\d+)@\\d+ "
                 "retests=(\\d+)@\\d+ incomplete=0@\\d+ unjudged=0@\\d+ rows=(\\d+) "
                 "third_row_bottom=(\\d+) "
                 "height=768")))
      << seen;
  int passing = std::stoi(m[3]), failing = std::stoi(m[4]), retests = std::stoi(m[5]);
  EXPECT_EQ(passing + failing + retests, 31);
  EXPECT_EQ(retests, 5);
  EXPECT_NEAR(std::stod(m[1]), 100.0 * passing / 31, 0.05);
  EXPECT_EQ(std::stoi(m[6]), failing + retests);
  EXPECT_LT(std::stoi(m[2]), 200);
  EXPECT_LE(std::stoi(m[7]), 768);
}

TEST(CampaignReportBrowser, AClickOnAFailingChipOrItsAddressOpensItsPulsesFlaggedChannelsMarked) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  reported_campaign(d, 20);
  // A click on the dead channel's chip (100001: channel 13) and, by address, the late chip
  // (100003: all 32 channels) and the chip with two dead channels (100014: 3 and 9).
  const std::string opened = R"(
    var section = doc.getElementById('chip-' + CHIP);
    if (!section || !section.hasAttribute('data-rendered')) {
      if (!w.clicked) { w.clicked = true; CLICK; }
      return null;
    }
    var chart = section.querySelector('.pulses');
    var frame = section.getBoundingClientRect();
    return section.id + ' hidden=' + section.hidden + ' marks=' + chart.getAttribute('data-marks') +
           ' flagged=' + chart.dataset.flagged + ' on_screen=' + (frame.top < w.innerHeight && frame.bottom > 0) +
           ' text=' + section.textContent;)";
  auto open = [&](const std::string& chip, const std::string& click, const std::string& address) {
    std::string script = std::regex_replace(opened, std::regex("CHIP"), "'" + chip + "'");
    return unescaped(probe(d, std::regex_replace(script, std::regex("CLICK"), click), address));
  };
  std::string clicked =
      open("100001", "doc.querySelector('#failing-chips tr[data-chip=\"100001\"]').click()", "");
  std::string late = open("100003", "0", "#chip-100003");
  std::string two = open("100014", "0", "#chip-100014");
  for (auto [seen, chip, flagged] :
       {std::tuple{&clicked, "100001", 1}, {&late, "100003", 32}, {&two, "100014", 2}}) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(*seen, m,
                                  std::regex("^chip-(\\d+) hidden=false marks=([a-z0-9: ]+) "
                                             "flagged=(\\d+) on_screen=true text=")))
        << *seen;
    EXPECT_EQ(m[1], chip);
    // A framed cell per flagged channel, a label per channel and a reason per flagged one, 32
    // fitted curves, and the points.
    std::string drawn = m[2];
    EXPECT_EQ(std::stoi(m[3]), flagged);
    EXPECT_EQ(count_of(drawn, "rect"), flagged) << drawn;
    EXPECT_EQ(count_of(drawn, "text"), 32 + flagged) << drawn;
    EXPECT_GT(count_of(drawn, "line"), 32) << drawn;
    EXPECT_GT(count_of(drawn, "symbol"), 32 * 20) << drawn;
  }
  EXPECT_NE(clicked.find("channel 13: no pulse"), std::string::npos) << clicked;
  EXPECT_NE(late.find("all channels: time_stamp"), std::string::npos) << late;
  EXPECT_NE(two.find("channels 3, 9: no pulse"), std::string::npos) << two;
}

TEST(CampaignReportBrowser, TheHeatMapNamesTheCellUnderThePointerRepaintsOnAMenuAndOpensAChip) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  reported_campaign(d, 20);
  // The pointer over the dead channel (chip 100001, channel 13), then the quantity switched to
  // the amplitude, the pointer there again, and a click on a cell of the late chip 100003.
  std::string seen = unescaped(probe(d, R"(
    var v = w.campaignReport.view('heatmap'), canvas = doc.querySelector('#heatmap canvas');
    function on(type, chip, channel) {
      var box = canvas.getBoundingClientRect(), xs = v.scale('x'), ys = v.scale('y');
      canvas.dispatchEvent(new w.MouseEvent(type, { bubbles: true,
        clientX: box.left + v.origin()[0] + xs(channel) + xs.step() / 2,
        clientY: box.top + v.origin()[1] + ys(chip) + ys.step() / 2 }));
      return doc.getElementById('tooltip').textContent;
    }
    if (!w.rise) {
      w.rise = on('mousemove', '100001', 13);
      w.image = v.signal('cells_image');
      v.signal('quantity', 'amplitude').runAsync();
      return null;
    }
    if (v.signal('cells_image') === w.image) return null;
    var amplitude = on('mousemove', '100001', 13);
    on('click', '100003', 20);
    return w.rise + '\n' + amplitude + '\n' + w.location.hash + ' cells=' +
           doc.getElementById('heatmap').dataset.cells;)"));
  std::stringstream in(seen);
  std::string rise, amplitude, rest;
  std::getline(in, rise);
  std::getline(in, amplitude);
  std::getline(in, rest);
  for (const char* field : {"chip100001", "channel13", "configuration20mV_delay-all",
                            "flaggedchannel 13: no pulse", "chip verdictfail"}) {
    EXPECT_NE(rise.find(field), std::string::npos) << field << " in " << seen;
    EXPECT_NE(amplitude.find(field), std::string::npos) << field << " in " << seen;
  }
  EXPECT_NE(rise.find("quantityrise_time"), std::string::npos) << seen;
  EXPECT_NE(amplitude.find("quantityamplitude"), std::string::npos) << seen;
  EXPECT_EQ(rest, "#chip-100003 cells=" + std::to_string(20 * 32)) << seen;
}

TEST(CampaignReportBrowser, ParetoCountsEqualTheVerdictsAndTheFilteredTableSavesAsCsv) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  reported_campaign(d, 20);
  program_run verdicts = campaign({"verdicts"}, d.path());
  int failing = 0, retests = 0;
  std::stringstream lines(verdicts.out);
  for (std::string line; std::getline(lines, line);) {
    failing += line.find(" 20mV_delay-all fail: ") != std::string::npos;
    retests += line.find(" 20mV_delay-all retest: ") != std::string::npos;
  }
  ASSERT_GT(failing, 5);
  std::string seen = unescaped(probe(d, R"(
    var counts = Array.from(doc.querySelectorAll('#pareto-table tbody tr')).map(function (r) {
      return r.cells[0].textContent + '=' + r.cells[r.cells.length - 1].textContent;
    });
    var filter = doc.getElementById('filter');
    filter.value = 'time_stamp ns above';
    filter.dispatchEvent(new Event('input'));
    return counts.join(';') + '\n' + w.campaignReport.failingCsv();)"));
  std::stringstream in(seen);
  std::string pareto;
  std::getline(in, pareto);
  std::map<std::string, int> causes;
  int total = 0;
  std::regex cause("([a-z ]+)=(\\d+)");
  for (std::sregex_iterator it(pareto.begin(), pareto.end(), cause), end; it != end; ++it) {
    causes[(*it)[1]] = std::stoi((*it)[2]);
    total += std::stoi((*it)[2]);
  }
  EXPECT_EQ(total, failing + retests) << pareto;
  EXPECT_EQ(causes["time stamp"], 2) << pareto;  // late, slightly late
  EXPECT_EQ(causes["wrong configuration"], 1) << pareto;
  EXPECT_EQ(causes["too few events"], 1) << pareto;
  // The CSV: the heading and the two late chips, which alone match every word.
  std::vector<std::string> csv;
  for (std::string line; std::getline(in, line);) csv.push_back(line);
  ASSERT_EQ(csv.size(), 3u) << seen;
  EXPECT_EQ(csv[0], "chip,configuration,verdict,flagged channels,why");
  EXPECT_TRUE(csv[1].starts_with("100003,20mV_delay-all,fail,32,all channels: time_stamp"))
      << csv[1];
  EXPECT_TRUE(csv[2].starts_with("100013,20mV_delay-all,fail,")) << csv[2];
}

TEST(CampaignReportBrowser, TheFailingChipsTableSortsOnAClickOfItsHeading) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  reported_campaign(d, 8);
  std::string seen = probe(d, R"(
    var heading = doc.querySelectorAll('#failing-chips th')[3];
    function column() {
      return Array.from(doc.querySelectorAll('#failing-chips tbody tr'))
          .map(function (r) { return r.cells[3].textContent; }).join(',');
    }
    heading.click();
    var up = column();
    heading.click();
    return up + ';' + column();)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(seen, m, std::regex("^([0-9,]+);([0-9,]+)$"))) << seen;
  std::vector<int> up = numbers(m[1]), down = numbers(m[2]);
  ASSERT_GE(up.size(), 4u);  // the three faulty chips and the corrupt recording
  EXPECT_TRUE(std::is_sorted(up.begin(), up.end()));
  EXPECT_TRUE(std::is_sorted(down.rbegin(), down.rend()));
  std::sort(down.begin(), down.end());
  EXPECT_EQ(up, down);
  EXPECT_EQ(up.front(), 0);
  EXPECT_EQ(up.back(), 32);
}

TEST(CampaignReportBrowser, ACharacterisedCampaignShowsGainAndNoiseOverTheChips) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  // Chips 100016 (channel 17 non-linear) and 100017 (channel 9 low gain) after the others.
  write_gain_campaign(d / "data", 20, 30, {"4mV_delay-all", "10mV_delay-all", "20mV_delay-all"},
                      true);
  campaign({"run", "data"}, d.path());
  ASSERT_EQ(campaign({"characterise"}, d.path()).status, 1);
  ASSERT_EQ(campaign({"report", "--out", "report.html"}, d.path()).status, 0);
  loaded_page page = load(d / "report.html");
  std::smatch console;
  EXPECT_FALSE(std::regex_search(page.log, console, std::regex(":CONSOLE\\(\\d+\\)\\].*")))
      << console.str();
  std::map<std::string, std::string> drawn = marks(page.dom);
  // The heat map has a cell per chip and channel with figures (dead, stuck and damaged
  // recordings' channels have none); the distribution a box, a median and a
  // whisker per channel from the chips whose figures pass, and a dot per chip flagged for its
  // gain: at least the low-gain and the non-linear channel.
  EXPECT_GT(count_of(drawn["characterisation"], "rect"), 18 * 32);
  EXPECT_LE(count_of(drawn["characterisation"], "rect"), 20 * 32);
  EXPECT_EQ(count_of(drawn["gain-distribution"], "rule"), 32);
  EXPECT_EQ(count_of(drawn["gain-distribution"], "rect"), 64);
  EXPECT_GE(count_of(drawn["gain-distribution"], "symbol"), 2);
}

// Names a hostile tester gives recordings, the database's among them: the page fills every
// section without an error, and an address with a "%" that is no valid encoding opens its chip.
TEST(CampaignReportBrowser, HostileNamesNeitherBlankThePageNorBreakAnAddress) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  std::filesystem::create_directory(d / "data");
  write_hostile_campaign(d / "data");
  // A failed run, listed in its section by chip.
  write_file(d / ("data/" + bench_name("=2+2<!--")), "garbage\n");
  const std::string db = "c<!--<script>.sqlite";
  ASSERT_EQ(campaign({"run", "--db", db, "data"}, d.path()).status, 1);
  ASSERT_EQ(campaign({"report", "--db", db, "--out", "report.html"}, d.path()).status, 0);
  for (const std::string address : {"", "#chip-10%zz"}) {
    if (!address.empty())
      write_file(d / "open.html",
                 "<!DOCTYPE html><script>location.replace('report.html" + address + "');</script>");
    loaded_page page = load(address.empty() ? d / "report.html" : d / "open.html",
                            {"--allow-file-access-from-files"});
    EXPECT_NE(page.dom.find("data-rendered=\"5\""), std::string::npos) << address << page.log;
    EXPECT_NE(page.dom.find("<pre id=\"errors\"></pre>"), std::string::npos) << address;
    std::smatch console;
    EXPECT_FALSE(std::regex_search(page.log, console, std::regex(":CONSOLE\\(\\d+\\)\\].*")))
        << address << console.str();
    for (const char* filled :
         {"<h1>Campaign c&lt;!--&lt;script&gt;.sqlite</h1>", "<td>=2+2&lt;!--</td>"})
      EXPECT_NE(page.dom.find(filled), std::string::npos) << address << ": " << filled;
  }
  loaded_page opened = load(d / "open.html", {"--allow-file-access-from-files"});
  std::smatch section;
  ASSERT_TRUE(std::regex_search(opened.dom, section,
                                std::regex("<section class=\"chip\" id=\"chip-10%zz\"[^>]*>")));
  EXPECT_EQ(section.str().find("hidden"), std::string::npos) << section.str();
}

TEST(CampaignReportBrowser, ACampaignBeyondTheChipsCarriedSaysWhatItLeavesOutAndCountsEveryChip) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
  temp_dir d;
  reported_campaign(d, 230);
  std::string seen = probe(d, R"(
    var left = doc.getElementById('left-out'), cells = doc.getElementById('heatmap').dataset.cells;
    if (cells === undefined) return null;
    return 'tested=' + doc.querySelector('.kpi.tested').dataset.value + ' cells=' + cells +
           ' errors=[' + doc.getElementById('errors').textContent + '] left=' + (left ? left.textContent : '');)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(seen, m, std::regex("^tested=(\\d+) cells=(\\d+) errors=\\[\\]")))
      << seen;
  const int tested = std::stoi(m[1]), cells = std::stoi(m[2]);
  EXPECT_GE(tested, 230);
  // The heat map paints the 200 chips carried (a chip whose run failed has no cells), not all.
  EXPECT_LE(cells, 200 * 32);
  EXPECT_GE(cells, 190 * 32);
  EXPECT_NE(unescaped(seen).find("left=This report carries 200 of the " + std::to_string(tested) +
                                 " chips in full"),
            std::string::npos)
      << seen;
}

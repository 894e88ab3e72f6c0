// The served page and the bench view in a real headless Chromium, in real time: every section
// of the page fills without an error, a chip's address opens its pulses, the page says when
// newer results are stored, and a result stored by another program while the bench view is
// open appears on it within a second.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "bench/devtools_page.h"
#include "campaign/campaign_support.h"
#include "campaign/serve_support.h"
#include "tools/campaign_simulator.h"

using nlohmann::json;

namespace {

bool chromium_installed() {
  return run_program({"sh", "-c", "command -v chromium"}).status == 0;
}

// Six realistic chips and two with planted faults, analysed into d/db.sqlite.
void served_campaign(const temp_dir& d) {
  std::filesystem::create_directory(d / "data");
  write_campaign(d / "data", 6, 20);
  write_sim(d / ("data/" + bench_name("100070")), 3, 70);
  write_sim(d / ("data/" + bench_name("100071")), 20, 71,
            [](simulation_options& o) { o.channels[13].dead = true; });
  ASSERT_NE(campaign({"run", "--db", "db.sqlite", "data"}, d.path()).status, 3);
}

// Each test has a campaign of its own; start() serves it.
class ServeBrowser : public serve_fixture {
 protected:
  void SetUp() override {
    if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
    served_campaign(d);
  }
};

// `url` in a fresh Chromium until `expression` gives a string, which must be JSON.
json in_chromium(const temp_dir& d, const std::string& url, const std::string& expression) {
  static int profiles = 0;
  page_answer a = wait_in_chromium(url, d / ("profile" + std::to_string(++profiles)), expression,
                                   1600, 900, 40);
  EXPECT_TRUE(a.ok) << a.error;
  return a.ok ? json::parse(a.value, nullptr, false) : json();
}

TEST_F(ServeBrowser, TheServedPageFillsEverySectionWithoutAnError) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  json page = in_chromium(d, s.base() + "/", R"((function () {
    var errors = document.getElementById("errors").textContent;
    if (!document.body.hasAttribute("data-rendered") && !errors) return undefined;
    return JSON.stringify({
      errors: errors, rendered: Number(document.body.dataset.rendered || 0),
      charts: document.querySelectorAll(".chart[data-marks]").length,
      kpis: document.querySelectorAll("#kpis .kpi").length,
      failing: document.querySelectorAll("#failing-chips tbody tr").length,
      rule: document.getElementById("rule").textContent.length,
      configs: document.querySelectorAll("#config-table tbody tr").length });
  })())");
  EXPECT_EQ(page["errors"], "");
  EXPECT_GE(page["rendered"], 5);
  EXPECT_EQ(page["charts"], page["rendered"]);
  EXPECT_EQ(page["kpis"], 7);
  EXPECT_GE(page["failing"], 2) << "the short recording and the dead channel";
  EXPECT_GT(page["rule"], 20);
  EXPECT_EQ(page["configs"], 1);
}

TEST_F(ServeBrowser, AChipsAddressOpensItsPulsesFetchedFromTheServer) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  json chip = in_chromium(d, s.base() + "/chip/100003", R"((function () {
    var errors = document.getElementById("errors").textContent;
    var section = document.getElementById("chip-100003");
    if (!errors && !(section && section.hasAttribute("data-rendered"))) return undefined;
    return JSON.stringify({ errors: errors, pulses: section ? Number(section.dataset.rendered) : 0,
                            hidden: section ? section.hidden : true });
  })())");
  EXPECT_EQ(chip["errors"], "");
  EXPECT_EQ(chip["pulses"], 1);
  EXPECT_EQ(chip["hidden"], false);
}

TEST_F(ServeBrowser, TheServedPageSaysWhenNewerResultsAreInAndItsLinkShowsThem) {
  const int later = 15;
  for (int i = 0; i < later; ++i) {
    std::filesystem::create_directory(d / ("later" + std::to_string(i)));
    write_sim(d / ("later" + std::to_string(i) + "/" + bench_name(std::to_string(100042 + i))), 20,
              42 + i);
  }
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  // The page notes the line of its recordings as loaded; once the notice is there, what it says
  // and where, then a click on its link; the reloaded page answers with its line. The session
  // storage keeps the notes over the reload.
  json seen;
  std::atomic<bool> answered = false;
  std::thread browser([&] {
    seen = in_chromium(d, s.base() + "/", R"((function () {
      var errors = document.getElementById("errors").textContent;
      if (errors) return JSON.stringify({ errors: errors });
      var line = document.querySelector("#kpis + .note");
      if (!document.body.hasAttribute("data-rendered") || !line) return undefined;
      var notice = document.getElementById("newer-results"), notes = sessionStorage;
      if (notes.notice) return JSON.stringify({ errors: "", notice: notes.notice, after: notes.after,
        before: notes.before, reloaded: line.textContent });
      if (!notice) { notes.before = line.textContent; return undefined; }
      notes.notice = notice.textContent;
      notes.after = notice.previousElementSibling.tagName;
      notice.querySelector("a").click();
      return undefined;
    })())");
    answered = true;
  });
  // A result stored every 2 s until the page answers, so that one is stored after it loaded
  // however long a busy machine makes that take.
  for (int i = 0; i < later && !answered; ++i) {
    program_run stored =
        campaign({"run", "--db", "db.sqlite", "later" + std::to_string(i)}, d.path());
    EXPECT_EQ(stored.status, 0) << stored.err;
    for (int wait = 0; wait < 20 && !answered; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  browser.join();
  ASSERT_EQ(seen["errors"], "");
  EXPECT_EQ(seen["notice"], "New results are in the database: reload.");
  EXPECT_EQ(seen["after"], "H1");
  // "N recordings, ..." as loaded, more once reloaded.
  EXPECT_GT(std::stoi(seen["reloaded"].get<std::string>()),
            std::stoi(seen["before"].get<std::string>()))
      << seen.dump();
}

TEST_F(ServeBrowser, AResultStoredWhileTheBenchViewIsOpenAppearsOnItWithinASecond) {
  std::filesystem::create_directory(d / "later");
  write_sim(d / ("later/" + bench_name("100042")), 20, 42,
            [](simulation_options& o) { o.channels[5].dead = true; });
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  // The page notes the chip it showed first, then answers with the time (ms since the epoch)
  // at which it shows the new one.
  json shown;
  std::thread browser([&] {
    shown = in_chromium(d, s.base() + "/bench", R"((function () {
      var chip = document.body.dataset.chip, errors = document.getElementById("errors").textContent;
      if (chip && !window.firstChip) window.firstChip = chip;
      if (chip !== "100042" && !errors) return undefined;
      var verdict = document.querySelector(".verdict");
      return JSON.stringify({ errors: errors, first: window.firstChip, at: Date.now(),
        outcome: verdict ? verdict.dataset.outcome : "", reasons: document.querySelectorAll(".verdict li").length,
        channels: Number(document.getElementById("pulses").dataset.channels || 0) });
    })())");
  });
  // The bench view has shown the campaign's latest chip by the time the new one is stored.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  program_run stored = campaign({"run", "--db", "db.sqlite", "later"}, d.path());
  double stored_ms =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  browser.join();
  ASSERT_EQ(stored.status, 0) << stored.err;
  EXPECT_EQ(shown["errors"], "");
  EXPECT_NE(shown["first"], "100042") << "the page showed the new chip from its start";
  EXPECT_LT(shown["at"].get<double>() - stored_ms, 1000.0);
  EXPECT_EQ(shown["outcome"], "fail");
  EXPECT_GE(shown["reasons"], 1);
  EXPECT_EQ(shown["channels"], 32);
}

}  // namespace

// A campaign of more chips than the served page carries, each of too few events for a verdict.
class ServeBrowserLarge : public serve_fixture {
 protected:
  void SetUp() override {
    if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed";
    std::filesystem::create_directory(d / "data");
    write_simulated_campaign(d / "data", 300, 5, "20mV_delay-all", true);
    ASSERT_NE(campaign({"run", "--db", "db.sqlite", "data"}, d.path()).status, 3);
  }
};

TEST_F(ServeBrowserLarge, AChipNotCarriedOpensFromTheServerAndShowMoreAddsEveryFailingRow) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  json summary = json::parse(s.get("/api/summary").body);
  const int total = summary["totals"]["failing"].get<int>();
  ASSERT_GT(total, static_cast<int>(summary["failing"].size())) << "the page leaves rows out";
  json page = in_chromium(d, s.base() + "/chip/100299", R"((function () {
    var errors = document.getElementById("errors").textContent;
    var section = document.getElementById("chip-100299"), more = document.getElementById("failing-more");
    if (!errors && !(section && section.hasAttribute("data-rendered") && more)) return undefined;
    if (!errors && !more.hidden) { if (!more.disabled) more.click(); return undefined; }
    return JSON.stringify({ errors: errors, pulses: section ? Number(section.dataset.rendered) : 0,
                            rows: document.querySelectorAll("#failing-chips tbody tr").length,
                            left: document.getElementById("left-out").textContent });
  })())");
  EXPECT_EQ(page["errors"], "");
  EXPECT_EQ(page["pulses"], 1);
  EXPECT_EQ(page["rows"], total);
  EXPECT_NE(page["left"].get<std::string>().find("This page lists 200 of the 300 chips"),
            std::string::npos)
      << page["left"];
}

// varnel-campaign serve: its JSON endpoints against the campaign stored, a result stored by
// another program served within a second, and what it refuses: paths outside what it serves,
// markup in the data, malformed requests, other host names, a taken port, writing the database.

#include "campaign/report/serve.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "campaign/campaign_support.h"
#include "campaign/report/campaign_api.h"
#include "campaign/serve_support.h"

using nlohmann::json;

namespace {

// A chip name that is markup, which the page must show as text.
const std::string hostile_chip = "<img src=x onerror=alert(1)>";

// Six realistic chips, one of them named as markup and one whose recording is too short to be
// judged, analysed into d/db.sqlite.
void served_campaign(const temp_dir& d) {
  std::filesystem::create_directory(d / "data");
  write_campaign(d / "data", 5, 20);
  write_sim(d / ("data/" + bench_name(hostile_chip)), 20, 7);
  write_sim(d / ("data/" + bench_name("100009")), 3, 9);
  program_run r = campaign({"run", "--db", "db.sqlite", "data"}, d.path());
  ASSERT_NE(r.status, 3) << r.err;
}

// Each test has a campaign of its own and, once start() was called, a server on it.
class Serve : public serve_fixture {
 protected:
  void SetUp() override { served_campaign(d); }
};

json get_json(const running_server& s, const std::string& path) {
  http_answer a = s.get(path);
  EXPECT_EQ(a.status, 200) << path << ": " << a.body;
  EXPECT_EQ(a.content_type, "application/json; charset=utf-8") << path;
  return json::parse(a.body, nullptr, false);
}

TEST_F(Serve, PagesOfVerdictsJoinedAreTheWholeListAndAnOutcomeChoosesItsOwn) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  json summary = get_json(s, "/api/summary");
  ASSERT_EQ(summary["verdicts"].size(), 7u);
  EXPECT_TRUE(summary["details"].empty()) << "the summary carries no pulses";
  json joined = json::array();
  for (size_t offset = 0; offset < 9; offset += 3) {
    json page = get_json(s, "/api/verdicts?limit=3&offset=" + std::to_string(offset));
    EXPECT_EQ(page["total"], 7);
    for (const json& v : page["verdicts"]) joined.push_back(v);
  }
  EXPECT_EQ(joined, summary["verdicts"]);
  json retests = get_json(s, "/api/verdicts?outcome=retest");
  size_t expected = 0;
  for (const json& v : summary["verdicts"]) expected += v["outcome"] == "retest";
  EXPECT_GE(expected, 1u);
  EXPECT_EQ(retests["total"], expected);
  for (const json& v : retests["verdicts"]) EXPECT_EQ(v["outcome"], "retest");
  json chips = get_json(s, "/api/chips?offset=5&limit=10");
  EXPECT_EQ(chips["total"], 7);
  EXPECT_EQ(chips["chips"].size(), 2u);
  // The failing table's rows paged: the whole campaign's, as many as the summary counts.
  json failing = json::array();
  for (size_t offset = 0; offset < 7; offset += 2) {
    json page = get_json(s, "/api/failing?limit=2&offset=" + std::to_string(offset));
    for (const json& v : page["failing"]) failing.push_back(v);
  }
  EXPECT_EQ(failing.size(), summary["totals"]["failing"].get<size_t>());
  EXPECT_EQ(failing, summary["failing"]);
  EXPECT_EQ(s.stop(), 0);
}

TEST_F(Serve, AChipOpensWithItsPulsesAndAnUnknownOneIsNotFound) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  json chip = get_json(s, "/api/chip/100002");
  ASSERT_EQ(chip["verdicts"].size(), 1u);
  const json& detail = chip["details"][std::to_string(chip["verdicts"][0]["recording"].get<int>())];
  ASSERT_EQ(detail["fits"].size(), 32u);
  EXPECT_EQ(detail["points"].size(), 32u);
  EXPECT_GT(detail["points"]["5"][0].size(), 20u);
  EXPECT_EQ(chip["outcome"], chip["verdicts"][0]["outcome"]);
  // Its heat-map cells and gain rows too, so that a page that did not carry it opens it whole.
  ASSERT_EQ(chip["cells"].size(), 32u);
  for (const json& cell : chip["cells"]) EXPECT_EQ(cell[0], "100002");
  EXPECT_TRUE(chip["characterisation"].is_array());
  // The first screen's summary counts every chip, whatever it carries.
  EXPECT_EQ(get_json(s, "/api/summary")["totals"]["chips"]["tested"],
            get_json(s, "/api/version")["chips"]);
  EXPECT_EQ(s.get("/api/chip/100077").status, 404);
  EXPECT_EQ(s.get("/chip/100002").status, 200);
  EXPECT_EQ(s.get("/chip/100077").status, 404);
  http_answer page = s.get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("id=\"report-data\"></script>"), std::string::npos)
      << "the served page fetches its data";
}

TEST_F(Serve, AResultStoredByAnotherProgramIsServedWithinASecond) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  json before = get_json(s, "/api/version");
  std::filesystem::create_directory(d / "later");
  write_sim(d / ("later/" + bench_name("100042")), 20, 42);
  ASSERT_EQ(campaign({"run", "--db", "db.sqlite", "later"}, d.path()).status, 0);
  auto stored = std::chrono::steady_clock::now();
  json latest;
  while (std::chrono::steady_clock::now() - stored < std::chrono::seconds(3)) {
    latest = get_json(s, "/api/latest");
    if (latest["chip"] == "100042") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - stored).count();
  ASSERT_EQ(latest["chip"], "100042");
  EXPECT_LT(waited, 1.0);
  EXPECT_EQ(latest["verdicts"][0]["outcome"], "pass");
  EXPECT_NE(get_json(s, "/api/version")["version"], before["version"]);
  EXPECT_EQ(get_json(s, "/api/version")["recordings"], before["recordings"].get<int>() + 1);
}

TEST_F(Serve, NoPathOutsideWhatItServesIsAnswered) {
  write_file(d / "secret.txt", "the secret\n");
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  for (const char* path :
       {"/db.sqlite", "/secret.txt", "/assets/../secret.txt", "/assets/%2e%2e/secret.txt",
        "/assets/..%2fsecret.txt", "/..%2f..%2fetc%2fpasswd", "//etc/passwd",
        "/assets/report.js/../../db.sqlite", "/assets/page.html", "/assets/report.css",
        "/assets/charts/pulses.json", "/assets/nothing.js", "/assets/", "/bench/../secret.txt",
        "/api/chip/../../db.sqlite"}) {
    http_answer a = s.get(path);
    EXPECT_GE(a.status, 400) << path;
    EXPECT_LT(a.status, 500) << path;
    EXPECT_EQ(a.body.find("SQLite format 3"), std::string::npos) << path;
    EXPECT_EQ(a.body.find("the secret"), std::string::npos) << path;
    EXPECT_EQ(a.body.find("root:"), std::string::npos) << path;
  }
  std::string raw = raw_exchange(
      s.port(), "GET ../secret.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(raw.find("the secret"), std::string::npos);
  for (const char* script : {"/assets/page.js", "/assets/shaper.js", "/assets/bench.js"})
    EXPECT_EQ(s.get(script).status, 200) << script;
}

TEST_F(Serve, NamesInTheDataComeBackAsDataNeverAsMarkup) {
  // A chip named with bytes that are not UTF-8.
  write_sim(d / ("data/" + bench_name("bad\xff\xfe")), 20, 11);
  ASSERT_NE(campaign({"run", "--db", "db.sqlite", "data"}, d.path()).status, 3);
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  json summary = get_json(s, "/api/summary");
  ASSERT_FALSE(summary.is_discarded()) << "the summary is JSON";
  std::string names;
  for (const json& c : summary["chips"]) names += c["chip"].get<std::string>() + "\n";
  EXPECT_NE(names.find(hostile_chip + "\n"), std::string::npos) << names;
  EXPECT_NE(names.find("bad"), std::string::npos) << names;
  json chip = get_json(s, "/api/chip/%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E");
  EXPECT_EQ(chip["chip"], hostile_chip);
  http_answer page = s.get("/chip/%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body.find(hostile_chip), std::string::npos) << "the page takes names as data";
  http_answer missing = s.get("/chip/%3Cscript%3Ealert(1)%3C%2Fscript%3E");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body.find("<script>"), std::string::npos);
  EXPECT_NE(missing.body.find("&lt;script&gt;"), std::string::npos);
}

TEST_F(Serve, MalformedRequestsGetA4xxAndTheServerCarriesOn) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  for (const char* query :
       {"/api/verdicts?limit=0", "/api/verdicts?limit=100000", "/api/verdicts?offset=-1",
        "/api/verdicts?offset=1e3", "/api/chips?limit=%20%205", "/api/verdicts?outcome=%3Cb%3E",
        "/api/chip/%zz", "/api/nothing", "/api/failing?limit=x", "/api/failing?offset=-2",
        "/api/failing?limit=1001"})
    EXPECT_EQ(s.get(query).status / 100, 4) << query;
  const std::string long_header = "X-Long: " + std::string(200000, 'a') + "\r\n";
  for (const std::string& request :
       {std::string("GARBAGE\r\n\r\n"), std::string("GET /api/version HTTP/9.9\r\n\r\n"),
        std::string("GET /api/version HTTP/1.1\r\nno colon here\r\n\r\n"),
        "GET /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + long_header +
            "\r\n",
        std::string("POST /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: "
                    "close\r\nContent-Length: 3\r\n\r\nabc"),
        std::string(
            "DELETE /api/chip/100001 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"),
        std::string(
            "GET /api/chip/%00 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")}) {
    std::string answer = raw_exchange(s.port(), request);
    EXPECT_EQ(raw_status(answer) / 100, 4) << request.substr(0, 60) << "\n"
                                           << answer.substr(0, 200);
  }
  EXPECT_EQ(s.get("/api/version").status, 200);
  EXPECT_EQ(s.stop(), 0);
}

TEST_F(Serve, PagesAreSentAsTheyAreWhateverEncodingsTheBrowserAccepts) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  for (const std::string path : {"/", "/chip/100001", "/bench"}) {
    std::string answer = raw_exchange(s.port(), "GET " + path +
                                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                    "Accept-Encoding: gzip, deflate, br\r\n"
                                                    "Connection: close\r\n\r\n");
    ASSERT_EQ(raw_status(answer), 200) << path << ": " << answer.substr(0, 200);
    const size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << path;
    const std::string head = answer.substr(0, end), body = answer.substr(end + 4);
    EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << path << ":\n" << head;
    EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos)
        << path << ":\n"
        << head;
    EXPECT_TRUE(body.starts_with("<!DOCTYPE html>")) << path;
  }
}

TEST_F(Serve, OnlyLoopbackHostNamesAreAnsweredOnLoopback) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  const std::string port = std::to_string(s.port());
  EXPECT_EQ(s.get("/api/version", "evil.example:" + port).status, 421);
  EXPECT_EQ(s.get("/api/version", "127.0.0.1.evil.example:" + port).status, 421);
  EXPECT_EQ(s.get("/api/version", "localhost:" + port).status, 200);
  EXPECT_EQ(s.get("/api/version", "127.0.0.1:" + port).status, 200);
}

TEST_F(Serve, ASecondServerOnATakenPortSaysSoInOneLine) {
  running_server& s = start();
  ASSERT_TRUE(s.ok());
  const std::string port = std::to_string(s.port());
  program_run second = campaign({"serve", "--db", "db.sqlite", "--port", port}, d.path());
  EXPECT_EQ(second.status, 1);
  ASSERT_EQ(second.err_lines().size(), 1u) << second.err;
  EXPECT_NE(second.err.find("127.0.0.1:" + port), std::string::npos) << second.err;
  EXPECT_NE(second.err.find("in use"), std::string::npos) << second.err;
  EXPECT_EQ(s.get("/api/version").status, 200) << "the first one still answers";
}

TEST_F(Serve, TheDatabaseIsReadNeverWritten) {
  std::optional<std::string> before = read_file(d / "db.sqlite");
  {
    running_server& s = start();
    ASSERT_TRUE(s.ok());
    for (const char* path : {"/", "/api/summary", "/api/chip/100001", "/api/latest", "/bench"})
      EXPECT_EQ(s.get(path).status, 200) << path;
    EXPECT_EQ(s.stop(), 0);
  }
  EXPECT_EQ(read_file(d / "db.sqlite"), before);
  program_run missing = campaign({"serve", "--db", "none.sqlite", "--port", "0"}, d.path());
  EXPECT_EQ(missing.status, 3);
  EXPECT_FALSE(std::filesystem::exists(d / "none.sqlite"));
}

TEST(ServeRules, APageOfAListIsWholeNumbersWithinItsLimit) {
  EXPECT_EQ(parse_page("", "")->limit, page_request{}.limit);
  EXPECT_EQ(parse_page("40", "7")->offset, 40u);
  EXPECT_EQ(parse_page("40", "7")->limit, 7u);
  EXPECT_TRUE(parse_page("0", std::to_string(max_page_items)));
  for (const char* bad : {"-1", "1e3", " 5", "5 ", "0x10", "abc", "99999999999999999999999"})
    EXPECT_FALSE(parse_page(bad, "")) << bad;
  EXPECT_FALSE(parse_page("", "0"));
  EXPECT_FALSE(parse_page("", std::to_string(max_page_items + 1)));
}

TEST(ServeRules, LoopbackIsTheLoopbackAddressesAndTheirNamesAtThePort) {
  EXPECT_TRUE(loopback_host("127.0.0.1:8080", 8080));
  EXPECT_TRUE(loopback_host("localhost", 8080));
  EXPECT_TRUE(loopback_host("[::1]:8080", 8080));
  EXPECT_FALSE(loopback_host("127.0.0.1:8081", 8080));
  EXPECT_FALSE(loopback_host("localhost.evil.example:8080", 8080));
  EXPECT_FALSE(loopback_host("", 8080));
  EXPECT_TRUE(loopback_address("127.0.0.1"));
  EXPECT_TRUE(loopback_address("::1"));
  EXPECT_FALSE(loopback_address("0.0.0.0"));
  EXPECT_FALSE(loopback_address("192.168.1.5"));
}

}  // namespace

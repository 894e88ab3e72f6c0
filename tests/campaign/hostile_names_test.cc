// Names a hostile tester gives recordings and folders: every command ends cleanly, every line
// it prints stays one line without raw control characters, no CSV cell can run, the page's data
// cannot end its script, and a database in a folder that cannot be written is read all the same.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "campaign/campaign_support.h"

namespace fs = std::filesystem;

namespace {

// The cells of CSV `text`, by row, quotes and doubled quotes undone.
std::vector<std::vector<std::string>> csv_cells(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      rows.back().back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ',') {
      rows.back().emplace_back();
    } else if (!quoted && c == '\n') {
      rows.emplace_back(1);
    } else {
      rows.back().back() += c;
    }
  }
  rows.pop_back();
  return rows;
}

// Whether a spreadsheet would run `cell` as a formula: it begins with =, +, -, @, a tab or a
// carriage return and is not a number.
bool runnable(const std::string& cell) {
  if (cell.empty() || std::string("=+-@\t\r").find(cell[0]) == std::string::npos) return false;
  char* end = nullptr;
  std::strtod(cell.c_str(), &end);
  return *end != '\0';
}

// What a program printed holds no raw escape or other control character but line ends.
void expect_no_raw_controls(const program_run& r, const std::string& what,
                            const std::string& allowed = "\n") {
  for (const std::string* text : {&r.out, &r.err})
    for (char c : *text)
      EXPECT_FALSE((static_cast<unsigned char>(c) < 0x20 && allowed.find(c) == std::string::npos) ||
                   c == 0x7f)
          << what << " printed byte " << int(c) << ": " << *text;
}

class HostileNames : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(d / "data");
    paths = write_hostile_campaign(d / "data");
    run = campaign({"run", "data"}, d.path());
  }
  temp_dir d;
  std::vector<std::string> paths;
  program_run run;
};

TEST_F(HostileNames, EveryCommandEndsCleanlyAndPrintsOneLinePerRecord) {
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, run.out.find(',')), std::to_string(paths.size()) + " recordings: " +
                                                      std::to_string(paths.size()) + " analysed");
  expect_no_raw_controls(run, "run");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"verdicts"},
                                               {"chips", "--csv", "chips.csv"},
                                               {"export", "--csv", "all.csv"},
                                               {"characterise", "--csv", "k.csv"}}) {
    program_run r = campaign(args, d.path());
    EXPECT_EQ(r.signal, 0) << args[0];
    EXPECT_LE(r.status, 1) << args[0] << r.err;
    expect_no_raw_controls(r, args[0]);
  }
  // verdicts: the rule, then one line per chip.
  program_run v = campaign({"verdicts"}, d.path());
  EXPECT_EQ(std::count(v.out.begin(), v.out.end(), '\n'),
            static_cast<long>(hostile_chips().size()) + 2);
  EXPECT_NE(v.out.find("new\\nline 20mV_delay-all"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("\\x1b[31mred"), std::string::npos);
  // list: three fields a line, each escaped, the path read back with the escapes undone.
  program_run l = campaign({"list", "data"}, d.path());
  EXPECT_EQ(l.status, 0);
  expect_no_raw_controls(l, "list", "\t\n");
  std::istringstream lines(l.out);
  size_t records = 0;
  for (std::string line; std::getline(lines, line); ++records)
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 2) << line;
  EXPECT_EQ(records, paths.size());
  EXPECT_NE(l.out.find("tab\\there\t20mV_delay-all\t" + (d / "data/123510_korvitab\\there")),
            std::string::npos);
  // list --null: each field as it is, ended by a NUL.
  program_run n = campaign({"list", "--null", "data"}, d.path());
  std::vector<std::string> fields;
  for (size_t at = 0, end; (end = n.out.find('\0', at)) != std::string::npos; at = end + 1)
    fields.push_back(n.out.substr(at, end - at));
  ASSERT_EQ(fields.size(), 3 * paths.size());
  for (size_t i = 2; i < fields.size(); i += 3) EXPECT_TRUE(fs::exists(fields[i])) << fields[i];
}

TEST_F(HostileNames, NoCsvCellCanRunAndNumbersStayNumbers) {
  ASSERT_EQ(campaign({"export", "--csv", "all.csv"}, d.path()).signal, 0);
  ASSERT_EQ(campaign({"chips", "--csv", "chips.csv"}, d.path()).signal, 0);
  ASSERT_EQ(campaign({"characterise", "--csv", "k.csv"}, d.path()).signal, 0);
  for (const char* file : {"all.csv", "chips.csv", "k.csv"}) {
    std::vector<std::vector<std::string>> rows = csv_cells(read_file(d / file).value());
    ASSERT_GT(rows.size(), 1u) << file;
    std::set<std::string> chips;
    for (const std::vector<std::string>& row : rows) {
      EXPECT_EQ(row.size(), rows[0].size()) << file;
      for (const std::string& cell : row) EXPECT_FALSE(runnable(cell)) << file << ": " << cell;
      chips.insert(row[file == std::string("all.csv") ? 1 : 0]);
    }
    EXPECT_TRUE(chips.count("'=1+1") && chips.count("'+cmd|calc!A0") && chips.count("'@SUM(A1)"))
        << file;
    // A chip named like a number is written as one; one that only begins like one is text.
    EXPECT_TRUE(chips.count("-5") == 1 && chips.count("'-2+3") == 1) << file;
  }
  // The numbers keep their signs: a negative time stamp or pedestal is no text.
  std::string all = read_file(d / "all.csv").value();
  for (size_t at; (at = all.find(",'-2+3,")) != std::string::npos;) all.erase(at, 6);
  EXPECT_EQ(all.find(",'-"), std::string::npos) << "a number was quoted";
}

TEST_F(HostileNames, ThePageDataCannotEndItsScriptAndIsValidUtf8) {
  const std::string db = "c<!--<script>'\".sqlite";
  ASSERT_EQ(campaign({"run", "--db", db, "data"}, d.path()).status, 0);
  program_run r = campaign({"report", "--db", db, "--out", "report.html"}, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string page = read_file(d / "report.html").value();
  const std::string open = "<script type=\"application/json\" id=\"report-data\">";
  size_t start = page.find(open);
  ASSERT_NE(start, std::string::npos);
  start += open.size();
  const std::string data = page.substr(start, page.find("</script>", start) - start);
  EXPECT_EQ(data.find_first_of("<>&"), std::string::npos);
  EXPECT_EQ(data.find("\xe2\x80\xa8"), std::string::npos);
  nlohmann::json j = nlohmann::json::parse(data);  // throws on bytes that are not UTF-8
  std::set<std::string> chips;
  for (const nlohmann::json& v : j.at("verdicts")) chips.insert(v.at("chip").get<std::string>());
  for (const std::string& chip : hostile_chips())
    if (chip != "\xff\xfe\xc3") {
      EXPECT_EQ(chips.count(chip), 1u) << chip;
    }
  EXPECT_EQ(chips.count("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"), 1u);
  EXPECT_NE(page.find("<title>Campaign c&lt;!--&lt;script&gt;&#39;&quot;.sqlite</title>"),
            std::string::npos);
}

TEST_F(HostileNames, VarnelPlotWritesValidJsonAndLeavesNoTemporaryFile) {
  for (size_t i : {size_t{0}, size_t{6}, size_t{12}}) {
    const std::string chip = hostile_chips()[i];
    program_run r = run_program({VARNEL_PLOT_EXE, chip, "20mV_delay-all", paths[i]});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("PLPLOT ERROR"), std::string::npos) << r.err;  // its picture's title
    const std::string json = d / ("data/rise_time_korvi" + chip + "_20mV_delay-all.json");
    nlohmann::json j = nlohmann::json::parse(read_file(json).value());
    EXPECT_EQ(j.at("channels").size(), 32u);
    EXPECT_EQ(j.at("size").get<int64_t>(), static_cast<int64_t>(fs::file_size(paths[i])));
  }
  for (const std::string& name : tree(d / "data"))
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

// Every reader works on a database in a folder this process cannot write to and leaves nothing
// there. As root, which writes anywhere, the readers run as user nobody.
TEST_F(HostileNames, ReadersWorkOnADatabaseInAFolderThatCannotBeWritten) {
  ASSERT_EQ(run.status, 0);
  fs::create_directory(d / "ro");
  fs::create_directory(d / "out");
  fs::rename(d / "campaign.sqlite", d / "ro/campaign.sqlite");
  run_options as;
  if (::geteuid() == 0) {
    std::optional<std::pair<uid_t, gid_t>> user = nobody();
    if (!user) GTEST_SKIP() << "running as root and there is no user nobody";
    as.uid = user->first;
    as.gid = user->second;
  }
  ASSERT_EQ(::chmod(d.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((d / "out").c_str(), 0777), 0);
  ASSERT_EQ(::chmod((d / "ro/campaign.sqlite").c_str(), 0444), 0);
  ASSERT_EQ(::chmod((d / "ro").c_str(), 0555), 0);
  const std::set<std::string> before = tree(d / "ro");
  const std::string db = d / "ro/campaign.sqlite";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"verdicts", "--db", db},
        {"chips", "--db", db, "--csv", d / "out/chips.csv"},
        {"export", "--db", db, "--csv", d / "out/all.csv"},
        {"characterise", "--db", db},
        {"limits", "--db", db, "--out", d / "out/limits.toml"},
        {"report", "--db", db, "--out", d / "out/report.html"}}) {
    program_run r = campaign(args, d / "out", as);
    EXPECT_LE(r.status, 1) << args[0] << ": " << r.err;
    EXPECT_EQ(r.err.find("cannot use database"), std::string::npos) << args[0] << ": " << r.err;
  }
  EXPECT_EQ(tree(d / "ro"), before);
  EXPECT_TRUE(fs::exists(d / "out/report.html"));
  ::chmod((d / "ro").c_str(), 0755);
}

}  // namespace

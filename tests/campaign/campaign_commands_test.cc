// The subcommands called in this process, as a test or another program calls them: the same lines
// and statuses as the program's.

#include "campaign/commands/campaign_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "campaign/campaign_support.h"

namespace {

struct in_process_run {
  int status = -1;
  std::string out, err;
};

in_process_run call(std::vector<std::string> args) {
  args.insert(args.begin(), "varnel-campaign");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  in_process_run r;
  r.status = campaign_command(static_cast<int>(args.size()), argv.data());
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

}  // namespace

TEST(CampaignCommands, InProcessRunsPrintWhatTheProgramPrints) {
  temp_dir dir;
  write_campaign(dir.path(), 3);
  const std::string db = dir / "campaign.sqlite";
  in_process_run run = call({"run", "--db", db, dir.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  in_process_run verdicts = call({"verdicts", "--db", db});
  program_run program = campaign({"verdicts", "--db", db}, dir.path());
  EXPECT_EQ(verdicts.status, program.status);
  EXPECT_EQ(verdicts.out, program.out);
  EXPECT_EQ(verdicts.err, program.err);
  EXPECT_NE(verdicts.out.find("100002"), std::string::npos) << verdicts.out;
}

TEST(CampaignCommands, InProcessErrorsKeepTheirStatusesAndOneLine) {
  temp_dir dir;
  in_process_run unknown = call({"judge"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("varnel-campaign: unknown subcommand \"judge\"", 0), 0u)
      << unknown.err;
  ASSERT_TRUE(write_file(dir / "other.sqlite", "not a database at all, just some bytes\n"));
  in_process_run other = call({"verdicts", "--db", dir / "other.sqlite"});
  EXPECT_EQ(other.status, 3);
  EXPECT_EQ(other.err.find('\n'), other.err.size() - 1) << other.err;
}

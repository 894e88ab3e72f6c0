// The benchmark program's command line; its figures are not tested.
#ifdef VARNEL_BENCH_EXE
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/tool_run.h"
#include "varnel_version.h"

namespace {

TEST(VarnelBenchOptions, UsageErrorsNameTheProgramWithStatusTwo) {
  temp_dir d;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--repeat", "0"}, "--repeat: Value 0 not in range 1 to 1000"},
      {{"--megabytes", "x"}, "--megabytes: expected a positive number, got x"},
      {{"--small-megabytes", "0"}, "--small-megabytes: expected a positive number, got 0"},
      {{"--dir"}, "--dir: 1 required TEXT missing"},
      {{"--fast"}, "The following argument was not expected: --fast"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> argv = {VARNEL_BENCH_EXE, "--dir", d.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    program_run run = run_program(argv);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "varnel-bench: " + message + "\n");
  }
  EXPECT_TRUE(tree(d.path()).empty());  // nothing measured, nothing written
  program_run version = run_program({VARNEL_BENCH_EXE, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("varnel-bench ") + varnel_version + "\n");
}

}  // namespace
#endif

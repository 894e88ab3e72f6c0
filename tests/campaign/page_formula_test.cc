// The report's opened chip and the bench view draw each channel's fitted pulse with the shaper of
// their script shaper.js: it must be the analysis's model, point for point.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "campaign/campaign_support.h"
#include "fit/shaper_model.h"

namespace {

// The text of the script's function `name`, from "function name(" to its closing brace.
std::string function_source(const std::string& script, const std::string& name) {
  size_t start = script.find("function " + name + "(");
  if (start == std::string::npos) return {};
  size_t open = script.find('{', start);
  int depth = 0;
  for (size_t i = open; i < script.size(); ++i) {
    depth += script[i] == '{' ? 1 : script[i] == '}' ? -1 : 0;
    if (depth == 0) return script.substr(start, i + 1 - start);
  }
  return {};
}

TEST(PageFormula, TheScriptsShaperIsTheAnalysisModelOnSamplePoints) {
  if (run_program({"sh", "-c", "command -v node"}).status != 0) GTEST_SKIP() << "no Node.js";
  const std::string shaper = function_source(read_file(VARNEL_SHAPER_JS).value(), "shaper");
  ASSERT_FALSE(shaper.empty());
  // Peak time, time stamp, amplitude; times before, at and after the start, at the peak and on
  // the tail.
  const double pars[][3] = {{150.0, 800.0, 500.0}, {300.0, 1200.0, -120.0}, {47.5, 20.0, 3.25}};
  std::ostringstream script;
  script.precision(17);
  script << shaper << "\nvar out = [];\n";
  std::vector<double> expected;
  for (const auto& p : pars)
    for (double k : {-0.5, 0.0, 0.3, 1.0, 1.7, 4.0, 12.0}) {
      const double t = p[1] + k * p[0];
      script << "out.push(shaper(" << t << ", " << p[0] << ", " << p[1] << ", " << p[2] << "));\n";
      const double x[] = {t}, par[] = {p[0], p[1], 0.0, p[2]};
      expected.push_back(Fit_Function(x, par));
    }
  script << "console.log(out.map(function (v) { return v.toPrecision(17); }).join(' '));\n";
  temp_dir d;
  write_file(d / "shaper.js", script.str());
  program_run r = run_program({"node", d / "shaper.js"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream values(r.out);
  for (size_t i = 0; i < expected.size(); ++i) {
    double v = NAN;
    values >> v;
    EXPECT_NEAR(v, expected[i], 1e-12 * std::max(1.0, std::fabs(expected[i]))) << "point " << i;
  }
}

}  // namespace

// Inputs the fuzz harnesses found that once broke the code, kept as tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/Scenario.h"

namespace {

// fuzz_scenario: a number beyond every JSON number type made the JSON library
// throw an exception the scenario loader did not catch, and pirnsim died
// with std::terminate instead of reporting bad input.
TEST(FuzzRegression, ScenarioWithAnOverflowingNumberIsBadJson) {
  for (const char *Text : {"{\"name\": 1e999}", "99999E9999990000crip99990000cription\"99999:~ \"\"l{a"}) {
    const sim::ScenarioLoad Load = sim::ParseScenario(Text);
    EXPECT_FALSE(Load.Value) << Text;
    EXPECT_EQ(Load.Error.Path, "") << Text;
    EXPECT_EQ(Load.Error.Reason.rfind("bad JSON: number overflow parsing", 0), 0u) << Load.Error.Reason;
  }

  const std::string Path = ::testing::TempDir() + "overflow.json";
  std::ofstream(Path) << "{\"name\": 1e999}";
  const int Status = std::system((std::string(PIRNSIM_EXE) + " --scenario " + Path + " > /dev/null 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 2);  // bad input
  std::remove(Path.c_str());
}

}  // namespace

// The driver's mailbox waits have no end by design; the model and the
// program must still never hang on them. A controller that never answers, or
// a message register whose ready bit never comes, stops the guarded run
// within the controller's budget, and pirnsim ends with a failed verdict that
// names the request, and exit status 1.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "PlatformFixture.h"
#include "driver/Driver.h"
#include "sim/Scenario.h"
#include "tools/Engine.h"
#include "tools/Report.h"

namespace {

using Words = std::array<uint32_t, 6>;
constexpr Words Args = {1, 2, 3, 4, 5, 6};
constexpr Words Poison = {0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5};
constexpr uint32_t Instance = 1;  // bus 0x20 in the default topology
constexpr uint8_t Bus = 0x20;
// Far below the machine's own access budget (50,000,000): the controller
// gives up first, long before the access log grows large.
constexpr uint64_t QuickStop = 100000;

class WatchdogTest : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    ASSERT_EQ(Boot(), EFI_SUCCESS);
    M().ClearLog();
  }

  // One request to Instance under the machine's guard; true when it returned.
  bool Request(uint32_t Message) {
    auto *Protocol = static_cast<TEV_QELT_SERVICE_PROTOCOL *>(Fw().FindProtocol(gTevQeltServiceProtocolGuid));
    Status = EFI_ABORTED;
    return P().Run([this, Protocol, Message] {
      Status = Protocol->ServiceRequest(Protocol, Instance, Message, Args.data(), Response.data());
    });
  }

  Words Response = Poison;
  EFI_STATUS Status = EFI_ABORTED;
};

TEST_F(WatchdogTest, ReadyBitThatNeverComesStopsTheRunQuickly) {
  // The message register comes out of power-on without the ready bit.
  P().HubOn(Bus).SetPowerOn(QeltMessageReg, 0);
  EXPECT_FALSE(Request(sim::QeltMsgEcho));
  EXPECT_EQ(M().LastStop().Reason, sim::StopReason::Device);
  EXPECT_EQ(M().LastStop().Message,
            "controller never answered: bus 0x20, ready bit never set (message register 0x00000000)");
  EXPECT_LT(M().AccessCount(), QuickStop);
  // Nothing was sent and nothing came back.
  EXPECT_TRUE(P().HubOn(Bus).Qelt().Messages().empty());
  EXPECT_EQ(Response, Poison);
}

TEST_F(WatchdogTest, LongButFiniteWaitsAreNotCutShort) {
  // More not-ready reads after power-on, and more busy reads, than the
  // budget of a controller that never answers: both waits still end.
  sim::QeltController &Q = P().HubOn(Bus).Qelt();
  Q.SetNotReadyReads(12000);
  Q.Reset();
  Q.SetBusyReads(12000);
  ASSERT_TRUE(Request(sim::QeltMsgEcho)) << M().LastStop().Message;
  EXPECT_EQ(Status, EFI_SUCCESS);
  EXPECT_EQ(Response, Args);
}

TEST_F(WatchdogTest, SilentControllerStopsTheRunQuickly) {
  P().HubOn(Bus).Qelt().SetNeverAnswer(true);
  EXPECT_FALSE(Request(0x123));
  EXPECT_EQ(M().LastStop().Reason, sim::StopReason::Device);
  EXPECT_EQ(M().LastStop().Message, "controller never answered: bus 0x20, message 0x123");
  EXPECT_LT(M().AccessCount(), QuickStop);
  EXPECT_EQ(Response, Poison);
}

std::string ScenarioPath(const std::string &Name) { return std::string(PIRNSIM_SOURCE_DIR) + "/scenarios/" + Name; }

struct HangingScenario {
  const char *File;
  const char *Stop;  // what the controller saw
};

class HangingScenarioTest : public ::testing::TestWithParam<HangingScenario> {};

TEST_P(HangingScenarioTest, VerdictNamesTheRequestThatNeverGotAnAnswer) {
  const sim::ScenarioLoad Load = sim::LoadScenarioFile(ScenarioPath(GetParam().File));
  ASSERT_TRUE(Load.Value) << Load.Error.Text();
  const pirnsim::RunReport R = pirnsim::Play(*Load.Value, {}).Report;
  EXPECT_FALSE(R.Good);
  ASSERT_EQ(R.Reasons.size(), 1u);
  EXPECT_EQ(R.Reasons[0], std::string("Step 2: request to instance 1, message ") + GetParam().Stop);
  EXPECT_FALSE(R.Replay.Played);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, HangingScenarioTest,
    ::testing::Values(HangingScenario{"controller-never-answers.json",
                                      "0x2: the boot stopped (device gave up: controller never answered: bus 0x40, "
                                      "message 0x2)"},
                      HangingScenario{"controller-never-ready.json",
                                      "0x10: the boot stopped (device gave up: controller never answered: bus 0x40, "
                                      "ready bit never set (message register 0x00000000))"}),
    [](const ::testing::TestParamInfo<HangingScenario> &Info) {
      std::string Name = Info.param.File;
      Name = Name.substr(0, Name.find('.'));
      for (char &C : Name) {
        C = C == '-' ? '_' : C;
      }
      return Name;
    });

// A request repeated up to the loader's limit must not hold its whole story in
// memory: past the first 100 calls only the last call's trace lines and post
// codes are kept, and the report says how many lines were left out.
TEST(WatchdogProgram, RepeatedRequestKeepsABoundedReport) {
  const auto RequestSection = [](uint32_t Repeat) {
    sim::Scenario S;
    S.Name = "repeat";
    S.Instances = {{0, PciAddress(0, 0x20, 0, 0, 0), {}}};
    sim::ScenarioStep Request;
    Request.Kind = sim::StepKind::Request;
    Request.Message = sim::QeltMsgEcho;
    Request.Repeat = Repeat;
    S.Steps = {Request};
    const pirnsim::RunReport R = pirnsim::Play(S, {}).Report;
    return R.Sections.back();
  };
  const pirnsim::Section One = RequestSection(1);
  const pirnsim::Section Many = RequestSection(250);
  ASSERT_FALSE(One.Traces.empty());
  EXPECT_EQ(Many.Traces.size(), 101 * One.Traces.size());
  EXPECT_EQ(Many.PostCodes.size(), 101 * One.PostCodes.size());
  ASSERT_FALSE(Many.Facts.empty());
  EXPECT_EQ(Many.Facts.back(),
            (std::pair<std::string, std::string>{
                "kept", "trace lines, post codes and accesses of calls 1 to 100 and of the last call; " +
                            std::to_string(149 * One.Traces.size()) + " trace lines of the others left out"}));
}

TEST(WatchdogProgram, PirnsimEndsWithStatusOneAndSaysWhatHung) {
  const std::string Command =
      std::string(PIRNSIM_EXE) + " --trace-filter none --scenario " + ScenarioPath("controller-never-answers.json");
  FILE *Pipe = popen(Command.c_str(), "r");
  ASSERT_NE(Pipe, nullptr);
  std::string Output;
  std::array<char, 4096> Chunk;
  while (size_t Got = fread(Chunk.data(), 1, Chunk.size(), Pipe)) {
    Output.append(Chunk.data(), Got);
  }
  const int Status = pclose(Pipe);
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 1);
  EXPECT_NE(Output.find("controller never answered: bus 0x40, message 0x2"), std::string::npos) << Output;
  EXPECT_NE(Output.find("VERDICT: FAILED"), std::string::npos) << Output;
}

}  // namespace

// The shipped scenarios play with their expected verdicts, and the scenario
// loader refuses malformed input with the JSON path and the reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "sim/Scenario.h"
#include "tools/Engine.h"

namespace {

std::string ScenarioPath(const std::string &Name) { return std::string(PIRNSIM_SOURCE_DIR) + "/scenarios/" + Name; }

bool AnyReasonContains(const pirnsim::RunReport &R, const std::string &Text) {
  for (const auto &Reason : R.Reasons) {
    if (Reason.find(Text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Every entry of the S3 Save State script, and every record of the table
// the SMM handler received, is shown under exactly one section, in the
// order it was filed.
void ExpectEveryEntryShownOnce(const pirnsim::RunReport &R) {
  std::vector<sim::ScriptEntry> Script;
  std::vector<uint64_t> TableOffsets;
  for (const auto &Sec : R.Sections) {
    for (const auto &E : Sec.Entries) {
      if (E.Item.Origin == sim::ReplayOrigin::Script) {
        EXPECT_EQ(E.Item.Index, Script.size()) << Sec.Title;
        Script.push_back(E.Item.Entry);
      } else {
        EXPECT_EQ(E.Item.Index, TableOffsets.size()) << Sec.Title;
        TableOffsets.push_back(E.Item.TableOffset);
      }
    }
  }
  EXPECT_EQ(Script, R.Script);
  if (R.Handoff && R.Handoff->Delivered) {
    std::vector<uint64_t> Handed;
    for (const auto &Record : R.Handoff->Table.Records) {
      Handed.push_back(Record.Offset);
    }
    EXPECT_EQ(TableOffsets, Handed);
  }
}

const pirnsim::Section &SectionOfKind(const pirnsim::RunReport &R, const std::string &Kind) {
  for (const auto &Sec : R.Sections) {
    if (Sec.Kind == Kind) {
      return Sec;
    }
  }
  ADD_FAILURE() << "no section of kind " << Kind;
  return R.Sections.front();
}

struct Expectation {
  const char *File;
  bool Good;
  const char *Reason;  // a fault the verdict must name ("" for a good one)
};

class ShippedScenario : public ::testing::TestWithParam<Expectation> {};

TEST_P(ShippedScenario, PlaysWithItsExpectedVerdict) {
  const Expectation &E = GetParam();
  const sim::ScenarioLoad Load = sim::LoadScenarioFile(ScenarioPath(E.File));
  ASSERT_TRUE(Load.Value) << Load.Error.Text();
  const pirnsim::PlayResult Result = pirnsim::Play(*Load.Value, {});
  const pirnsim::RunReport &R = Result.Report;
  EXPECT_EQ(R.Good, E.Good);
  ExpectEveryEntryShownOnce(R);
  if (E.Good) {
    // A failed replay may go on to misuse the hardware (a dead controller is
    // written while busy); a good run never does.
    EXPECT_TRUE(R.ModelViolations.empty()) << R.ModelViolations.front();
    EXPECT_TRUE(R.Reasons.empty()) << R.Reasons.front();
    ASSERT_TRUE(R.Replay.Played);
    EXPECT_FALSE(R.Replay.Registers.empty());
    for (const auto &Row : R.Replay.Registers) {
      EXPECT_TRUE(Row.Check.Restored) << Row.Name;
    }
  } else {
    EXPECT_TRUE(AnyReasonContains(R, E.Reason)) << "no reason mentions \"" << E.Reason << "\"";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ShippedScenario,
    ::testing::Values(Expectation{"default.json", true, ""}, Expectation{"two-images.json", true, ""},
                      Expectation{"missing-pcd.json", true, ""},
                      // The dead controller: the replayed poll of the first recorded request never matches.
                      Expectation{"controller-fails.json", false, "script #18: poll of 0xE20000BC for 0x80003004"},
                      // The lost request: its argument register keeps an older value after the replay.
                      Expectation{"table-full.json", false, "bus 0x20 reg 0x0C9109CC is 0x1 after the replay, 0x9"},
                      Expectation{"hardware-halt.json", false, "assertion halt 0x000A0772"}),
    [](const ::testing::TestParamInfo<Expectation> &Info) {
      std::string Name = Info.param.File;
      Name = Name.substr(0, Name.find('.'));
      for (char &C : Name) {
        C = C == '-' ? '_' : C;
      }
      return Name;
    });

TEST(ScenarioFiles, DefaultFileIsTheBuiltInScenario) {
  const sim::ScenarioLoad Load = sim::LoadScenarioFile(ScenarioPath("default.json"));
  ASSERT_TRUE(Load.Value) << Load.Error.Text();
  EXPECT_EQ(*Load.Value, sim::DefaultScenario());
}

TEST(ScenarioFiles, DefaultScenarioShowsTheWholeStory) {
  const pirnsim::RunReport R = pirnsim::Play(sim::DefaultScenario(), {}).Report;
  ASSERT_TRUE(R.Good);
  // Start-up, five requests, PCI I/O, ready-to-lock, ready-to-boot, resume.
  ASSERT_EQ(R.Sections.size(), 10U);
  // Start-up: both protocols installed, the two migratable heap HOBs as nodes
  // in HOB order (boot-services data first, then runtime-services data).
  std::map<std::string, std::string> StartUp(R.Sections[0].Facts.begin(), R.Sections[0].Facts.end());
  EXPECT_EQ(StartUp["installed"], "TevQeltServiceProtocol, TevHeapListProtocol");
  EXPECT_EQ(StartUp["heap list"], "2 node(s), built from the heap HOBs");
  EXPECT_THAT(StartUp["heap node 1"], ::testing::EndsWith("12 data byte(s), boot-services data (selector 0)"));
  EXPECT_THAT(StartUp["heap node 2"], ::testing::EndsWith("100 data byte(s), runtime-services data (selector 8)"));
  EXPECT_EQ(StartUp.count("heap node 3"), 0U);
  const auto &Refused = *R.Sections[2].Request;
  EXPECT_EQ(Refused.Status, 0x8000000000000002ULL);
  EXPECT_FALSE(Refused.Response);
  const auto &Reserved = *R.Sections[3].Request;  // message id 0xFF: not sent, arguments echoed
  EXPECT_FALSE(Reserved.Answer);
  EXPECT_EQ(Reserved.Response, Reserved.Args);
  // The requests after ready-to-lock leave table records, those before script entries.
  EXPECT_EQ(R.Sections[1].Entries.size(), 18U);
  EXPECT_EQ(R.Sections[1].Entries.front().Item.Origin, sim::ReplayOrigin::Script);
  EXPECT_EQ(R.Sections[6].Entries.size(), 18U);
  EXPECT_EQ(R.Sections[6].Entries.front().Item.Origin, sim::ReplayOrigin::Table);
  EXPECT_EQ(R.Sections[6].Entries.front().Item.TableOffset, 0x30U);
  // The lock hook locks all four instances and leaves an index and a data
  // entry per lock register and instance.
  const pirnsim::Section &Lock = R.Sections[4];
  ASSERT_EQ(Lock.Kind, "pci_io");
  EXPECT_EQ(Lock.Entries.size(), 4U * 3U * 2U);
  ASSERT_EQ(Lock.Facts.size(), 4U);
  for (const auto &[Bus, Values] : Lock.Facts) {
    EXPECT_EQ(std::count(Values.begin(), Values.end(), '='), 3) << Bus;
  }
  EXPECT_EQ(R.Script.size(), 2U * 18U + 24U);
  ASSERT_TRUE(R.Handoff);
  EXPECT_TRUE(R.Handoff->Delivered);
  EXPECT_EQ(R.Handoff->Table.Records.size(), 36U);
  EXPECT_TRUE(R.Handoff->Table.Terminated);
}

TEST(ScenarioFiles, DefaultScenarioIsTheDefaultPlatform) {
  const sim::Scenario S = sim::DefaultScenario();
  // Instances 0 to 3 on buses 0x00, 0x20, 0x40, 0x60 under one root that is
  // not an instance: byte for byte the model's default topology.
  EXPECT_EQ(pirnsim::ScenarioTopology(S).Bytes(), sim::DefaultTopology().Bytes());
  const std::vector<sim::HeapHob> Hobs = pirnsim::ScenarioHeapHobs(S);
  const std::vector<sim::HeapHob> Default = sim::DefaultHeapHobs();
  ASSERT_EQ(Hobs.size(), Default.size());
  for (size_t I = 0; I < Hobs.size(); I++) {
    EXPECT_EQ(Hobs[I].Signature, Default[I].Signature) << I;
    EXPECT_EQ(Hobs[I].HeaderDataSize(), Default[I].HeaderDataSize()) << I;
    EXPECT_EQ(Hobs[I].PoolSelector, Default[I].PoolSelector) << I;
    EXPECT_EQ(Hobs[I].MigrateFlag, Default[I].MigrateFlag) << I;
  }
}

// A PCI I/O installation after ready-to-lock: the lock hook's entries go
// into the table and are shown as its records, with their offsets.
TEST(ScenarioFiles, LockAfterReadyToLockShowsTableRecords) {
  sim::Scenario S = sim::DefaultScenario();
  std::swap(S.Steps[3], S.Steps[4]);  // ready-to-lock, then PCI I/O
  ASSERT_EQ(S.Steps[4].Kind, sim::StepKind::PciIo);
  const pirnsim::RunReport R = pirnsim::Play(S, {}).Report;
  EXPECT_TRUE(R.Good) << (R.Reasons.empty() ? "" : R.Reasons.front());
  ExpectEveryEntryShownOnce(R);
  const pirnsim::Section &Lock = SectionOfKind(R, "pci_io");
  ASSERT_EQ(Lock.Entries.size(), 24U);
  for (size_t I = 0; I < Lock.Entries.size(); I++) {
    EXPECT_EQ(Lock.Entries[I].Item.Origin, sim::ReplayOrigin::Table);
    EXPECT_EQ(Lock.Entries[I].Item.TableOffset, 0x30U + 0x18U * I);
  }
}

// A request whose entries the full table refused lists them as lost.
TEST(ScenarioFiles, RefusedEntriesAreListedWithTheStep) {
  const sim::ScenarioLoad Load = sim::LoadScenarioFile(ScenarioPath("table-full.json"));
  ASSERT_TRUE(Load.Value) << Load.Error.Text();
  const pirnsim::RunReport R = pirnsim::Play(*Load.Value, {}).Report;
  const pirnsim::Section &Last = R.Sections[R.Sections.size() - 3];  // the request after the fill
  ASSERT_EQ(Last.Kind, "request");
  EXPECT_TRUE(Last.Entries.empty());
  EXPECT_EQ(Last.Lost,
            (std::vector<std::string>{"resume entries 1 to 18 (argument word 0 to the answer poll): refused: "
                                      "\"No enough space for s3 data save\""}));
  std::ostringstream Text;
  pirnsim::WriteText(Text, R, {});
  EXPECT_NE(Text.str().find("    LOST                 resume entries 1 to 18"), std::string::npos);
}

struct BadInput {
  const char *Json;
  const char *Path;
  const char *Reason;
};

class ScenarioRefused : public ::testing::TestWithParam<BadInput> {};

TEST_P(ScenarioRefused, NamesThePathAndTheReason) {
  const BadInput &B = GetParam();
  const sim::ScenarioLoad Load = sim::ParseScenario(B.Json);
  ASSERT_FALSE(Load.Value);
  EXPECT_EQ(Load.Error.Path, B.Path);
  EXPECT_NE(Load.Error.Reason.find(B.Reason), std::string::npos) << Load.Error.Reason;
}

#define PLATFORM R"("platform": {"instances": [{"id": 0, "bus": 1}]})"
INSTANTIATE_TEST_SUITE_P(
    Loader, ScenarioRefused,
    ::testing::Values(
        BadInput{R"({"platform": )", "", "bad JSON: parse error at line 1"},
        BadInput{R"({"steps": []})", "$", "needs \"platform\""},
        BadInput{"{" PLATFORM R"(, "steps": [], "colour": 1})", "$.colour", "unknown key"},
        BadInput{R"({"platform": {"instances": [{"id": 0, "bus": "0x100"}]}, "steps": []})",
                 "$.platform.instances[0].bus", "value 0x100 out of range (at most 0xFF)"},
        BadInput{R"({"platform": {"instances": [{"id": -1, "bus": 0}]}, "steps": []})", "$.platform.instances[0].id",
                 "must not be negative"},
        BadInput{R"({"platform": {"instances": [{"id": 0, "bus": 1.5}]}, "steps": []})", "$.platform.instances[0].bus",
                 "must be an unsigned integer"},
        BadInput{R"({"platform": {"instances": [{"id": 0, "bus": 1}], "pcd": {"1345": 0}}, "steps": []})",
                 "$.platform.pcd.1345", "reads no PCD token 1345"},
        BadInput{R"({"platform": {"instances": [{"id": 0, "bus": 1}], "pcd": {"1108": 256}}, "steps": []})",
                 "$.platform.pcd.1108", "out of range (at most 0xFF)"},
        BadInput{"{" PLATFORM R"(, "steps": [{"step": "request", "instance": 7, "message": 1}]})",
                 "$.steps[0].instance", "names instance 7, which the platform does not have"},
        BadInput{"{" PLATFORM R"(, "steps": [{"step": "request", "instance": 0, "message": 1, "image": 1}]})",
                 "$.steps[0].image", "names image 1"},
        BadInput{"{" PLATFORM
                 R"(, "steps": [{"step": "request", "instance": 0, "message": 1, "args": [1,2,3,4,5,6,7]}]})",
                 "$.steps[0].args", "must hold 0 to 6 elements"},
        BadInput{"{" PLATFORM R"(, "steps": [{"step": "reboot"}]})", "$.steps[0].step", "unknown step \"reboot\""},
        BadInput{"{" PLATFORM R"(, "steps": [{"step": "resume"}, {"step": "pci_io"}]})", "$.steps[0]",
                 "must be the last step"},
        BadInput{"{" PLATFORM R"(, "mode": "emulator", "steps": []})", "$.mode", "\"simulator\" or \"hardware\""}));
#undef PLATFORM

TEST(ScenarioLoader, AcceptsHexStringsAndDecimalNumbersAlike) {
  const sim::ScenarioLoad Load = sim::ParseScenario(
      R"({"platform": {"instances": [{"id": "0x3", "segment": 1, "bus": "32", "power_on": {"0x101311AC": "0x10"}}]},
          "steps": [{"step": "request", "instance": 3, "message": "0xABC", "args": ["0xFFFFFFFF"]}]})");
  ASSERT_TRUE(Load.Value) << Load.Error.Text();
  const sim::Scenario &S = *Load.Value;
  EXPECT_EQ(S.Instances[0].Id, 3);
  EXPECT_EQ(S.Instances[0].PciAddress, 0x12000000U);
  EXPECT_EQ(S.Instances[0].PowerOn.at(0x101311AC), 0x10U);
  EXPECT_EQ(S.Steps[0].Message, 0xABCU);
  EXPECT_EQ(S.Steps[0].Args[0], 0xFFFFFFFFU);
  EXPECT_EQ(S.Steps[0].Args[1], 0U);
}

}  // namespace

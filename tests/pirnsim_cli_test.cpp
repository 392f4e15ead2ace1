// The pirnsim program as a user runs it: exit status, report, JSON output,
// bad input, the explain and decode-table commands, and the one table of
// diagnostic meanings kept complete against diag/DiagCodes.h.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "tools/DiagMeanings.h"

namespace {

struct Outcome {
  int Status;
  std::string Out;  // standard output and standard error together
};

Outcome RunPirnsim(const std::string &Arguments) {
  const std::string Command = std::string(PIRNSIM_EXE) + " " + Arguments + " 2>&1";
  FILE *Pipe = popen(Command.c_str(), "r");
  Outcome O{-1, ""};
  if (Pipe == nullptr) {
    return O;
  }
  char Buffer[4096];
  size_t Got;
  while ((Got = fread(Buffer, 1, sizeof Buffer, Pipe)) > 0) {
    O.Out.append(Buffer, Got);
  }
  const int Raw = pclose(Pipe);
  O.Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
  return O;
}

class PirnsimCli : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() / ("pirnsim_cli_" + std::to_string(::getpid()) + "_" +
                                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::string File(const std::string &Name) const { return (Dir / Name).string(); }
  void Write(const std::string &Name, const std::string &Text) const { std::ofstream(File(Name)) << Text; }
  std::filesystem::path Dir;
};

TEST_F(PirnsimCli, DefaultRunTellsTheWholeStoryWithAGoodVerdict) {
  const Outcome O = RunPirnsim("--json " + File("report.json") + " --save-table " + File("table.bin"));
  EXPECT_EQ(O.Status, 0) << O.Out;
  for (const char *Part : {"-- Start-up of driver image 0 --", "KORVU_TP:[B000A902]", "0xB000A93E  mailbox request",
                           "BIOS_QELT_MSG_ID_32, Return Status = 3", "QELTServiceRequest INVALID!!",
                           "PirnBaseSetHwInitLock Enter", "-- Resume script (S3 Save State), 60 entries --",
                           "-- Hand-off to SMM --", "header GUID TevS3SmmHandler, message length 16, command 1",
                           "#18   @0x01C8  op 5  MEM_POLL", "restored", "VERDICT: GOOD"}) {
    EXPECT_NE(O.Out.find(Part), std::string::npos) << "missing: " << Part;
  }
  std::ifstream In(File("report.json"));
  const auto J = nlohmann::json::parse(In);
  EXPECT_EQ(J["verdict"]["good"], true);
  EXPECT_EQ(J["sections"].size(), 10U);
  EXPECT_EQ(J["handoff"]["table"]["records"].size(), 36U);
  // Each step names the resume entries it left: the lock hook 24 script
  // entries, a request after ready-to-lock 18 table records with offsets.
  const auto &Lock = J["sections"][4];
  EXPECT_EQ(Lock["kind"], "pci_io");
  EXPECT_EQ(Lock["resume_entries"].size(), 24U);
  EXPECT_EQ(Lock["resume_entries"][0]["where"], "script #37");
  const auto &Table = J["sections"][6]["resume_entries"];
  ASSERT_EQ(Table.size(), 18U);
  EXPECT_EQ(Table[0]["origin"], "table");
  EXPECT_EQ(Table[0]["offset"], "0x0030");
  EXPECT_EQ(Table[17]["where"], "table #18 @0x01C8");
  EXPECT_NE(O.Out.find("    table #1 @0x0030     MEM_WRITE"), std::string::npos);

  // The saved table decodes on its own.
  const Outcome D = RunPirnsim("decode-table " + File("table.bin"));
  EXPECT_EQ(D.Status, 0) << D.Out;
  EXPECT_NE(D.Out.find("36 records, terminated"), std::string::npos) << D.Out;
}

// The model frees the pool the driver keeps by design without a word; the
// count of it is there for whoever asks.
TEST_F(PirnsimCli, StandardErrorStaysQuietUnlessThePoolReportIsAsked) {
  auto Errors = [this](const std::string &Environment) {
    const std::string Command = Environment + " " + PIRNSIM_EXE + " >" + File("out.txt") + " 2>" + File("err.txt");
    EXPECT_EQ(std::system(Command.c_str()), 0) << Command;
    std::ifstream In(File("err.txt"));
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(Errors("env -u PIRN_SIM_REPORT_POOL"), "");
  EXPECT_NE(Errors("env PIRN_SIM_REPORT_POOL=1").find("pool allocation(s)"), std::string::npos);
}

TEST_F(PirnsimCli, FailedVerdictExitsWithOne) {
  const Outcome O = RunPirnsim("--scenario " + std::string(PIRNSIM_SOURCE_DIR) + "/scenarios/controller-fails.json");
  EXPECT_EQ(O.Status, 1) << O.Out;
  EXPECT_NE(O.Out.find("VERDICT: FAILED"), std::string::npos);
  EXPECT_NE(O.Out.find("never matched"), std::string::npos);
}

TEST_F(PirnsimCli, HardwareHaltIsReportedWithItsAssertionCode) {
  const Outcome O = RunPirnsim("--scenario " + std::string(PIRNSIM_SOURCE_DIR) + "/scenarios/hardware-halt.json");
  EXPECT_EQ(O.Status, 1) << O.Out;
  EXPECT_NE(O.Out.find("HALTED      assertion halt 0x000A0772 (AssertS3TableFull)"), std::string::npos) << O.Out;
  EXPECT_NE(O.Out.find("not played: the boot halted"), std::string::npos);
}

TEST_F(PirnsimCli, BadScenarioExitsWithTwoAndWritesNoOutputFile) {
  Write(
      "bad.json",
      R"({"platform": {"instances": [{"id": 0, "bus": 1}]}, "steps": [{"step": "request", "instance": 4, "message": 1}]})");
  const Outcome O = RunPirnsim("--scenario " + File("bad.json") + " --json " + File("out.json"));
  EXPECT_EQ(O.Status, 2);
  EXPECT_NE(O.Out.find("$.steps[0].instance: names instance 4, which the platform does not have"), std::string::npos)
      << O.Out;
  EXPECT_EQ(O.Out.find("VERDICT"), std::string::npos) << "a bad scenario must not be played";
  EXPECT_FALSE(std::filesystem::exists(File("out.json")));
  EXPECT_FALSE(std::filesystem::exists(File("out.json.partial")));
}

TEST_F(PirnsimCli, BadUsageExitsWithTwo) {
  EXPECT_EQ(RunPirnsim("--no-such-option").Status, 2);
  EXPECT_EQ(RunPirnsim("--trace-filter loud").Status, 2);
  EXPECT_EQ(RunPirnsim("--scenario " + File("missing.json")).Status, 2);
  EXPECT_EQ(RunPirnsim("explain").Status, 2);
  EXPECT_EQ(RunPirnsim("explain 0xZZ").Status, 2);
  EXPECT_EQ(RunPirnsim("explain 0x12345678").Status, 2);
}

TEST_F(PirnsimCli, TraceFilterSelectsTheLinesShown) {
  const Outcome O = RunPirnsim("--trace-filter hub --json -");
  ASSERT_EQ(O.Status, 0) << O.Out;
  const auto J = nlohmann::json::parse(O.Out.substr(O.Out.find('{')));
  size_t Lines = 0;
  for (const auto &Section : J["sections"]) {
    for (const auto &Line : Section["trace"]) {
      EXPECT_EQ(Line["filter"], "HUB");
      Lines++;
    }
  }
  EXPECT_GT(Lines, 0U);
}

TEST_F(PirnsimCli, DecodeTableRefusesADamagedFile) {
  ASSERT_EQ(RunPirnsim("--save-table " + File("t.bin")).Status, 0);
  std::string Bytes;
  {
    std::ifstream In(File("t.bin"), std::ios::binary);
    Bytes.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  }
  std::ofstream(File("cut.bin"), std::ios::binary) << Bytes.substr(0, Bytes.size() - 1);
  const Outcome O = RunPirnsim("decode-table " + File("cut.bin"));
  EXPECT_EQ(O.Status, 2);
  EXPECT_NE(O.Out.find("truncated"), std::string::npos) << O.Out;
}

TEST(PirnsimExplain, NamesFileLineAndMeaningOfAnAssertion) {
  const Outcome O = RunPirnsim("explain 0xA1130227");
  EXPECT_EQ(O.Status, 0);
  EXPECT_NE(O.Out.find("file code 0xA113 (mailbox service), line 227"), std::string::npos) << O.Out;
  EXPECT_NE(O.Out.find("the instance lookup succeeded without a descriptor"), std::string::npos);
}

TEST(PirnsimExplain, ReadsTestPointsAndMarqueeWindows) {
  struct Case {
    uint64_t Value;
    const char *Reading;
  } Cases[] = {
      {0xB000A93E, "test-point value 0xB000A93E (TpQeltRequestStart)"},
      {0xA902, "test-point code, posted as 0xB000A902"},
      {0xB000AB21, "message id low byte 0x21"},
      {0xDEADA113, "marquee window 4 of 6 of assertion code 0xA1130227"},
      {0x270000DE, "marquee window 1 of 6 of assertion code 0xA1130227"},
      {0x00DEAD00, "marquee window 3 of 6 of assertion codes 0x00010320, 0x00010671"},
      {0x0000DEAD, "shown by every halted assertion"},
      {0xDEADA11302270000, "marquee value of assertion 0xA1130227"},
  };
  for (const Case &C : Cases) {
    std::string All;
    for (const auto &Reading : pirnsim::Explain(C.Value)) {
      All += Reading + "\n";
    }
    EXPECT_NE(All.find(C.Reading), std::string::npos) << std::hex << C.Value << ": " << All;
  }
  EXPECT_TRUE(pirnsim::Explain(0x12345678).empty());
}

TEST(PirnsimExplain, MarqueeWindowsFollowTheHaltRing) {
  EXPECT_EQ(pirnsim::MarqueeWindows(0xA1130227),
            (std::vector<uint32_t>{0x270000DE, 0x0000DEAD, 0x00DEADA1, 0xDEADA113, 0xADA11302, 0xA1130227}));
}

TEST(PirnsimExplain, MeaningTableCoversEveryCodeOfTheDiagnosticsHeader) {
  std::ifstream In(std::string(PIRNSIM_SOURCE_DIR) + "/diag/DiagCodes.h");
  std::stringstream Text;
  Text << In.rdbuf();
  const std::string Header = Text.str();
  const std::regex Constant(R"(inline constexpr UINT32 ((Assert|Tp)\w+) = (0x[0-9A-Fa-f]+);)");
  size_t Seen = 0;
  for (std::sregex_iterator It(Header.begin(), Header.end(), Constant), End; It != End; ++It) {
    const uint32_t Code = static_cast<uint32_t>(std::stoul((*It)[3].str(), nullptr, 16));
    if ((*It)[2] == "Assert") {
      const auto *A = pirnsim::FindAssertion(Code);
      ASSERT_NE(A, nullptr) << (*It)[1];
      EXPECT_EQ(A->Name, (*It)[1].str());
      EXPECT_NE(pirnsim::FileCodeName(Code >> 16), nullptr) << (*It)[1];
      EXPECT_GE(pirnsim::AssertionLine(Code), 0) << (*It)[1];
    } else {
      EXPECT_NE(pirnsim::FindTestPoint(Code), nullptr) << (*It)[1];
    }
    Seen++;
  }
  EXPECT_EQ(Seen, pirnsim::AssertionTable().size() + pirnsim::TestPointTable().size());
}

}  // namespace

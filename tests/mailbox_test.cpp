// Mailbox service: one request as the hub sees it, the resume entries it
// leaves and their replay, the status-byte and message-id rules, and every
// way a request fails before or after reaching the controller.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "HubExpect.h"
#include "PlatformFixture.h"
#include "diag/Diag.h"
#include "driver/Driver.h"
#include "s3save/S3Save.h"
#include "sim/S3Replay.h"
#include "sim/S3SaveState.h"
#include "sim/TopologyBuilder.h"

namespace {

using sim::QeltReply;
using sim::QeltWordArray;
using sim::ScriptEntry;
using sim::ScriptKind;
using Words = std::array<UINT32, QeltWordCount>;

constexpr uint8_t Bus = 0x20;  // instance 1 of the default topology
constexpr UINT32 Instance = 1;
constexpr uint32_t Saved = 0x0BADBEEF;  // index register before the request
constexpr uint32_t Index = PciAddress(0, Bus, 0, 0, HubIndexRegister);
constexpr Words Args = {1, 2, 3, 4, 5, 6};
constexpr Words Poison = {0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5};

class MailboxTest : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    ASSERT_EQ(Boot(), EFI_SUCCESS);
    Qelt().SetNotReadyReads(1);
    Qelt().SetBusyReads(1);
    P().HubOn(Bus).PokeIndex(Saved);
    Clear();
  }

  void Clear() {
    M().ClearLog();
    Trace().Clear();
    P().s3SaveState.ClearScript();
  }

  sim::QeltController &Qelt() { return P().HubOn(Bus).Qelt(); }

  // A request through the installed protocol, as another driver makes it.
  EFI_STATUS Request(UINT32 Id, UINT32 Message, const UINT32 *Arguments, UINT32 *Response) {
    auto *Protocol = static_cast<TEV_QELT_SERVICE_PROTOCOL *>(Fw().FindProtocol(gTevQeltServiceProtocolGuid));
    EXPECT_NE(Protocol, nullptr);
    EFI_STATUS Status = EFI_ABORTED;
    EXPECT_TRUE(P().Run([&] { Status = Protocol->ServiceRequest(Protocol, Id, Message, Arguments, Response); }))
        << M().LastStop().Message;
    return Status;
  }

  void UseTopology(const sim::TopologyBlock &Block) {
    P().hobs.Topology = Block;
    P().hobs.Install();
  }

  std::vector<std::string> Flow() const { return Plat->debugPrint.Texts(FilterFlow); }
  std::vector<std::string> Hub() const { return Plat->debugPrint.Texts(FilterHub); }
};

// ---------------------------------------------------------------------------
// One request
// ---------------------------------------------------------------------------
TEST_F(MailboxTest, RequestDrivesTheMailboxInOrder) {
  Words Response = Poison;
  EXPECT_EQ(Request(Instance, sim::QeltMsgChecksum, Args.data(), Response.data()), EFI_SUCCESS);

  const uint32_t Command = 0x1000;     // message 0x010 in bits 19:8
  const uint32_t Answer = 0x80001001;  // ready, message, status 1
  ExpectAccesses(M().Log(), AccessList()
                                .TestPoint(TpQeltRequestStart)
                                // Ready wait: not ready after power-on, then ready.
                                .HubRead(Bus, QeltMessageReg, 0x00000000, Saved)
                                .HubRead(Bus, QeltMessageReg, 0x80000000, Saved)
                                // The six argument words.
                                .HubWrite(Bus, QeltArgReg + 0, 1, Saved)
                                .HubWrite(Bus, QeltArgReg + 4, 2, Saved)
                                .HubWrite(Bus, QeltArgReg + 8, 3, Saved)
                                .HubWrite(Bus, QeltArgReg + 12, 4, Saved)
                                .HubWrite(Bus, QeltArgReg + 16, 5, Saved)
                                .HubWrite(Bus, QeltArgReg + 20, 6, Saved)
                                .TestPoint(TpQeltMessageBase | 0x10)
                                // Command, then the doorbell.
                                .HubWrite(Bus, QeltMessageReg, Command, Saved)
                                .HubWrite(Bus, QeltDoorbellReg, 0xFFFFFFFF, Saved)
                                // Answer wait: busy once, then the answer.
                                .HubRead(Bus, QeltMessageReg, Command, Saved)
                                .HubRead(Bus, QeltMessageReg, Answer, Saved)
                                // Read-back: sum and xor of the arguments.
                                .HubRead(Bus, QeltArgReg + 0, 21, Saved)
                                .HubRead(Bus, QeltArgReg + 4, 7, Saved)
                                .HubRead(Bus, QeltArgReg + 8, 0, Saved)
                                .HubRead(Bus, QeltArgReg + 12, 0, Saved)
                                .HubRead(Bus, QeltArgReg + 16, 0, Saved)
                                .HubRead(Bus, QeltArgReg + 20, 0, Saved)
                                .TestPoint(TpQeltRequestEnd));

  EXPECT_EQ(Response, (Words{21, 7, 0, 0, 0, 0}));
  EXPECT_EQ(Flow(),
            (std::vector<std::string>{"TevQeltServiceRequest Entry\n", "TevQeltServiceRequest Exit Status = 0x0\n"}));
  EXPECT_EQ(Hub(), (std::vector<std::string>{
                       "QeltServiceRequest Enter\n",
                       "  QELT Service Request 0x10\n",
                       "  QELT Service Request Argument 0x1, 0x2, 0x3, 0x4, 0x5, 0x6\n",
                       "QeltServiceRequest Exit\n",
                   }));
}

TEST_F(MailboxTest, RequestLeavesEighteenResumeEntriesThatReplayToTheSameAnswer) {
  Words Response = Poison;
  ASSERT_EQ(Request(Instance, sim::QeltMsgChecksum, Args.data(), Response.data()), EFI_SUCCESS);

  const uint64_t IndexWindow = ConfigWindowBase + Index;
  const uint64_t DataWindow = IndexWindow + 4;
  std::vector<ScriptEntry> Expected;
  for (UINT32 Word = 0; Word < QeltWordCount; Word++) {
    Expected.push_back(Write32(IndexWindow, QeltArgReg + 4 * Word));  // 1..12: the arguments
    Expected.push_back(Write32(DataWindow, Args[Word]));
  }
  Expected.push_back(Write32(IndexWindow, QeltMessageReg));  // 13, 14: the command
  Expected.push_back(Write32(DataWindow, 0x1000));
  Expected.push_back(Write32(IndexWindow, QeltDoorbellReg));  // 15, 16: the doorbell
  Expected.push_back(Write32(DataWindow, 0xFFFFFFFF));
  Expected.push_back(Write32(IndexWindow, QeltMessageReg));  // 17: select the answer register
  ScriptEntry Poll;                                          // 18: wait for the boot answer
  Poll.Kind = ScriptKind::MemPoll;
  Poll.Width = 2;
  Poll.Address = DataWindow;
  Poll.Value = 0x80001001;
  Poll.Mask = 0xFFFFFFFF;
  Poll.Extra = S3MemPollSaveState;
  Expected.push_back(Poll);
  ASSERT_EQ(P().s3SaveState.Script(), Expected);

  // Resume: the hub comes back from power-on and the script sends the
  // message again; the poll sees the same answer.
  const auto AtBoot = P().HubOn(Bus).Registers();
  P().ResetHubs();
  std::vector<sim::ReplayStepResult> Steps;
  sim::ReplayItems(M(), sim::ScriptItems(P().s3SaveState.Script()), ConfigWindowBase, 100, Steps);
  ASSERT_EQ(Steps.size(), 18u);
  EXPECT_EQ(Steps.back().Outcome, sim::ReplayOutcome::Matched);
  EXPECT_EQ(P().HubOn(Bus).Registers(), AtBoot) << "the mailbox registers hold what they held at boot";
  ASSERT_EQ(Qelt().Messages().size(), 2u);
  EXPECT_EQ(Qelt().Messages()[1].Arguments, Qelt().Messages()[0].Arguments);
  EXPECT_EQ(Qelt().Messages()[1].Answer, 0x80001001u);
  EXPECT_EQ(P().HubOn(Bus).PeekIndex(), QeltMessageReg) << "the replay leaves the answer register selected";
}

// ---------------------------------------------------------------------------
// Message ids
// ---------------------------------------------------------------------------
TEST_F(MailboxTest, MessageIdFFIsNotSentAndEchoesTheArguments) {
  Words Response = Poison;
  EXPECT_EQ(Request(Instance, 0xFF, Args.data(), Response.data()), EFI_SUCCESS);

  EXPECT_EQ(Response, Args);
  ExpectAccesses(M().Log(), AccessList().TestPoint(TpQeltRequestStart));
  EXPECT_EQ(Flow(),
            (std::vector<std::string>{"TevQeltServiceRequest Entry\n", "TevQeltServiceRequest Exit Status = 0x0\n"}));
  EXPECT_EQ(Hub(), (std::vector<std::string>{"QeltServiceRequest Enter\n", "QELTServiceRequest INVALID!!\n"}));
  EXPECT_TRUE(P().s3SaveState.Script().empty());
  EXPECT_TRUE(Qelt().Messages().empty());
}

TEST_F(MailboxTest, OnlyTheLowTwelveBitsAreSentAndTheLowByteIsPosted) {
  struct Case {
    UINT32 Id;
    uint32_t Command;
    uint32_t TestPoint;
    const char *Trace;
  };
  const Case Cases[] = {
      {0x1FF, 0x1FF00, 0xABFF, "  QELT Service Request 0x1FF\n"},  // low byte 0xFF, not 0xFF
      {0xFFFFFFFF, 0xFFF00, 0xABFF, "  QELT Service Request 0xFFFFFFFF\n"},
      {0x12345, 0x34500, 0xAB45, "  QELT Service Request 0x12345\n"},  // above 0xFFF
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Trace);
    Clear();
    Qelt().ClearMessages();
    Words Response = Poison;
    Request(Instance, C.Id, Args.data(), Response.data());

    ASSERT_EQ(Qelt().Messages().size(), 1u);
    EXPECT_EQ(Qelt().Messages()[0].Command, C.Command);
    ExpectAccesses(M().LogOf({sim::AccessKind::PortWrite}),
                   AccessList().TestPoint(TpQeltRequestStart).TestPoint(C.TestPoint).TestPoint(TpQeltRequestEnd));
    ASSERT_GE(Hub().size(), 2u);
    EXPECT_EQ(Hub()[1], C.Trace);
  }
}

// ---------------------------------------------------------------------------
// The answer's status byte
// ---------------------------------------------------------------------------
TEST_F(MailboxTest, OnlyTheLowByteOfTheAnswerDecides) {
  struct Case {
    UINT32 Id;
    uint8_t Status;
    uint32_t Answer;
    EFI_STATUS Result;
  };
  const Case Cases[] = {
      {0xABC, 1, 0x800ABC01, EFI_SUCCESS},            // bits 30:8 set, status 1
      {0x000, 0, 0x80000000, EFI_INVALID_PARAMETER},  // the bare ready bit: status 0
      {0x030, 0xFE, 0x800030FE, EFI_INVALID_PARAMETER},
  };
  const Words Reply = {0xE0000030, 0x11, 0x22, 0x33, 0x44, 0x55};
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << "answer 0x" << std::hex << C.Answer);
    Clear();
    Qelt().SetHandler(C.Id, [&](uint32_t, const QeltWordArray &) {
      QeltReply R;
      R.Status = C.Status;
      std::copy(Reply.begin(), Reply.end(), R.Words.begin());
      return R;
    });
    Words Response = Poison;
    EXPECT_EQ(Request(Instance, C.Id, Args.data(), Response.data()), C.Result);

    ASSERT_FALSE(P().s3SaveState.Script().empty());
    EXPECT_EQ(P().s3SaveState.Script().back().Value, C.Answer) << "the poll waits for this answer, failed or not";
    EXPECT_EQ(P().s3SaveState.Script().size(), 18u);
    if (C.Result == EFI_SUCCESS) {
      EXPECT_EQ(Response, Reply);
      EXPECT_FALSE(Trace().Contains("  QELT ERROR! Error ID: 0xE0000030\n"));
    } else {
      EXPECT_EQ(Response, Poison) << "a failed request leaves Response alone";
      const std::vector<std::string> Lines = Hub();
      ASSERT_EQ(Lines.size(), 6u);
      EXPECT_EQ(Lines[3], "  QELT ERROR! Error ID: 0xE0000030\n");
      EXPECT_EQ(Lines[5],
                "BIOS_QELT_MSG_ID_" + std::to_string(C.Id) + ", Return Status = " + std::to_string(C.Status) + "\n");
      EXPECT_EQ(Flow().back(), "TevQeltServiceRequest Exit Status = 0x2\n");
    }
  }
}

TEST_F(MailboxTest, ArgumentsAndResponseMayBeOneArray) {
  Words Both = Args;
  EXPECT_EQ(Request(Instance, sim::QeltMsgChecksum, Both.data(), Both.data()), EFI_SUCCESS);
  EXPECT_EQ(Both, (Words{21, 7, 0, 0, 0, 0}));
  ASSERT_EQ(Qelt().Messages().size(), 1u);
  EXPECT_EQ(Qelt().Messages()[0].Arguments, (QeltWordArray{1, 2, 3, 4, 5, 6}));
}

// ---------------------------------------------------------------------------
// Failures before the hardware
// ---------------------------------------------------------------------------
TEST_F(MailboxTest, FailuresBeforeTheHardwareTouchNothing) {
  struct Case {
    const char *Name;
    std::function<void(sim::Platform &)> Arrange;
    UINT32 Id;
    bool NullArguments;
    bool NullResponse;
    EFI_STATUS Status;
    const char *ExitTrace;  // null: only the entry trace
  };
  const Case Cases[] = {
      {"null arguments", nullptr, Instance, true, false, EFI_INVALID_PARAMETER, nullptr},
      {"null response", nullptr, Instance, false, true, EFI_INVALID_PARAMETER, nullptr},
      {"id above 0xFF", nullptr, 0x101, false, false, EFI_INVALID_PARAMETER, "0x2"},
      {"id not in the topology", nullptr, 9, false, false, EFI_INVALID_PARAMETER, "0x2"},
      {"no topology HOB",
       [](sim::Platform &Plat) {
         Plat.hobs.HasTopologyHob = false;
         Plat.hobs.Install();
       },
       Instance, false, false, EFI_NOT_FOUND, "0xE"},
      {"no HOB list", [](sim::Platform &Plat) { Plat.hobs.Remove(); }, Instance, false, false, EFI_NOT_FOUND, "0xE"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    if (C.Arrange) {
      C.Arrange(P());
    }
    Clear();
    Words Response = Poison;
    EXPECT_EQ(Request(C.Id, sim::QeltMsgEcho, C.NullArguments ? nullptr : Args.data(),
                      C.NullResponse ? nullptr : Response.data()),
              C.Status);

    EXPECT_TRUE(M().Log().empty()) << "no test point, no register access";
    EXPECT_TRUE(P().s3SaveState.Script().empty());
    EXPECT_TRUE(Hub().empty());
    EXPECT_EQ(Response, Poison);
    std::vector<std::string> Want = {"TevQeltServiceRequest Entry\n"};
    if (C.ExitTrace != nullptr) {
      Want.push_back(std::string("TevQeltServiceRequest Exit Status = ") + C.ExitTrace + "\n");
    }
    EXPECT_EQ(Flow(), Want);
  }
}

// A lookup that reports success without a descriptor has no instance to
// address: the request raises its assertion and fails without sending.
TEST_F(MailboxTest, MissingDescriptorFailsWithoutTouchingTheHub) {
  Words Work = Args;
  Words Response = Poison;
  EFI_STATUS Status = EFI_ABORTED;
  ASSERT_TRUE(P().Run([&] {
    Status = PIRN_SYMBOL(Img(), QeltServiceInstance)(nullptr, sim::QeltMsgEcho, Work.data(), Response.data());
  }));
  EXPECT_EQ(Status, EFI_NOT_FOUND);
  ExpectAccesses(M().Log(), AccessList().Assertion(AssertQeltNoDescriptor));
  EXPECT_EQ(Response, Poison);
  EXPECT_TRUE(P().s3SaveState.Script().empty());
}

// ---------------------------------------------------------------------------
// Instances the window does not reach, and a controller that never answers
// ---------------------------------------------------------------------------
TEST_F(MailboxTest, InstanceOnAnotherSegmentReadsAllOnesAndFailsWith255) {
  UseTopology(sim::TopologyBlock({sim::TopologyGroup({sim::HubInstance(1, PciAddress(1, Bus, 0, 0, 0))})}));
  Clear();
  Words Response = Poison;
  EXPECT_EQ(Request(Instance, sim::QeltMsgChecksum, Args.data(), Response.data()), EFI_INVALID_PARAMETER);

  // Both waits end at once on all ones; nothing reaches the hub.
  ExpectAccesses(
      M().Log(),
      AccessList().TestPoint(TpQeltRequestStart).TestPoint(TpQeltMessageBase | 0x10).TestPoint(TpQeltRequestEnd));
  EXPECT_EQ(Response, Poison);
  EXPECT_TRUE(Trace().Contains("  QELT ERROR! Error ID: 0xFFFFFFFF\n"));
  EXPECT_TRUE(Trace().Contains("BIOS_QELT_MSG_ID_16, Return Status = 255\n"));
  const auto &Script = P().s3SaveState.Script();
  ASSERT_EQ(Script.size(), 18u);
  for (const ScriptEntry &E : Script) {
    EXPECT_EQ(E.Segment, 1u) << Describe(E);
  }
  EXPECT_EQ(Script.back().Kind, ScriptKind::PciPoll);
  EXPECT_EQ(Script.back().Value, 0xFFFFFFFFu);
  EXPECT_EQ(Script.back().Address, BootScriptPciAddress(PciAddress(1, Bus, 0, 0, HubDataRegister)));
}

TEST_F(MailboxTest, ControllerThatNeverAnswersStopsTheRun) {
  Qelt().SetNeverAnswer(true, 64);
  auto *Protocol = static_cast<TEV_QELT_SERVICE_PROTOCOL *>(Fw().FindProtocol(gTevQeltServiceProtocolGuid));
  Words Response = Poison;
  EXPECT_FALSE(P().Run([&] { Protocol->ServiceRequest(Protocol, Instance, 0x123, Args.data(), Response.data()); }));
  EXPECT_EQ(M().LastStop().Reason, sim::StopReason::Device);
  EXPECT_EQ(M().LastStop().Message, "controller never answered: bus 0x20, message 0x123");
  EXPECT_EQ(Response, Poison);
}

}  // namespace

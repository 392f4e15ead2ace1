// Failure sweep: the default boot (start-up, three requests, the first PCI
// I/O installation, SMM ready-to-lock, two more requests, ready-to-boot)
// played once per failure point: each pool allocation the boot makes failing
// in turn, each boot service the driver relies on failing in turn, each
// firmware protocol it uses absent in turn.
//
// Every run must finish (no machine stop, no sanitizer report, no model
// violation), keep in pool exactly what the driver keeps by design (its heap
// nodes, the shared record, the table until it is handed over) and end with
// the outcome its code documents for that failure. Between the steps a probe
// write goes through the resume recorder: a status of 0 means the entry is in
// the S3 Save State script or in the resume table (no silent loss), 7 means
// it is in neither. The one documented exception is a write after the table
// was handed over at ready-to-boot: it is recorded nowhere and reported as 0.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <set>
#include <string>

#include "PlatformFixture.h"
#include "diag/Diag.h"
#include "driver/Driver.h"
#include "platform/PlatformData.h"
#include "s3save/S3Save.h"
#include "sim/HeapHobBuilder.h"
#include "sim/Scenario.h"
#include "tools/Engine.h"

namespace {

using Service = sim::Firmware::Service;

// Where the probe write went, one letter per probe point (after start-up,
// after the first requests, after the PCI I/O installation, after
// ready-to-lock, after the later requests, after ready-to-boot):
//   S in the S3 Save State script, T into the resume table, R refused with 7,
//   C nothing and status 0 (the table was handed over and is closed).
struct Outcome {
  const char *Probes = "SSSTTC";
  bool Service = true;              // TevQeltServiceProtocol installed
  bool Locked = true;               // the lock hook set the lock bits
  bool Handoff = true;              // the table reached the SMM handler
  size_t HeapNodes = 2;             // nodes in the heap list (heap HOBs A and B)
  bool HeapPublished = true;        // the driver's heap-list protocol installed
  bool Diagnostics = true;          // DiagConfig loaded (assertions enabled)
  EFI_STATUS Lookup = EFI_SUCCESS;  // what a request to a known instance gets from the lookup
};

struct FailurePoint {
  const char *Name;
  std::function<void(sim::PlatformOptions &)> Absent;  // protocols left out of the platform
  std::function<void(sim::Platform &)> Inject;         // before start-up
  Outcome Expect;
};

std::ostream &operator<<(std::ostream &Os, const FailurePoint &F) { return Os << F.Name; }

// Allocations, boot-service calls and protocols of the undisturbed boot, in
// order; the table below has one row for each.
constexpr size_t Allocations = 4;       // shared record, table, heap node A, heap node B
constexpr size_t CreateEvents = 1;      // resume library: ready-to-lock
constexpr size_t CreateEventExs = 2;    // resume library: ready-to-boot; driver entry: PCI I/O hook
constexpr size_t ProtocolNotifies = 2;  // ready-to-lock; PCI I/O
constexpr size_t ProtocolInstalls = 2;  // heap list; mailbox service

std::function<void(sim::Platform &)> Fail(Service Svc, unsigned Nth) {
  return [Svc, Nth](sim::Platform &P) { P.firmware.FailService(Svc, Nth); };
}
template <class Field>
std::function<void(sim::PlatformOptions &)> Without(Field sim::PlatformOptions::*Member) {
  return [Member](sim::PlatformOptions &O) { O.*Member = false; };
}

Outcome With(std::function<void(Outcome &)> Change) {
  Outcome O;
  Change(O);
  return O;
}

// Kept for the life of the test program: the heap list "another driver"
// installed before this one.
sim::InstalledHeapList EarlierHeapList;

const FailurePoint Points[] = {
    {"Undisturbed", {}, {}, {}},
    // ---- The nth pool allocation fails ----------------------------------------
    // The shared record: no record, so nothing can lock the script; every
    // entry stays with the S3 Save State service, and nothing is handed over.
    {"Allocation1SharedRecord", {}, Fail(Service::AllocatePool, 1), With([](Outcome &O) {
       O.Probes = "SSSSSS";
       O.Handoff = false;
     })},
    // The table: after ready-to-lock every append fails ("TevS3Lib table
    // allocate fail", status 7), and ready-to-boot finds no table to hand over.
    {"Allocation2Table", {}, Fail(Service::AllocatePool, 2), With([](Outcome &O) {
       O.Probes = "SSSRRR";
       O.Handoff = false;
     })},
    // A heap node: that heap HOB is left out, migration goes on.
    {"Allocation3HeapNodeA", {}, Fail(Service::AllocatePool, 3), With([](Outcome &O) { O.HeapNodes = 1; })},
    {"Allocation4HeapNodeB", {}, Fail(Service::AllocatePool, 4), With([](Outcome &O) { O.HeapNodes = 1; })},
    // ---- Event and protocol services fail -----------------------------------------
    // No ready-to-lock event: the constructor gives up before the table;
    // recording never leaves the S3 Save State service.
    {"CreateEventReadyToLock", {}, Fail(Service::CreateEvent, 1), With([](Outcome &O) {
       O.Probes = "SSSSSS";
       O.Handoff = false;
     })},
    // No ready-to-boot event: the script locks, but there is no table.
    {"CreateEventExReadyToBoot", {}, Fail(Service::CreateEventEx, 1), With([](Outcome &O) {
       O.Probes = "SSSRRR";
       O.Handoff = false;
     })},
    {"CreateEventExPciIoHook", {}, Fail(Service::CreateEventEx, 2), With([](Outcome &O) { O.Locked = false; })},
    // The ready-to-lock event is never notified: the script stays unlocked,
    // entries keep going to the S3 Save State service; the (empty) table is
    // still handed over at ready-to-boot.
    {"RegisterProtocolNotifyReadyToLock", {}, Fail(Service::RegisterProtocolNotify, 1), With([](Outcome &O) {
       O.Probes = "SSSSSS";
     })},
    {"RegisterProtocolNotifyPciIo", {}, Fail(Service::RegisterProtocolNotify, 2), With([](Outcome &O) {
       O.Locked = false;
     })},
    // The heap list is built but stays unpublished.
    {"InstallHeapList", {}, Fail(Service::InstallProtocolInterface, 1), With([](Outcome &O) {
       O.HeapPublished = false;
     })},
    {"InstallMailboxService", {}, Fail(Service::InstallProtocolInterface, 2), With([](Outcome &O) {
       O.Service = false;
     })},
    // ---- A protocol is absent ---------------------------------------------------
    // No PCD database: no diagnostics, no shared record; as with a failed
    // record allocation.
    {"NoPcdProtocol", Without(&sim::PlatformOptions::Pcd), {}, With([](Outcome &O) {
       O.Probes = "SSSSSS";
       O.Handoff = false;
       O.Diagnostics = false;
     })},
    // No PI PCD protocol: no diagnostics, and no communicate buffer at
    // ready-to-boot: the table is terminated but kept open, and later appends
    // still go into it.
    {"NoPiPcdProtocol", Without(&sim::PlatformOptions::PiPcd), {}, With([](Outcome &O) {
       O.Probes = "SSSTTT";
       O.Handoff = false;
       O.Diagnostics = false;
     })},
    // No S3 Save State service: the recorder refuses every entry (7) until the
    // table takes over.
    {"NoS3SaveState", Without(&sim::PlatformOptions::S3SaveState), {}, With([](Outcome &O) { O.Probes = "RRRTTC"; })},
    {"NoSmmCommunication", Without(&sim::PlatformOptions::SmmCommunication), {}, With([](Outcome &O) {
       O.Probes = "SSSTTT";
       O.Handoff = false;
     })},
    {"NoDebugPrint", Without(&sim::PlatformOptions::DebugPrint), {}, {}},
    {"NoTopologyProtocol", Without(&sim::PlatformOptions::Topology), {}, With([](Outcome &O) { O.Locked = false; })},
    // Another driver published a heap list: it is joined, nothing migrates.
    {"HeapListAlreadyInstalled",
     {},
     [](sim::Platform &P) { P.firmware.InstallProtocol(gTevHeapListProtocolGuid, &EarlierHeapList.Protocol); },
     With([](Outcome &O) {
       O.HeapNodes = 0;
       O.HeapPublished = false;
     })},
    // No HOB list: no topology HOB for the lookup, no heap HOBs; an empty
    // heap list is still published. The lock hook works from the topology
    // protocol's block.
    {"NoHobList", {}, [](sim::Platform &P) { P.hobs.Remove(); }, With([](Outcome &O) {
       O.HeapNodes = 0;
       O.Lookup = EFI_NOT_FOUND;
     })},
};

class SweepTest : public PlatformFixture, public ::testing::WithParamInterface<FailurePoint> {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O;
    if (GetParam().Absent) {
      GetParam().Absent(O);
    }
    return O;
  }

  // A guarded step of the boot; it must not be stopped.
  void Step(const char *What, const std::function<void()> &Fn) {
    EXPECT_TRUE(P().Run(Fn)) << What << ": " << M().LastStop().Message;
  }

  TEV_S3_LIB_PRIVATE_DATA *Shared() { return *PIRN_SYMBOL(Img(), mTevS3LibPrivateData); }

  // Next-record offset of the open table, or 0.
  uint64_t TableNext() {
    const TEV_S3_LIB_PRIVATE_DATA *R = Shared();
    if (R == nullptr || R->Table == 0 || R->TableClosed != 0) {
      return 0;
    }
    return reinterpret_cast<const TEV_S3_LIB_TABLE_HEADER *>(R->Table)->NextRecordOffset;
  }

  // One write through the recorder; where it went, as a probe letter.
  char Probe() {
    const size_t Script = P().s3SaveState.Script().size();
    const uint64_t Next = TableNext();
    const UINT32 Value = 0x5A5A5A5A;
    UINT8 Status = 0xEE;
    Step("probe", [&] { Status = PIRN_SYMBOL(Img(), S3RecordMemWrite)(AccessWidth32, 0x0FEDC000, &Value); });
    const bool InScript = P().s3SaveState.Script().size() == Script + 1;
    const bool InTable = Next != 0 && TableNext() == Next + 24;
    EXPECT_LE(InScript + InTable, 1);
    if (Status == S3Failure) {
      EXPECT_FALSE(InScript || InTable) << "a refused entry was recorded";
      return 'R';
    }
    EXPECT_EQ(Status, S3Success);
    if (InScript || InTable) {
      return InScript ? 'S' : 'T';
    }
    // Reported as filed, found nowhere: only after the hand-off.
    EXPECT_TRUE(Shared() != nullptr && Shared()->TableClosed == 1) << "silent loss";
    return 'C';
  }

  // Requests through the installed service: (instance, message, argument 0,
  // status when the lookup succeeds).
  struct Call {
    uint32_t Instance;
    uint32_t Message;
    uint32_t Arg0;
    EFI_STATUS Status;
  };
  void Requests(std::initializer_list<Call> Calls) {
    auto *Service = static_cast<TEV_QELT_SERVICE_PROTOCOL *>(Fw().FindProtocol(gTevQeltServiceProtocolGuid));
    ASSERT_EQ(Service != nullptr, GetParam().Expect.Service);
    if (Service == nullptr) {
      return;
    }
    for (const Call &C : Calls) {
      Args = {C.Arg0, 2, 3, 4, 5, 6};
      Status = EFI_ABORTED;
      Step("request",
           [&] { Status = Service->ServiceRequest(Service, C.Instance, C.Message, Args.data(), Response.data()); });
      const EFI_STATUS Lookup = GetParam().Expect.Lookup;
      EXPECT_EQ(Status, Lookup == EFI_SUCCESS ? C.Status : Lookup) << "message " << C.Message;
    }
  }

  // Every live pool block is one the driver keeps by design.
  void ExpectOnlyKeptPool() {
    std::set<const void *> Kept;
    const Outcome &E = GetParam().Expect;
    LIST_LINK *Head = *PIRN_SYMBOL(Img(), mHeapListHead);
    ASSERT_NE(Head, nullptr);
    const auto Nodes = sim::HeapListForward(Head);
    EXPECT_EQ(Nodes.size(), E.HeapNodes);
    Kept.insert(Nodes.begin(), Nodes.end());
    if (const TEV_S3_LIB_PRIVATE_DATA *R = Shared()) {
      Kept.insert(R);
      if (R->Table != 0 && R->TableClosed == 0) {
        Kept.insert(reinterpret_cast<const void *>(R->Table));
      }
    }
    std::set<const void *> Live;
    for (const auto &Block : Fw().LiveAllocations()) {
      Live.insert(Block.Buffer);
    }
    EXPECT_EQ(Live, Kept) << "pool blocks held beyond what the driver keeps";
  }

  std::array<uint32_t, 6> Args{};
  std::array<uint32_t, 6> Response{};
  EFI_STATUS Status = EFI_ABORTED;
};

TEST_P(SweepTest, BootEndsWithTheDocumentedOutcome) {
  const FailurePoint &F = GetParam();
  if (F.Inject) {
    F.Inject(P());
  }
  std::string Probes;

  ASSERT_EQ(Boot(), EFI_SUCCESS);  // the image entry reports success whatever failed
  EXPECT_EQ(PIRN_SYMBOL(Img(), DiagConfig)->AssertEnable != 0, F.Expect.Diagnostics);
  Probes += Probe();

  // Instance 1 is on bus 0x20, instance 2 on bus 0x40.
  Requests({{1, sim::QeltMsgVersion, 0, EFI_SUCCESS},
            {2, sim::QeltMsgNonZero, 0, EFI_INVALID_PARAMETER},
            {1, QeltInvalidMessageId, 7, EFI_SUCCESS}});
  Probes += Probe();

  ASSERT_TRUE(P().InstallPciIo()) << M().LastStop().Message;
  for (uint8_t Bus : {0x00, 0x20, 0x40, 0x60}) {
    for (uint32_t Register : HwInitLockRegs) {
      EXPECT_EQ(P().HubOn(Bus).PeekSysReg(Register) & 1, F.Expect.Locked ? 1u : 0u) << std::hex << Register;
    }
  }
  Probes += Probe();

  ASSERT_TRUE(P().InstallSmmReadyToLock()) << M().LastStop().Message;
  Probes += Probe();

  Requests({{2, sim::QeltMsgChecksum, 1, EFI_SUCCESS}, {1, sim::QeltMsgEcho, 9, EFI_SUCCESS}});
  Probes += Probe();

  ASSERT_TRUE(P().SignalReadyToBoot()) << M().LastStop().Message;
  Probes += Probe();

  EXPECT_EQ(Probes, F.Expect.Probes);
  EXPECT_EQ(P().smm.LastAccepted() != nullptr, F.Expect.Handoff);
  EXPECT_EQ(Fw().FindProtocol(gTevHeapListProtocolGuid) == PIRN_SYMBOL(Img(), mHeapListProtocol),
            F.Expect.HeapPublished);
  ExpectOnlyKeptPool();
}

INSTANTIATE_TEST_SUITE_P(FailurePoints, SweepTest, ::testing::ValuesIn(Points),
                         [](const ::testing::TestParamInfo<FailurePoint> &Info) { return Info.param.Name; });

// The table above covers every allocation and every call of the four
// services that the undisturbed boot makes, and no more.
class SweepCoverage : public PlatformFixture {};

TEST_F(SweepCoverage, EveryFailurePointOfTheBootIsSwept) {
  Fw().ClearCalls();
  const size_t Before = Fw().AllocationCount();
  ASSERT_EQ(Boot(), EFI_SUCCESS);
  ASSERT_TRUE(P().InstallPciIo());
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  auto *Service = static_cast<TEV_QELT_SERVICE_PROTOCOL *>(Fw().FindProtocol(gTevQeltServiceProtocolGuid));
  std::array<uint32_t, 6> Words{1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(P().Run([&] { Service->ServiceRequest(Service, 1, sim::QeltMsgEcho, Words.data(), Words.data()); }));
  ASSERT_TRUE(P().SignalReadyToBoot());
  EXPECT_EQ(Fw().AllocationCount() - Before, Allocations);
  EXPECT_EQ(Fw().CallCount("CreateEvent"), CreateEvents);
  EXPECT_EQ(Fw().CallCount("CreateEventEx"), CreateEventExs);
  EXPECT_EQ(Fw().CallCount("RegisterProtocolNotify"), ProtocolNotifies);
  EXPECT_EQ(Fw().CallCount("InstallProtocolInterface"), ProtocolInstalls);

  const auto Rows = [](const char *Prefix) {
    size_t N = 0;
    for (const FailurePoint &F : Points) {
      N += std::string(F.Name).starts_with(Prefix);
    }
    return N;
  };
  EXPECT_EQ(Rows("Allocation"), Allocations);
  EXPECT_EQ(Rows("CreateEventEx"), CreateEventExs);
  EXPECT_EQ(Rows("CreateEvent") - Rows("CreateEventEx"), CreateEvents);
  EXPECT_EQ(Rows("RegisterProtocolNotify"), ProtocolNotifies);
  EXPECT_EQ(Rows("Install"), ProtocolInstalls);
}

// The program's verdict names every resume entry the boot lost: those the
// full table refused with status 7, and those of a request after the table
// was handed over, which the library drops without an error.
TEST(LostEntries, VerdictNamesEveryEntryTheReplayLacks) {
  // 17 memory writes of 24 bytes and one memory poll of 40 per request: 37
  // requests fill this table up to the 2 bytes of the terminator exactly.
  constexpr uint64_t ExactFit = S3TableFirstRecord + 37 * (17 * 24 + 40) + 2;
  sim::Scenario S;
  S.Name = "exact-fit";
  S.Instances = {{0, PciAddress(0, 0x20, 0, 0, 0), {}}};
  S.Pcd[PcdS3TableSize] = ExactFit;
  sim::ScenarioStep Request;
  Request.Kind = sim::StepKind::Request;
  Request.Message = sim::QeltMsgEcho;
  Request.Args = {1, 2, 3, 4, 5, 6};
  sim::ScenarioStep Lock, Close, Resume;
  Lock.Kind = sim::StepKind::ReadyToLock;
  Close.Kind = sim::StepKind::ReadyToBoot;
  Resume.Kind = sim::StepKind::Resume;
  sim::ScenarioStep Filling = Request;
  Filling.Repeat = 39;
  S.Steps = {Lock, Filling, Close, Request, Resume};

  const pirnsim::PlayResult Result = pirnsim::Play(S, {});
  const std::vector<std::string> &Reasons = Result.Report.Reasons;
  ASSERT_GE(Reasons.size(), 2u);
  EXPECT_EQ(Reasons[0],
            "Step 2: request to instance 0, message 0x1, calls 38 to 39 of 39: resume entries 1 to 18 (argument word 0 "
            "to the answer poll) of each call refused: \"No enough space for s3 data save\"; the replay cannot repeat "
            "the request");
  EXPECT_EQ(Reasons[1],
            "Step 4: request to instance 0, message 0x1: resume entries 1 to 18 (argument word 0 to the answer poll) "
            "recorded nowhere: the table was handed over at ready-to-boot; the replay cannot repeat the request");
  // The 37th request fit exactly and is in the table the handler received.
  ASSERT_NE(Result.Report.Handoff, std::nullopt);
  EXPECT_EQ(Result.Report.Handoff->Table.NextRecordOffset, ExactFit - 2);
  EXPECT_EQ(Result.Report.Handoff->Table.Records.size(), 37u * 18u);
}

}  // namespace

// Resume-table lifecycle: construction and joining through the PCD tokens,
// the ready-to-lock switch, the hand-off at ready-to-boot, destructors.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "s3_fixture.h"
#include "sim/TableDecoder.h"

namespace {

using sim::Access;
using sim::AccessKind;
using sim::Firmware;

const std::string Allocation = "TevS3LibPrivateData allocation\n";
const std::string CreateEvents = "Create mS3ScriptLockEvent & mCloseTableEvent.\n";
const std::string Size4000 = "TevS3LibTableHeader buffer size = 0x4000\n";
const std::string CallBack = "TevS3SaveCloseTableCallBack\n";

// The constructor's one hardware access: the configuration-window register.
const Access WindowRead = {AccessKind::MsrRead, 8, 0xC0010058, sim::DefaultMmioCfgBaseMsr};

bool LiveBlock(Firmware &Fw, UINT64 Address) {
  const auto Blocks = Fw.LiveAllocations();
  return std::any_of(Blocks.begin(), Blocks.end(),
                     [&](const Firmware::Allocation &A) { return reinterpret_cast<UINT64>(A.Buffer) == Address; });
}

class S3Lifecycle : public S3Fixture {
 protected:
  void SetUp() override {
    S3Fixture::SetUp();
    Attach();
  }
  EFI_EVENT LockEvent(size_t Index = 0) { return *PIRN_SYMBOL(Img(Index), mS3ScriptLockEvent); }
  EFI_EVENT CloseEvent(size_t Index = 0) { return *PIRN_SYMBOL(Img(Index), mCloseTableEvent); }
  // Loads image Index (beyond the default one) ready for direct calls.
  void LoadAttached() {
    P().LoadDriver();
    Attach(P().ImageCount() - 1);
  }
};

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------
struct SizeCase {
  UINT64 Requested;  // token 1347
  UINT64 Size;       // the table's size
  const char *Trace;
};

class S3TableSize : public S3Lifecycle, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(S3TableSize, FirstConstructorCreatesRecordTableAndEvents) {
  const SizeCase &C = GetParam();
  Pcd().Set(PcdS3TableSize, C.Requested);
  Forget();

  ASSERT_EQ(Construct(), EFI_SUCCESS);
  EXPECT_EQ(Flow(), (std::vector<std::string>{Allocation, CreateEvents, C.Trace}));
  EXPECT_EQ(M().Log(), std::vector<Access>{WindowRead});
  EXPECT_EQ(PcdOrder(),
            (std::vector<std::string>{"Get64 1345", "Set64 1345", "Get64 1346", "Get64 1347", "Set64 1346"}));
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mPcieCfgBase), 0xE0000000u);

  // The record, published through token 1345 and known to the image.
  TEV_S3_LIB_PRIVATE_DATA *Private = Shared();
  ASSERT_NE(Private, nullptr);
  EXPECT_EQ(ImagePrivate(), Private);
  EXPECT_EQ(Private->ScriptLocked, 0);
  EXPECT_EQ(Private->TableClosed, 0);
  EXPECT_EQ(Private->RefCount, 2u) << "1 at allocation, 1 for this instance";
  EXPECT_EQ(Private->Table, *Pcd().Peek(PcdS3Table));

  // Two runtime-services-data blocks: the 24-byte record and the table.
  const auto Blocks = Fw().LiveAllocations();
  ASSERT_EQ(Blocks.size(), 2u);
  EXPECT_EQ(Blocks[0].Buffer, Private);
  EXPECT_EQ(Blocks[0].Size, 24u);
  EXPECT_EQ(Blocks[1].Buffer, Table());
  EXPECT_EQ(Blocks[1].Size, C.Size + 4);
  EXPECT_EQ(Blocks[0].Type, EfiRuntimeServicesData);
  EXPECT_EQ(Blocks[1].Type, EfiRuntimeServicesData);
  EXPECT_TRUE(std::all_of(Private->Reserved0, Private->Reserved0 + 6, [](UINT8 B) { return B == 0; }));
  EXPECT_EQ(Private->Reserved1, 0u);

  // The header and the end marker; every other byte zero.
  std::vector<UINT8> Expected(C.Size + 4, 0);
  std::memcpy(Expected.data(), "TS3T", 4);
  Expected[4] = 1;
  std::memcpy(Expected.data() + 0x20, &C.Size, 8);
  Expected[0x28] = 0x30;
  const UINT32 Marker = S3TableEndMarker;
  std::memcpy(Expected.data() + C.Size, &Marker, 4);
  EXPECT_EQ(TableBlock(), Expected);

  // The script-lock event was registered for ready-to-lock and signalled once
  // (its callback found no protocol); the close-table event is in the group.
  EXPECT_TRUE(Fw().EventOpen(LockEvent()));
  EXPECT_EQ(Fw().EventNotifyTpl(LockEvent()), static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(Fw().EventNotifyFunction(LockEvent()), PIRN_SYMBOL(Img(), TevS3SaveScriptLockCallBack));
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiDxeSmmReadyToLockProtocolGuid), 1u);
  EXPECT_TRUE(Fw().EventOpen(CloseEvent()));
  EXPECT_EQ(Fw().EventNotifyTpl(CloseEvent()), static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(Fw().EventNotifyFunction(CloseEvent()), PIRN_SYMBOL(Img(), TevS3SaveCloseTableCallBack));
  EXPECT_EQ(Fw().CallCount("SignalEvent"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, S3TableSize,
                         ::testing::Values(SizeCase{0, 0x4000, "TevS3LibTableHeader buffer size = 0x4000\n"},
                                           SizeCase{0x3FFF, 0x4000, "TevS3LibTableHeader buffer size = 0x4000\n"},
                                           SizeCase{0x4000, 0x4000, "TevS3LibTableHeader buffer size = 0x4000\n"},
                                           SizeCase{0x8000, 0x8000, "TevS3LibTableHeader buffer size = 0x8000\n"},
                                           SizeCase{0x4001, 0x4001, "TevS3LibTableHeader buffer size = 0x4001\n"}),
                         [](const auto &Info) { return "Requested" + std::to_string(Info.param.Requested); });

TEST_F(S3Lifecycle, LaterImagesJoinAndEventsAreCreatedAgainAfterDestructors) {
  LoadAttached();
  LoadAttached();
  ASSERT_EQ(Construct(0), EFI_SUCCESS);
  const size_t Allocations = Fw().AllocationCount();
  Forget();

  // A second image joins: no allocation, no events, one more reference; it
  // reads the window register into its own base.
  ASSERT_EQ(Construct(1), EFI_SUCCESS);
  EXPECT_TRUE(Flow().empty());
  EXPECT_EQ(M().Log(), std::vector<Access>{WindowRead});
  // It also learns the requested size, after finding the table.
  EXPECT_EQ(PcdOrder(), (std::vector<std::string>{"Get64 1345", "Get64 1346", "Get64 1347"}));
  EXPECT_EQ(Fw().AllocationCount(), Allocations);
  EXPECT_EQ(ImagePrivate(1), Shared());
  EXPECT_EQ(*PIRN_SYMBOL(Img(1), mPcieCfgBase), 0xE0000000u);
  EXPECT_EQ(LockEvent(1), nullptr);
  EXPECT_EQ(CloseEvent(1), nullptr);
  EXPECT_EQ(Shared()->RefCount, 3u);

  // Its destructor created no events: it only drops its reference.
  Forget();
  EXPECT_EQ(Destruct(1), EFI_SUCCESS);
  EXPECT_TRUE(Flow().empty());
  EXPECT_EQ(Fw().CallCount("CloseEvent"), 0u);
  EXPECT_EQ(Shared()->RefCount, 2u);

  // The first image's destructor closes its two events.
  const EFI_EVENT Lock = LockEvent(0);
  const EFI_EVENT Close = CloseEvent(0);
  EXPECT_EQ(Destruct(0), EFI_SUCCESS);
  EXPECT_EQ(Flow(), (std::vector<std::string>{"Destory S3ScriptLockEvent.\n", "Destory mCloseTableEvent.\n"}));
  EXPECT_FALSE(Fw().EventOpen(Lock));
  EXPECT_FALSE(Fw().EventOpen(Close));
  EXPECT_EQ(Shared()->RefCount, 1u);
  EXPECT_EQ(Fw().OpenEventCount(), 0u);

  // Back at 1: the next constructor creates the events in its own image, and
  // finds the table through token 1346.
  Forget();
  ASSERT_EQ(Construct(2), EFI_SUCCESS);
  EXPECT_EQ(Flow(), std::vector<std::string>{CreateEvents});
  EXPECT_EQ(Fw().AllocationCount(), Allocations);
  EXPECT_TRUE(Fw().EventOpen(LockEvent(2)));
  EXPECT_TRUE(Fw().EventOpen(CloseEvent(2)));
  EXPECT_EQ(Shared()->RefCount, 2u);
}

TEST_F(S3Lifecycle, ReadyToLockAlreadyInstalledLocksDuringConstruction) {
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  ASSERT_EQ(Construct(), EFI_SUCCESS);
  EXPECT_EQ(Shared()->ScriptLocked, 1);
  EXPECT_EQ(Fw().OpenEventCount(), 1u) << "only the close-table event is left";
  EXPECT_EQ(LockEvent(), nullptr) << "the closed handle is forgotten";

  // So the destructor does not close it a second time.
  Forget();
  EnableAssertions();
  EXPECT_EQ(Destruct(), EFI_SUCCESS);
  EXPECT_EQ(Flow(), std::vector<std::string>{"Destory mCloseTableEvent.\n"});
  EXPECT_EQ(Fw().CallCount("CloseEvent"), 1u);
  EXPECT_TRUE(M().Log().empty()) << "no assertion";
}

TEST_F(S3Lifecycle, ReadyToLockLaterSwitchesEverySharingImage) {
  LoadAttached();
  ASSERT_EQ(Construct(0), EFI_SUCCESS);
  ASSERT_EQ(Construct(1), EFI_SUCCESS);
  EXPECT_EQ(Shared()->ScriptLocked, 0);
  EXPECT_TRUE(Fw().EventOpen(LockEvent()));

  ASSERT_TRUE(P().InstallSmmReadyToLock());
  EXPECT_EQ(Shared()->ScriptLocked, 1);
  EXPECT_EQ(ImagePrivate(1)->ScriptLocked, 1) << "the flag lives in the shared record";
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiDxeSmmReadyToLockProtocolGuid), 0u);

  // A second installation finds no registration left.
  Fw().ClearCalls();
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  EXPECT_EQ(Fw().CallCount("CloseEvent"), 0u);
}

TEST_F(S3Lifecycle, ScriptLockCallbackWithoutTheProtocolChangesNothing) {
  ASSERT_EQ(Construct(), EFI_SUCCESS);
  const EFI_EVENT Lock = LockEvent();
  Call([&] { PIRN_SYMBOL(Img(), TevS3SaveScriptLockCallBack)(Lock, nullptr); });
  EXPECT_EQ(Shared()->ScriptLocked, 0);
  EXPECT_TRUE(Fw().EventOpen(Lock)) << "it waits for the next installation";
}

// Constructor failures, each with the assertion site it raises when
// assertions are enabled (they are not at start-up, so this shows the code).
struct ConstructFailure {
  const char *Name;
  Firmware::Service Fail;
  unsigned Nth;
  EFI_STATUS Status;
  std::vector<std::string> Trace;
  UINT32 Assertion;  // 0: none
  bool RecordPublished;
  UINT32 RefCount;
  size_t OpenEvents;
  size_t Signals;  // SignalEvent calls: an unset event is never signalled
};

class S3ConstructFailure : public S3Lifecycle, public ::testing::WithParamInterface<ConstructFailure> {};

TEST_P(S3ConstructFailure, FailsWithItsStatusAndLeavesNoTable) {
  const ConstructFailure &C = GetParam();
  EnableAssertions();
  Forget();
  Fw().FailService(C.Fail, C.Nth);

  EXPECT_EQ(Construct(), C.Status);
  EXPECT_EQ(Flow(), C.Trace);
  std::vector<Access> Expected{WindowRead};
  if (C.Assertion != 0) {
    Expected = Concat(Expected, AssertionAccesses(C.Assertion));
  }
  EXPECT_EQ(M().Log(), Expected);
  EXPECT_EQ(*Pcd().Peek(PcdS3Table), 0u) << "no table published";
  EXPECT_EQ(Fw().OpenEventCount(), C.OpenEvents);
  if (!C.RecordPublished) {
    EXPECT_EQ(*Pcd().Peek(PcdS3PrivateData), 0u);
    EXPECT_EQ(ImagePrivate(), nullptr);
  } else {
    EXPECT_EQ(ImagePrivate(), Shared());
    EXPECT_EQ(Shared()->Table, 0u);
    EXPECT_EQ(Shared()->RefCount, C.RefCount);
  }
  EXPECT_EQ(Fw().CallCount("SignalEvent"), C.Signals);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, S3ConstructFailure,
    ::testing::Values(ConstructFailure{"RecordAllocation",
                                       Firmware::Service::AllocatePool,
                                       1,
                                       EFI_OUT_OF_RESOURCES,
                                       {Allocation, "TevS3LibPrivateData allocate fail\n"},
                                       AssertS3PrivateAlloc,
                                       false,
                                       0,
                                       0,
                                       0},
                      ConstructFailure{"ScriptLockEvent",
                                       Firmware::Service::CreateEvent,
                                       1,
                                       EFI_UNSUPPORTED,
                                       {Allocation, CreateEvents, "TevS3SaveLib create BootScriptLock Event fail\n"},
                                       AssertS3LockEvent,
                                       true,
                                       1,
                                       0,
                                       0},
                      ConstructFailure{"CloseTableEvent",
                                       Firmware::Service::CreateEventEx,
                                       1,
                                       EFI_UNSUPPORTED,
                                       {Allocation, CreateEvents, "TevS3SaveLib create CloseTable Event fail\n"},
                                       AssertS3CloseEvent,
                                       true,
                                       1,
                                       1,
                                       1},
                      // The table block cannot be had: nothing is written
                      // through a null pointer and nothing is published.
                      ConstructFailure{"TableAllocation",
                                       Firmware::Service::AllocatePool,
                                       2,
                                       EFI_OUT_OF_RESOURCES,
                                       {Allocation, CreateEvents, Size4000, "TevS3Lib table allocate fail\n"},
                                       0,
                                       true,
                                       2,
                                       2,
                                       1}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(S3Lifecycle, TableMissingAtFirstConstructionIsCreatedByTheNext) {
  LoadAttached();
  Fw().FailAllocation(2);
  ASSERT_EQ(Construct(0), EFI_OUT_OF_RESOURCES);
  ASSERT_EQ(Construct(1), EFI_SUCCESS);
  EXPECT_NE(Shared()->Table, 0u);
  EXPECT_EQ(Shared()->Table, *Pcd().Peek(PcdS3Table));
  EXPECT_EQ(Shared()->RefCount, 3u);

  // Both images check the table against the same size.
  Shared()->ScriptLocked = 1;
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 1, 0, 0, 0, 0), S3Success);
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 2, 0, 0, 0, 1), S3Success);
  EXPECT_EQ(Header()->NextRecordOffset, 0x30u + 2 * 24);
}

TEST_F(S3Lifecycle, ImageWhoseEventsFailedAppendsToTheTableCreatedLater) {
  // Image 0 joined the record but could not create its events, so no table;
  // image 1 then creates events and table. Both append to that table.
  LoadAttached();
  Fw().FailService(Firmware::Service::CreateEventEx, 1);
  ASSERT_EQ(Construct(0), EFI_UNSUPPORTED);
  ASSERT_EQ(Construct(1), EFI_SUCCESS);
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 1, 0, 0, 0, 0), S3Success);
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 2, 0, 0, 0, 1), S3Success);
  EXPECT_EQ(Header()->NextRecordOffset, 0x30u + 2 * 24);
}

TEST_F(S3Lifecycle, TableSizeWhoseBlockWouldWrapIsRefused) {
  Pcd().Set(PcdS3TableSize, ~0ULL - 1);
  EXPECT_EQ(Construct(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Fw().AllocationCount(), 1u) << "only the record";
  EXPECT_EQ(Shared()->Table, 0u);
  EXPECT_EQ(Flow().back(), "TevS3Lib table allocate fail\n");
}

TEST_F(S3Lifecycle, DisabledWindowLeavesTheBaseAtZero) {
  M().SetMsr(0xC0010058, 0xE0000020);  // bit 0 clear
  EnableAssertions();
  Forget();
  ASSERT_EQ(Construct(), EFI_SUCCESS);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mPcieCfgBase), 0u);
  EXPECT_EQ(M().Log(),
            Concat({{AccessKind::MsrRead, 8, 0xC0010058, 0xE0000020}}, AssertionAccesses(AssertS3WindowDisabled)));
  EXPECT_EQ(Flow(), (std::vector<std::string>{Allocation, CreateEvents, Size4000})) << "construction goes on";
}

TEST_F(S3Lifecycle, ConstructorAtStartUpRaisesNoAssertion) {
  // Started the ordinary way, the library is constructed before the
  // diagnostics configuration is loaded: a failed site takes no effect.
  M().SetMsr(0xC0010058, 0xE0000020);
  Fw().FailService(Firmware::Service::CreateEventEx, 1);
  ASSERT_EQ(Boot(), EFI_SUCCESS);
  for (UINT32 Shown : M().PortWrites(0x80)) {
    EXPECT_NE(Shown, AssertS3WindowDisabled);
    EXPECT_NE(Shown, AssertS3CloseEvent);
  }
  EXPECT_TRUE(Trace().Contains("TevS3SaveLib create CloseTable Event fail\n"));
  EXPECT_EQ(PIRN_SYMBOL(Img(), DiagConfig)->AssertEnable, 1) << "loaded afterwards";
}

class S3NoPcd : public S3Lifecycle {
 protected:
  sim::PlatformOptions Options() const override {
    auto O = S3Lifecycle::Options();
    O.Pcd = false;
    return O;
  }
};

TEST_F(S3NoPcd, WithoutThePcdProtocolNothingIsShared) {
  Forget();
  EXPECT_EQ(Construct(), EFI_UNSUPPORTED);
  EXPECT_EQ(ImagePrivate(), nullptr);
  EXPECT_EQ(Fw().AllocationCount(), 0u);
  EXPECT_EQ(Fw().OpenEventCount(), 0u);
  EXPECT_EQ(M().Log(), std::vector<Access>{WindowRead});
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mPcieCfgBase), 0xE0000000u) << "the recorder still knows the window";
  EXPECT_TRUE(Flow().empty());

  // Its destructor has nothing to count down.
  EXPECT_EQ(Destruct(), EFI_SUCCESS);
  EXPECT_TRUE(Flow().empty());
}

// ---------------------------------------------------------------------------
// Destructor
// ---------------------------------------------------------------------------
TEST_F(S3Lifecycle, DestructorGoesOnWhenClosingAnEventFails) {
  ASSERT_EQ(Construct(), EFI_SUCCESS);
  EnableAssertions();
  Forget();
  Fw().FailService(Firmware::Service::CloseEvent, 1, EFI_INVALID_PARAMETER);
  EXPECT_EQ(Destruct(), EFI_SUCCESS);
  EXPECT_EQ(M().Log(), AssertionAccesses(AssertS3CloseLockEvent));
  EXPECT_EQ(Fw().CallCount("CloseEvent"), 2u);
  EXPECT_EQ(Shared()->RefCount, 1u);

  Fw().FailService(Firmware::Service::CloseEvent, 2, EFI_INVALID_PARAMETER);
  M().ClearLog();
  ASSERT_EQ(Construct(), EFI_SUCCESS);
  EXPECT_EQ(Destruct(), EFI_SUCCESS);
  EXPECT_EQ(M().Log(), Concat({WindowRead}, AssertionAccesses(AssertS3CloseTableEvent)));
}

TEST_F(S3Lifecycle, DestructorDropsOnlyAReferenceItsConstructorTook) {
  // The close-table event could not be created: RefCount was not raised.
  Fw().FailService(Firmware::Service::CreateEventEx, 1);
  ASSERT_EQ(Construct(), EFI_UNSUPPORTED);
  ASSERT_EQ(Shared()->RefCount, 1u);
  Forget();
  EXPECT_EQ(Destruct(), EFI_SUCCESS);
  EXPECT_EQ(Flow(), std::vector<std::string>{"Destory S3ScriptLockEvent.\n"});
  EXPECT_EQ(Shared()->RefCount, 1u);
  EXPECT_EQ(Destruct(), EFI_SUCCESS);
  EXPECT_EQ(Shared()->RefCount, 1u) << "a second destructor run drops nothing either";

  // Record allocation failed: there is no record, and nothing is counted.
  Fw().FailAllocation(1);
  P().LoadDriver();
  Attach(1);
  Pcd().Set(PcdS3PrivateData, 0);
  ASSERT_EQ(Construct(1), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Destruct(1), EFI_SUCCESS);
}

// ---------------------------------------------------------------------------
// Hand-off at ready-to-boot
// ---------------------------------------------------------------------------
class S3HandOff : public S3Lifecycle {
 protected:
  void SetUp() override {
    S3Lifecycle::SetUp();
    ASSERT_EQ(Construct(), EFI_SUCCESS);
    ASSERT_TRUE(P().InstallSmmReadyToLock());
    ASSERT_EQ(Append(S3OpMemWrite, 2, 0xE01000B8, 0x8001), S3Success);
    ASSERT_EQ(Append(S3OpPciPoll, 2, 1, 0x010000BC, 0, 1, 0xFFFFFFFF), S3Success);
    EnableAssertions();
    Private = Shared();
    TableAddress = Private->Table;
    Forget();
  }
  TEV_S3_LIB_PRIVATE_DATA *Private = nullptr;
  UINT64 TableAddress = 0;
};

TEST_F(S3HandOff, TableIsTerminatedHandedOverAndReleased) {
  const EFI_EVENT Close = CloseEvent();
  const std::vector<UINT8> Block = TableBlock();
  ASSERT_TRUE(P().SignalReadyToBoot());

  EXPECT_EQ(Flow(), std::vector<std::string>{CallBack});
  EXPECT_TRUE(M().Log().empty());
  EXPECT_FALSE(Fw().EventOpen(Close));

  // The communicate buffer: handler GUID, message length 16, command 1, four
  // zero bytes, the record's address.
  std::array<UINT8, 40> Expected = {0xF0, 0x61, 0x40, 0x5C, 0x51, 0xD0, 0x43, 0x4F, 0xBC, 0x23, 0x5E, 0x5E, 0x89,
                                    0xB3, 0xCE, 0xC0, 16,   0,    0,    0,    0,    0,    0,    0,    1};
  const UINT64 Address = reinterpret_cast<UINT64>(Private);
  std::memcpy(Expected.data() + 0x20, &Address, 8);
  ASSERT_EQ(P().smm.Deliveries().size(), 1u);
  const auto &D = P().smm.Deliveries()[0];
  EXPECT_EQ(D.Message, Expected);
  EXPECT_TRUE(std::equal(Expected.begin(), Expected.end(), P().smm.CommBuffer()));
  EXPECT_EQ(D.CommSize, 40u);
  ASSERT_TRUE(D.Accepted) << D.Error;

  // The handler took the table as it was, terminated after the two records.
  std::vector<UINT8> Terminated = Block;
  Terminated[0x30 + 24 + 48] = 0xFF;
  Terminated[0x30 + 24 + 48 + 1] = 0xFF;
  EXPECT_EQ(D.Table, Terminated);
  ASSERT_EQ(D.Decoded.Records.size(), 2u);
  EXPECT_TRUE(D.Decoded.Terminated);

  // Closed: the memory is released, the addresses stay where they were.
  EXPECT_EQ(Private->TableClosed, 1);
  EXPECT_EQ(Private->Table, TableAddress);
  EXPECT_EQ(*Pcd().Peek(PcdS3Table), TableAddress);
  EXPECT_FALSE(LiveBlock(Fw(), TableAddress));
  EXPECT_TRUE(LiveBlock(Fw(), Address));

  // Nothing more happens: a second signal finds no event, appends record
  // nothing and report no error.
  Forget();
  ASSERT_TRUE(P().SignalReadyToBoot());
  EXPECT_TRUE(Flow().empty());
  EXPECT_EQ(P().smm.Deliveries().size(), 1u);
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xE01000B8, 0x8001), S3Success);
  EXPECT_TRUE(M().Log().empty());
}

TEST_F(S3HandOff, SecondCloseCallbackLeavesTheReleasedTableAlone) {
  // A second image that also created the event pair: its callback runs after
  // the first one released the table.
  LoadAttached();
  Private->RefCount = 1;
  ASSERT_EQ(Construct(1), EFI_SUCCESS);
  ASSERT_NE(CloseEvent(1), nullptr);
  Forget();

  ASSERT_TRUE(P().SignalReadyToBoot());
  EXPECT_EQ(Flow(), (std::vector<std::string>{CallBack, CallBack}));
  EXPECT_EQ(P().smm.Deliveries().size(), 1u) << "handed over once";
  EXPECT_TRUE(M().Log().empty()) << "no table check of released memory";
  EXPECT_TRUE(Fw().Violations().empty()) << "released once";
}

// Hand-off failures: the table stays open and later appends go over the
// terminator at the same offset.
struct HandOffFailure {
  const char *Name;
  std::vector<std::string> Trace;
  UINT32 Assertion;
  bool Terminated;
};

class S3HandOffFailure : public S3HandOff, public ::testing::WithParamInterface<HandOffFailure> {
 protected:
  sim::PlatformOptions Options() const override {
    auto O = S3HandOff::Options();
    const std::string Name = GetParam().Name;
    O.SmmCommunication = Name != "NoSmmCommunication";
    O.PiPcd = Name != "NoPiPcd";
    return O;
  }
  void SetUp() override {
    S3HandOff::SetUp();
    const std::string Name = GetParam().Name;
    if (Name == "NoCommBuffer") {
      Pcd().Set(gTevPcdTokenSpaceGuid, PcdSmmCommBuffer, 0);
    } else if (Name == "NoTable") {
      Private->Table = 0;
    } else if (Name == "BadSignature") {
      Write(0, 'X', 1);
    }
  }
};

TEST_P(S3HandOffFailure, NothingIsHandedOverAndTheTableStaysOpen) {
  const HandOffFailure &C = GetParam();
  const UINT64 Next = reinterpret_cast<const TEV_S3_LIB_TABLE_HEADER *>(TableAddress)->NextRecordOffset;
  ASSERT_TRUE(P().SignalReadyToBoot());

  EXPECT_EQ(Flow(), C.Trace);
  EXPECT_EQ(M().Log(), C.Assertion != 0 ? AssertionAccesses(C.Assertion) : std::vector<Access>{});
  EXPECT_TRUE(P().smm.Deliveries().empty());
  EXPECT_EQ(Private->TableClosed, 0);
  EXPECT_TRUE(LiveBlock(Fw(), TableAddress)) << "table kept";
  if (std::string(C.Name) == "NoTable") {
    return;
  }
  EXPECT_EQ(Read(Next, 2), C.Terminated ? 0xFFFFu : 0u);
  if (std::string(C.Name) == "BadSignature") {
    return;
  }
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xE01000B8, 0x8001), S3Success);
  EXPECT_EQ(Read(Next, 2), S3OpMemWrite) << "over the terminator";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, S3HandOffFailure,
    ::testing::Values(HandOffFailure{"NoSmmCommunication",
                                     {CallBack, "TevS3SaveLib locate SmmCommunicationProtocol fail \n"},
                                     AssertS3NoSmmComm,
                                     true},
                      HandOffFailure{"NoCommBuffer", {CallBack}, AssertS3NoCommBuffer, true},
                      // Without the PI PCD protocol there is no buffer address.
                      HandOffFailure{"NoPiPcd", {CallBack}, AssertS3NoCommBuffer, true},
                      HandOffFailure{"NoTable", {CallBack, "mTevS3LibPrivateData is NULL\n"}, 0, false},
                      HandOffFailure{"BadSignature",
                                     {CallBack, "TevS3Lib table Signature check fail\n"},
                                     AssertS3TableSignature,
                                     false}),
    [](const auto &Info) { return std::string(Info.param.Name); });

class S3TwoBooted : public S3Fixture {
 protected:
  sim::PlatformOptions Options() const override {
    auto O = S3Fixture::Options();
    O.Images = 2;
    return O;
  }
};

TEST_F(S3TwoBooted, TwoStartedImagesShareOneRecordAndOneTable) {
  ASSERT_EQ(Boot(0), EFI_SUCCESS);
  ASSERT_EQ(Boot(1), EFI_SUCCESS);
  EXPECT_EQ(ImagePrivate(0), ImagePrivate(1));
  EXPECT_EQ(Shared()->RefCount, 3u);
  EXPECT_NE(*PIRN_SYMBOL(Img(0), mCloseTableEvent), nullptr);
  EXPECT_EQ(*PIRN_SYMBOL(Img(1), mCloseTableEvent), nullptr);

  // Image 1 records after ready-to-lock; image 0's event hands it over.
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  const UINT32 Data = 0x8001;
  Call([&] { PIRN_SYMBOL(Img(1), S3RecordPciWrite)(AccessWidth32, PciAddress(0, 1, 0, 0, 0xB8), &Data); });
  ASSERT_TRUE(P().SignalReadyToBoot());
  const sim::SmmCommunication::Delivery *D = P().smm.LastAccepted();
  ASSERT_NE(D, nullptr);
  EXPECT_EQ(D->Script, (std::vector<sim::ScriptEntry>{{sim::ScriptKind::MemWrite, 2, 0, 0xE01000B8, 0x8001}}));
  EXPECT_TRUE(D->Unknown.empty());
}

TEST_F(S3Lifecycle, CloseCallbackWithoutSharedRecordOnlyTraces) {
  Call([&] { PIRN_SYMBOL(Img(), TevS3SaveCloseTableCallBack)(nullptr, nullptr); });
  EXPECT_EQ(Flow(), (std::vector<std::string>{CallBack, "mTevS3LibPrivateData is NULL\n"}));
  EXPECT_TRUE(P().smm.Deliveries().empty());
}

}  // namespace

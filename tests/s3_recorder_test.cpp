// Resume-script recorder: the save-state path before ready-to-lock, the
// table path after it, the memory and PCI forms, widths and failures.
#include <string>
#include <vector>

#include "s3_fixture.h"
#include "sim/TableDecoder.h"

namespace {

using sim::Access;
using sim::ScriptEntry;
using sim::ScriptKind;

enum class Operation { MemWrite, MemPoll, PciWrite, PciPoll };

constexpr UINT64 Value = 0x8877665544332211ULL;  // read with the entry's width
constexpr UINT32 PollData = 0x5;
constexpr UINT32 PollMask = 0xF;

struct RecordCase {
  const char *Name;
  Operation Op;
  ACCESS_WIDTH Width;  // writes only
  UINT64 Address;      // memory address, or PciAddress
  UINT64 CfgBase;      // mPcieCfgBase of the image
  ScriptEntry SaveState;
  UINT16 TableOpCode;
  std::vector<uint64_t> TableOperands;
};

class S3Recorder : public S3Fixture {
 protected:
  void SetUp() override {
    S3Fixture::SetUp();
    Attach();
    ASSERT_EQ(Construct(), EFI_SUCCESS);
    EnableAssertions();
    Forget();
  }

  UINT8 Record(Operation Op, ACCESS_WIDTH Width, UINT64 Address, size_t Index = 0) {
    UINT8 Status = 0xEE;
    const sim::DriverImage &I = Img(Index);
    Call([&] {
      switch (Op) {
        case Operation::MemWrite:
          Status = PIRN_SYMBOL(I, S3RecordMemWrite)(Width, Address, &Value);
          break;
        case Operation::MemPoll:
          Status = PIRN_SYMBOL(I, S3RecordMemPoll)(Address, &PollData, &PollMask);
          break;
        case Operation::PciWrite:
          Status = PIRN_SYMBOL(I, S3RecordPciWrite)(Width, static_cast<UINT32>(Address), &Value);
          break;
        case Operation::PciPoll:
          Status = PIRN_SYMBOL(I, S3RecordPciPoll)(static_cast<UINT32>(Address), &PollData, &PollMask);
          break;
      }
    });
    return Status;
  }
  UINT8 Record(const RecordCase &C) { return Record(C.Op, C.Width, C.Address); }

  const std::vector<ScriptEntry> &Script() { return P().s3SaveState.Script(); }

  // The records appended so far.
  std::vector<sim::TableRecord> Records() {
    const sim::TableDecodeResult Decoded = sim::DecodeResumeTable(TableBlock());
    EXPECT_TRUE(Decoded.Valid) << Decoded.Error;
    return Decoded.Records;
  }
};

class S3RecorderForms : public S3Recorder, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(S3RecorderForms, FilesThroughSaveStateThenAppendsAfterReadyToLock) {
  const RecordCase &C = GetParam();
  *PIRN_SYMBOL(Img(), mPcieCfgBase) = C.CfgBase;

  // Before ready-to-lock: one save-state entry, no table record.
  EXPECT_EQ(Record(C), S3Success);
  EXPECT_EQ(Script(), std::vector<ScriptEntry>{C.SaveState});
  EXPECT_EQ(Header()->NextRecordOffset, S3TableFirstRecord);

  // After it: one table record, no save-state call.
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  const size_t Calls = P().s3SaveState.Calls().size();
  EXPECT_EQ(Record(C), S3Success);
  EXPECT_EQ(P().s3SaveState.Calls().size(), Calls);
  const auto Appended = Records();
  ASSERT_EQ(Appended.size(), 1u);
  EXPECT_EQ(Appended[0].OpCode, C.TableOpCode);
  EXPECT_EQ(Appended[0].Operands, C.TableOperands);

  // Recording touches no hardware and traces nothing.
  EXPECT_TRUE(M().Log().empty());
  EXPECT_TRUE(Flow().empty());
}

constexpr UINT64 Below4G = 0xE0000000;
constexpr UINT64 At4G = 0x100000000ULL;
const UINT32 Hub1Index = PciAddress(0, 1, 0, 0, 0xB8);
const UINT32 Hub1Data = PciAddress(0, 1, 0, 0, 0xBC);
const UINT32 Segment1 = PciAddress(1, 0x20, 3, 1, 0x554);
const UINT32 Extended = PciAddress(0, 1, 3, 1, 0x554);
constexpr UINT64 Segment1Script = 0x0000055420030100ULL;  // bus 0x20, device 3, function 1, register 0x554
constexpr UINT64 ExtendedScript = 0x0000055401030100ULL;

const RecordCase Cases[] = {
    // Memory writes: the value read with the width, the boot-script width.
    {"MemWrite8",
     Operation::MemWrite,
     1,
     0xFED80010,
     Below4G,
     {ScriptKind::MemWrite, 0, 0, 0xFED80010, 0x11},
     3,
     {0, 0xFED80010, 0x11}},
    {"MemWrite16",
     Operation::MemWrite,
     2,
     0xFED80010,
     Below4G,
     {ScriptKind::MemWrite, 1, 0, 0xFED80010, 0x2211},
     3,
     {1, 0xFED80010, 0x2211}},
    {"MemWrite32",
     Operation::MemWrite,
     3,
     0xFED80010,
     Below4G,
     {ScriptKind::MemWrite, 2, 0, 0xFED80010, 0x44332211},
     3,
     {2, 0xFED80010, 0x44332211}},
    {"MemWrite64",
     Operation::MemWrite,
     4,
     0x1FED80010,
     Below4G,
     {ScriptKind::MemWrite, 3, 0, 0x1FED80010, Value},
     3,
     {3, 0x1FED80010, Value}},
    {"MemPoll",
     Operation::MemPoll,
     0,
     0xFED80020,
     Below4G,
     {ScriptKind::MemPoll, 2, 0, 0xFED80020, PollData, PollMask, 0x100000004},
     5,
     {2, 0xFED80020, PollData, PollMask, 0x1999999A}},
    // Segment 0 with the window below 4 GiB: memory form at the window address.
    {"PciWriteWindow",
     Operation::PciWrite,
     3,
     Hub1Index,
     Below4G,
     {ScriptKind::MemWrite, 2, 0, 0xE01000B8, 0x44332211},
     3,
     {2, 0xE01000B8, 0x44332211}},
    {"PciWriteWindowBelow4GEdge",
     Operation::PciWrite,
     1,
     Hub1Index,
     0xFFF00000,
     {ScriptKind::MemWrite, 0, 0, 0xFFF00000ULL + 0x001000B8, 0x11},
     3,
     {0, 0xFFF00000ULL + 0x001000B8, 0x11}},
    {"PciPollWindow",
     Operation::PciPoll,
     0,
     Hub1Data,
     Below4G,
     {ScriptKind::MemPoll, 2, 0, 0xE01000BC, PollData, PollMask, 0x100000004},
     5,
     {2, 0xE01000BC, PollData, PollMask, 0x1999999A}},
    // Window at 4 GiB or above: PCI form, segment 0.
    {"PciWriteAbove4G",
     Operation::PciWrite,
     3,
     Hub1Index,
     At4G,
     {ScriptKind::PciWrite, 2, 0, 0x010000B8, 0x44332211},
     6,
     {2, 0, 0x010000B8, 0x44332211}},
    {"PciPollAbove4G",
     Operation::PciPoll,
     0,
     Hub1Data,
     At4G,
     {ScriptKind::PciPoll, 2, 0, 0x010000BC, PollData, PollMask, 0xFFFFFFFF},
     8,
     {2, 0, 0x010000BC, PollData, PollMask, 0xFFFFFFFF}},
    {"PciWriteExtendedRegister",
     Operation::PciWrite,
     2,
     Extended,
     At4G,
     {ScriptKind::PciWrite, 1, 0, ExtendedScript, 0x2211},
     6,
     {1, 0, ExtendedScript, 0x2211}},
    // Segment 1: PCI form whatever the base.
    {"PciWriteSegment1",
     Operation::PciWrite,
     4,
     Segment1,
     Below4G,
     {ScriptKind::PciWrite, 3, 1, Segment1Script, Value},
     6,
     {3, 1, Segment1Script, Value}},
    {"PciPollSegment1",
     Operation::PciPoll,
     0,
     Segment1,
     Below4G,
     {ScriptKind::PciPoll, 2, 1, Segment1Script, PollData, PollMask, 0xFFFFFFFF},
     8,
     {2, 1, Segment1Script, PollData, PollMask, 0xFFFFFFFF}},
    // The window was found disabled (base 0): the bare offset would name
    // ordinary memory, so segment 0 is recorded in the PCI form.
    {"PciWriteWindowDisabled",
     Operation::PciWrite,
     3,
     Hub1Index,
     0,
     {ScriptKind::PciWrite, 2, 0, 0x010000B8, 0x44332211},
     6,
     {2, 0, 0x010000B8, 0x44332211}},
    {"PciPollWindowDisabled",
     Operation::PciPoll,
     0,
     Hub1Data,
     0,
     {ScriptKind::PciPoll, 2, 0, 0x010000BC, PollData, PollMask, 0xFFFFFFFF},
     8,
     {2, 0, 0x010000BC, PollData, PollMask, 0xFFFFFFFF}},
};

INSTANTIATE_TEST_SUITE_P(Forms, S3RecorderForms, ::testing::ValuesIn(Cases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(S3Recorder, AfterReadyToBootNothingIsRecordedAndNothingFails) {
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  ASSERT_TRUE(P().SignalReadyToBoot());
  ASSERT_EQ(Shared()->TableClosed, 1);
  Forget();
  for (const RecordCase &C : Cases) {
    *PIRN_SYMBOL(Img(), mPcieCfgBase) = C.CfgBase;
    EXPECT_EQ(Record(C), S3Success) << C.Name;
  }
  EXPECT_TRUE(Script().empty());
  EXPECT_TRUE(M().Log().empty()) << "the released table is not checked";
  EXPECT_TRUE(Flow().empty());
}

// A width outside 1..4: the entry is still made, as an 8-bit one; the
// assertion sites show which reads were refused.
struct WidthCase {
  const char *Name;
  Operation Op;
  UINT64 Address;
  ScriptEntry SaveState;  // the caller's byte is read by the service
  UINT16 TableOpCode;
  std::vector<uint64_t> TableOperands;  // value 0: nothing was read
};

class S3RecorderWidth : public S3Recorder, public ::testing::WithParamInterface<std::tuple<WidthCase, ACCESS_WIDTH>> {};

TEST_P(S3RecorderWidth, BadWidthIsFiledAsAByteEntry) {
  const auto &[C, Width] = GetParam();
  EXPECT_EQ(Record(C.Op, Width, C.Address), S3Success);
  EXPECT_EQ(Script(), std::vector<ScriptEntry>{C.SaveState});
  EXPECT_EQ(M().Log(), AssertionAccesses(AssertS3ScriptWidth));

  ASSERT_TRUE(P().InstallSmmReadyToLock());
  M().ClearLog();
  EXPECT_EQ(Record(C.Op, Width, C.Address), S3Success);
  const auto Appended = Records();
  ASSERT_EQ(Appended.size(), 1u);
  EXPECT_EQ(Appended[0].OpCode, C.TableOpCode);
  EXPECT_EQ(Appended[0].Operands, C.TableOperands);
  EXPECT_EQ(M().Log(), Concat(AssertionAccesses(AssertS3ValueWidth), AssertionAccesses(AssertS3ScriptWidth)));
}

INSTANTIATE_TEST_SUITE_P(
    Widths, S3RecorderWidth,
    ::testing::Combine(::testing::Values(WidthCase{"MemWrite",
                                                   Operation::MemWrite,
                                                   0xFED80010,
                                                   {ScriptKind::MemWrite, 0, 0, 0xFED80010, 0x11},
                                                   3,
                                                   {0, 0xFED80010, 0}},
                                         WidthCase{"PciWriteSegment1",
                                                   Operation::PciWrite,
                                                   Segment1,
                                                   {ScriptKind::PciWrite, 0, 1, Segment1Script, 0x11},
                                                   6,
                                                   {0, 1, Segment1Script, 0}}),
                       ::testing::Values(ACCESS_WIDTH{0}, ACCESS_WIDTH{5}, AccessWidth32Recorded)),
    [](const auto &Info) {
      return std::string(std::get<0>(Info.param).Name) + "Width" + std::to_string(std::get<1>(Info.param));
    });

// A non-zero status of the save-state service is a failure, warnings too;
// nothing falls back to the table and nothing is traced.
struct ServiceCase {
  const char *Name;
  EFI_STATUS Status;
  size_t Kept;  // entries the service kept
};

class S3RecorderService : public S3Recorder, public ::testing::WithParamInterface<ServiceCase> {};

TEST_P(S3RecorderService, NonZeroWriteStatusGivesStatusSeven) {
  P().s3SaveState.SetStatus(GetParam().Status);
  for (Operation Op : {Operation::MemWrite, Operation::MemPoll, Operation::PciWrite, Operation::PciPoll}) {
    EXPECT_EQ(Record(Op, 3, Segment1), S3Failure);
  }
  EXPECT_EQ(Script().size(), GetParam().Kept);
  EXPECT_EQ(Header()->NextRecordOffset, S3TableFirstRecord);
  EXPECT_TRUE(Flow().empty());
  EXPECT_TRUE(M().Log().empty());
}

INSTANTIATE_TEST_SUITE_P(Statuses, S3RecorderService,
                         ::testing::Values(ServiceCase{"Error", EFI_OUT_OF_RESOURCES, 0}, ServiceCase{"Warning", 1, 4}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

class S3RecorderNoSaveState : public S3Recorder {
 protected:
  sim::PlatformOptions Options() const override {
    auto O = S3Recorder::Options();
    O.S3SaveState = false;
    return O;
  }
};

TEST_F(S3RecorderNoSaveState, SaveStatePathFailsWithoutTheServiceAndTablePathStillWorks) {
  ASSERT_EQ(*PIRN_SYMBOL(Img(), mS3SaveState), nullptr);
  for (Operation Op : {Operation::MemWrite, Operation::MemPoll, Operation::PciWrite, Operation::PciPoll}) {
    EXPECT_EQ(Record(Op, 3, Hub1Index), S3Failure) << "nothing can be filed";
  }
  EXPECT_TRUE(M().Log().empty());

  ASSERT_TRUE(P().InstallSmmReadyToLock());
  EXPECT_EQ(Record(Operation::PciWrite, 3, Hub1Index), S3Success);
  EXPECT_EQ(Records().size(), 1u);
}

TEST_F(S3Recorder, WithoutSharedRecordTheSaveStateServiceIsUsed) {
  // Image 1 never obtained the shared record; it cannot have been locked.
  P().LoadDriver();
  Attach(1);
  ASSERT_TRUE(P().InstallSmmReadyToLock());
  ASSERT_EQ(ImagePrivate(1), nullptr);
  EXPECT_EQ(Record(Operation::MemWrite, 3, 0xFED80010, 1), S3Success);
  EXPECT_EQ(Script(), (std::vector<ScriptEntry>{{ScriptKind::MemWrite, 2, 0, 0xFED80010, 0x44332211}}));
  EXPECT_EQ(Header()->NextRecordOffset, S3TableFirstRecord);
}

TEST_F(S3Recorder, SaveStateServiceReadsTheValuesAtCallTime) {
  // The service copies what the pointers show during the call; the table
  // path stores copies too. Changing the caller's variables later changes
  // neither.
  UINT32 Data = 0x10;
  UINT32 Mask = 0x30;
  Call([&] { PIRN_SYMBOL(Img(), S3RecordPciPoll)(Segment1, &Data, &Mask); });
  Data = 0xFFFF;
  Mask = 0xFFFF;
  ASSERT_EQ(Script().size(), 1u);
  EXPECT_EQ(Script()[0].Value, 0x10u);
  EXPECT_EQ(Script()[0].Mask, 0x30u);
}

}  // namespace

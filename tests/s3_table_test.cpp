// Resume table: record layouts, the room test, the integrity check and the
// states in which appends are made.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "s3_fixture.h"
#include "sim/TableDecoder.h"

namespace {

using sim::Access;
using sim::AccessKind;

// Distinctive operands: every byte differs, the high halves are non-zero so
// that a field stored too narrow or too wide shows.
constexpr std::array<UINT64, 6> Operands = {0xA1A2A3A4A5A6A7A8ULL, 0xB1B2B3B4B5B6B7B8ULL, 0xC1C2C3C4C5C6C7C8ULL,
                                            0xD1D2D3D4D5D6D7D8ULL, 0xE1E2E3E4E5E6E7E8ULL, 0xF1F2F3F4F5F6F7F8ULL};

struct Field {
  unsigned Offset;
  unsigned Bytes;
  UINT64 Value;
};

struct PackCase {
  UINT16 OpCode;
  UINT64 Size;
  std::vector<Field> Fields;  // besides the op code at +0; every other byte is zero
};

std::vector<UINT8> Expected(const PackCase &C) {
  std::vector<UINT8> Bytes(S3ScratchRecordSize, 0);
  auto Put = [&](unsigned Offset, unsigned Count, UINT64 Value) {
    for (unsigned I = 0; I < Count; I++) {
      Bytes[Offset + I] = static_cast<UINT8>(Value >> (8 * I));
    }
  };
  Put(0, 2, C.OpCode);
  for (const Field &F : C.Fields) {
    Put(F.Offset, F.Bytes, F.Value);
  }
  return Bytes;
}

const UINT64 Op1Low = Operands[0] & 0xFFFFFFFF;
const UINT64 Op2Segment = Operands[1] & 0xFFFF;

const std::vector<PackCase> PackCases = {
    {0, 24, {{4, 4, Op1Low}, {8, 8, Operands[1]}, {16, 8, Operands[2]}}},
    {1, 32, {{4, 4, Op1Low}, {8, 8, Operands[1]}, {16, 8, Operands[2]}, {24, 8, Operands[3]}}},
    {2, 40, {{4, 4, Op1Low}, {8, 8, Operands[1]}, {16, 8, Operands[2]}, {24, 8, Operands[3]}, {32, 8, Operands[4]}}},
    {3, 24, {{4, 4, Op1Low}, {8, 8, Operands[1]}, {16, 8, Operands[2]}}},
    {4, 32, {{4, 4, Op1Low}, {8, 8, Operands[1]}, {16, 8, Operands[2]}, {24, 8, Operands[3]}}},
    {5, 40, {{4, 4, Op1Low}, {8, 8, Operands[1]}, {16, 8, Operands[2]}, {24, 8, Operands[3]}, {32, 8, Operands[4]}}},
    // PCI records: only the low 16 bits of the segment, +10..+15 zero.
    {6, 32, {{4, 4, Op1Low}, {8, 2, Op2Segment}, {16, 8, Operands[2]}, {24, 8, Operands[3]}}},
    {7, 40, {{4, 4, Op1Low}, {8, 2, Op2Segment}, {16, 8, Operands[2]}, {24, 8, Operands[3]}, {32, 8, Operands[4]}}},
    {8,
     48,
     {{4, 4, Op1Low},
      {8, 2, Op2Segment},
      {16, 8, Operands[2]},
      {24, 8, Operands[3]},
      {32, 8, Operands[4]},
      {40, 8, Operands[5]}}},
    // No width field: +4..+7 zero, the two operands at +8 and +16.
    {9, 24, {{8, 8, Operands[0]}, {16, 8, Operands[1]}}},
};

// An image that has constructed the library, with the script locked (the
// table is open for appends) and assertions enabled so that every site shows.
class S3Table : public S3Fixture {
 protected:
  void SetUp() override {
    S3Fixture::SetUp();
    Attach();
    ASSERT_EQ(Construct(), EFI_SUCCESS);
    Shared()->ScriptLocked = 1;
    EnableAssertions();
    Forget();
  }

  // Appends a record of each of the ten op codes with the operands above.
  UINT8 AppendCase(const PackCase &C) {
    return Append(C.OpCode, Operands[0], Operands[1], Operands[2], Operands[3], Operands[4], Operands[5]);
  }
};

class S3Pack : public S3Table, public ::testing::WithParamInterface<PackCase> {};

TEST_P(S3Pack, PacksTheRecordByteExactAndAppendsIt) {
  const PackCase &C = GetParam();
  const auto Pack = PIRN_SYMBOL(Img(), S3PackRecord);

  std::array<UINT8, S3ScratchRecordSize> Record{};
  UINT64 Size = 0;
  Pack(C.OpCode, Operands.data(), Record.data(), &Size);
  EXPECT_EQ(Size, C.Size);
  EXPECT_EQ(std::vector<UINT8>(Record.begin(), Record.end()), Expected(C)) << "nothing outside the layout is written";

  // The same record through the append, at the next-record offset.
  const UINT64 Next = Header()->NextRecordOffset;
  ASSERT_EQ(Next, S3TableFirstRecord);
  EXPECT_EQ(AppendCase(C), S3Success);
  const std::vector<UINT8> Block = TableBlock();
  EXPECT_EQ(std::vector<UINT8>(Block.begin() + Next, Block.begin() + Next + S3ScratchRecordSize), Expected(C));
  EXPECT_EQ(Header()->NextRecordOffset, Next + C.Size);
  EXPECT_TRUE(Flow().empty());
  EXPECT_TRUE(M().Log().empty()) << "appending touches no hardware";
}

INSTANTIATE_TEST_SUITE_P(AllOpCodes, S3Pack, ::testing::ValuesIn(PackCases),
                         [](const auto &Info) { return "Op" + std::to_string(Info.param.OpCode); });

TEST_F(S3Table, RecordsGoBackToBackAndDecodeAsAppended) {
  const size_t AllocationsBefore = Fw().AllocationCount();
  UINT64 Expect = S3TableFirstRecord;
  for (const PackCase &C : PackCases) {
    ASSERT_EQ(AppendCase(C), S3Success);
    Expect += C.Size;
    ASSERT_EQ(Header()->NextRecordOffset, Expect);
  }
  EXPECT_EQ(Fw().AllocationCount(), AllocationsBefore) << "an append allocates nothing";

  // Closed by hand (terminator), the block decodes to the ten records.
  Write(Expect, S3TableTerminator, 2);
  const sim::TableDecodeResult Decoded = sim::DecodeResumeTable(TableBlock());
  ASSERT_TRUE(Decoded.Valid) << Decoded.Error;
  EXPECT_TRUE(Decoded.Warnings.empty()) << Decoded.Warnings.front();
  ASSERT_EQ(Decoded.Records.size(), PackCases.size());
  for (size_t I = 0; I < PackCases.size(); I++) {
    EXPECT_EQ(Decoded.Records[I].OpCode, PackCases[I].OpCode);
  }
}

TEST_F(S3Table, FirstMemoryWriteLandsAt0x30) {
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 0x12345678), S3Success);
  EXPECT_EQ(Read(0x30, 8), 3u | (2ULL << 32));
  EXPECT_EQ(Read(0x38, 8), 0xFED80000u);
  EXPECT_EQ(Read(0x40, 8), 0x12345678u);
  EXPECT_EQ(Header()->NextRecordOffset, 0x48u);
}

TEST_F(S3Table, UnknownOpCodeWritesNothingAndSucceeds) {
  const std::vector<UINT8> Before = TableBlock();
  for (UINT16 OpCode : {UINT16{10}, UINT16{0xFFFF}}) {
    M().ClearLog();
    EXPECT_EQ(Append(OpCode, 1, 2, 3, 4, 5, 6), S3Success);
    EXPECT_EQ(M().Log(), AssertionAccesses(AssertS3PackOpCode)) << OpCode;
  }
  EXPECT_EQ(TableBlock(), Before) << "neither a record nor the offset changed";
  EXPECT_TRUE(Flow().empty());

  // Packed alone, only the op code is stored and the size stays 0.
  std::array<UINT8, S3ScratchRecordSize> Record{};
  UINT64 Size = 0;
  PIRN_SYMBOL(Img(), S3PackRecord)(10, Operands.data(), Record.data(), &Size);
  EXPECT_EQ(Size, 0u);
  EXPECT_EQ(Record[0], 10);
  EXPECT_TRUE(std::all_of(Record.begin() + 1, Record.end(), [](UINT8 B) { return B == 0; }));
}

// Room test: a record must leave 2 bytes for the terminator before the table
// size. Room is counted from the next-record offset to the table size.
struct RoomCase {
  UINT16 OpCode;
  UINT64 RecordSize;
  INT64 Spare;  // room beyond record + terminator: 0 fits exactly, -1 is one byte short
  bool Fits;
};

class S3Room : public S3Table, public ::testing::WithParamInterface<RoomCase> {};

TEST_P(S3Room, RecordPlusTerminatorMustFitBeforeTheTableSize) {
  const RoomCase &C = GetParam();
  const UINT64 Size = Header()->TableSize;
  const UINT64 Next = Size - 2 - C.RecordSize - C.Spare;
  Header()->NextRecordOffset = Next;
  const std::vector<UINT8> Before = TableBlock();

  const UINT8 Status = Append(C.OpCode, 2, 0xFED80000, 0x11, 0x22, 0x33, 0x44);
  if (C.Fits) {
    EXPECT_EQ(Status, S3Success);
    EXPECT_EQ(Header()->NextRecordOffset, Next + C.RecordSize);
    EXPECT_EQ(Read(Next, 2), C.OpCode);
    EXPECT_EQ(Read(Size, 4), S3TableEndMarker) << "the end marker is untouched";
    EXPECT_TRUE(Flow().empty());
    EXPECT_TRUE(M().Log().empty());
  } else {
    EXPECT_EQ(Status, S3Failure);
    EXPECT_EQ(TableBlock(), Before) << "a failed append leaves the table unchanged";
    EXPECT_EQ(Flow(), std::vector<std::string>{"No enough space for s3 data save\n"});
    EXPECT_EQ(M().Log(), AssertionAccesses(AssertS3TableFull));
  }
}

INSTANTIATE_TEST_SUITE_P(Boundary, S3Room,
                         ::testing::Values(RoomCase{S3OpMemWrite, 24, 0, true}, RoomCase{S3OpMemWrite, 24, -1, false},
                                           RoomCase{S3OpPciPoll, 48, 0, true}, RoomCase{S3OpPciPoll, 48, -1, false},
                                           RoomCase{S3OpPciPoll, 48, -23, false}),
                         [](const auto &Info) {
                           return "Op" + std::to_string(Info.param.OpCode) + (Info.param.Fits ? "Fits" : "Short") +
                                  std::to_string(-Info.param.Spare);
                         });

TEST_F(S3Table, FullTableRejectsLargerRecordsButTakesSmallerOnes) {
  // Room for a 24-byte record and its terminator, not for a 32-byte one.
  Header()->NextRecordOffset = Header()->TableSize - 2 - 24;
  EXPECT_EQ(Append(4, 1, 2, 3, 4), S3Failure);
  EXPECT_EQ(Append(4, 1, 2, 3, 4), S3Failure) << "rejected again, not wedged";
  EXPECT_EQ(Append(S3OpMemWrite, 1, 2, 3), S3Success);
  EXPECT_EQ(Header()->NextRecordOffset, Header()->TableSize - 2);
  EXPECT_EQ(Append(S3OpMemWrite, 1, 2, 3), S3Failure) << "now only the terminator fits";
  EXPECT_EQ(Flow(), std::vector<std::string>(3, "No enough space for s3 data save\n"));
}

// One header field at a time is corrupted: the append must refuse the table
// without writing anything, and take records again once it is restored.
struct DamageCase {
  const char *Name;
  UINT64 Offset;  // from the table start; ~0 means "at the end marker"
  unsigned Bytes;
  UINT64 Value;
  UINT32 Assertion;
  const char *Message;
};

class S3Damage : public S3Table, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(S3Damage, CheckRefusesTheTableUntilTheFieldIsRestored) {
  const DamageCase &C = GetParam();
  const UINT64 Offset = C.Offset == ~0ULL ? Header()->TableSize : C.Offset;
  const uint64_t Saved = Read(Offset, C.Bytes);
  Write(Offset, C.Value, C.Bytes);
  const std::vector<UINT8> Before(Table(), Table() + S3TableMinSize + 4);

  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 0x11), S3Failure);
  EXPECT_EQ(PIRN_SYMBOL(Img(), S3TableCheck)(), S3Failure);
  EXPECT_EQ(std::vector<UINT8>(Table(), Table() + S3TableMinSize + 4), Before) << "nothing written";
  EXPECT_EQ(Flow(), std::vector<std::string>(2, C.Message));
  EXPECT_EQ(M().Log(), Concat(AssertionAccesses(C.Assertion), AssertionAccesses(C.Assertion)));

  Write(Offset, Saved, C.Bytes);
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 0x11), S3Success);
  EXPECT_EQ(Header()->NextRecordOffset, 0x48u);
}

constexpr const char *SignatureFail = "TevS3Lib table Signature check fail\n";
constexpr const char *BoundaryFail = "TevS3Lib table boundary check fail\n";

// A size field that points elsewhere is never followed: the sanitizer would
// report a read outside the block.
INSTANTIATE_TEST_SUITE_P(
    OneFieldAtATime, S3Damage,
    ::testing::Values(DamageCase{"Signature", 0, 1, 'X', AssertS3TableSignature, SignatureFail},
                      DamageCase{"EndMarker", ~0ULL, 4, 0x01558845, AssertS3TableBoundary, BoundaryFail},
                      DamageCase{"SizeSmaller", 0x20, 8, 0x3FF8, AssertS3TableBoundary, BoundaryFail},
                      DamageCase{"SizeHuge", 0x20, 8, 0x10000000, AssertS3TableBoundary, BoundaryFail},
                      DamageCase{"SizeWraps", 0x20, 8, ~0ULL - 3, AssertS3TableBoundary, BoundaryFail},
                      DamageCase{"NextInHeader", 0x28, 8, 0x10, AssertS3TableBoundary, BoundaryFail},
                      DamageCase{"NextPastEnd", 0x28, 8, 0x3FFF, AssertS3TableBoundary, BoundaryFail},
                      DamageCase{"NextWraps", 0x28, 8, ~0ULL - 7, AssertS3TableBoundary, BoundaryFail}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(S3Table, NoTableFailsEveryAppend) {
  const UINT64 Saved = Shared()->Table;
  Shared()->Table = 0;
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 0x11), S3Failure);
  EXPECT_EQ(Flow(), std::vector<std::string>{"TevS3Lib table allocate fail\n"});
  EXPECT_EQ(M().Log(), AssertionAccesses(AssertS3NoTable));
  Shared()->Table = Saved;
}

// Appends record only while the table is open and locked; in every other
// state they succeed without recording.
struct StateCase {
  const char *Name;
  UINT8 ScriptLocked;
  UINT8 TableClosed;
};

class S3State : public S3Table, public ::testing::WithParamInterface<StateCase> {};

TEST_P(S3State, AppendOutsideTheOpenLockedStateRecordsNothing) {
  Shared()->ScriptLocked = GetParam().ScriptLocked;
  Shared()->TableClosed = GetParam().TableClosed;
  const std::vector<UINT8> Before = TableBlock();
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 0x11), S3Success);
  EXPECT_EQ(Append(0x7777), S3Success) << "not even packed";
  EXPECT_EQ(TableBlock(), Before);
  EXPECT_TRUE(Flow().empty());
  EXPECT_TRUE(M().Log().empty());
}

INSTANTIATE_TEST_SUITE_P(States, S3State,
                         ::testing::Values(StateCase{"Unlocked", 0, 0}, StateCase{"Closed", 1, 1},
                                           StateCase{"LockedNotExactlyOne", 2, 0}, StateCase{"UnlockedClosed", 0, 1}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(S3Table, ImageWithoutSharedRecordNeitherAppendsNorChecks) {
  // Image 1 was loaded but its constructor never obtained the record.
  P().LoadDriver();
  Attach(1);
  EnableAssertions(1);
  ASSERT_EQ(ImagePrivate(1), nullptr);
  const std::vector<UINT8> Before = TableBlock();
  EXPECT_EQ(Append(S3OpMemWrite, 2, 0xFED80000, 0x11, 0, 0, 0, 1), S3Success);
  EXPECT_EQ(PIRN_SYMBOL(Img(1), S3TableCheck)(), S3Failure);
  EXPECT_EQ(TableBlock(), Before);
  EXPECT_TRUE(M().Log().empty());
}

}  // namespace

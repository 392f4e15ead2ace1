// RAM debug buffer: header check, initialisation, and appending texts with
// the discard of the oldest 4 MiB, including the corner cases where the
// header's offset or the text's length would lead outside the region.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/DiagFixture.h"

namespace {

using namespace diagtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint64_t Base = RamBufferBase;
constexpr uint32_t DataSize = RamBufferDataSize;  // 0xFFFFF0
constexpr uint32_t MiB = 0x100000;

// Recognisable old text: a byte that depends on its position.
uint8_t OldByte(uint32_t DataOffset) { return static_cast<uint8_t>((DataOffset * 7) ^ (DataOffset >> 12) ^ 0x5A); }

class RamBufferTest : public DiagFixture {
 protected:
  std::vector<uint8_t> &Region() { return P().ramBuffer.Data(); }
  uint8_t *Data() { return Region().data() + RamBufferDataOffset; }

  void Header(uint32_t Signature, uint32_t Marker1, uint32_t WriteOffset, uint32_t Marker2) {
    P().ramBuffer.Poke(0x0, Signature, 4);
    P().ramBuffer.Poke(0x4, Marker1, 4);
    P().ramBuffer.Poke(0x8, WriteOffset, 4);
    P().ramBuffer.Poke(0xC, Marker2, 4);
  }
  // A valid buffer holding Used bytes of old text, zero above.
  void ValidBuffer(uint32_t Used, uint32_t WriteOffset) {
    Header(RamBufferSignature, RamBufferMarker1, WriteOffset, RamBufferMarker2);
    uint8_t *Bytes = Data();
    for (uint32_t I = 0; I < Used; I++) {
      Bytes[I] = OldByte(I);
    }
  }
  uint32_t WriteOffset() { return static_cast<uint32_t>(P().ramBuffer.Peek(0x8, 4)); }

  // Maps the buffer again with every access logged (small cases only).
  void LogRegion() {
    M().Unmap(Base);
    M().Map(Base, RamBufferRegionSize, P().ramBuffer, /*Logged=*/true);
  }

  void Print(const UINT8 *Text, UINT64 Length) {
    RunDriver([&] { PIRN_SYMBOL(Img(), RamBufferPrint)(Text, Length); });
  }

  // With the region unlogged, any logged physical access lies outside it.
  void ExpectNothingOutsideTheRegion() {
    EXPECT_THAT(M().LogOf({AccessKind::PhysRead, AccessKind::PhysWrite}), IsEmpty());
  }

  // Data offsets [From, To) hold the old text that was at [From + Shift, To + Shift).
  void ExpectOldText(uint32_t From, uint32_t To, uint32_t Shift) {
    const uint8_t *Bytes = Data();
    for (uint32_t I = From; I < To; I++) {
      if (Bytes[I] != OldByte(I + Shift)) {
        ADD_FAILURE() << "data offset 0x" << std::hex << I << " holds 0x" << int{Bytes[I]};
        return;
      }
    }
  }
  void ExpectZero(uint32_t From, uint32_t To) {
    const uint8_t *Bytes = Data();
    const uint8_t *Found = std::find_if(Bytes + From, Bytes + To, [](uint8_t B) { return B != 0; });
    EXPECT_EQ(Found, Bytes + To) << "data offset 0x" << std::hex << (Found - Bytes) << " is not zero";
  }
};

// ---- Header check -------------------------------------------------------------

struct PresentCase {
  const char *Name;
  uint64_t ApicBase;
  uint32_t Header[4];  // signature, marker 1, write offset, marker 2
  bool Present;
  std::vector<Access> Reads;  // after the MSR read
};

class RamBufferPresentTest : public RamBufferTest, public ::testing::WithParamInterface<PresentCase> {};

TEST_P(RamBufferPresentTest, ChecksTheFieldsInOrderAndStopsAtTheFirstMismatch) {
  const PresentCase &C = GetParam();
  M().SetMsr(0x1B, C.ApicBase);
  Header(C.Header[0], C.Header[1], C.Header[2], C.Header[3]);
  LogRegion();
  BOOLEAN Present = !C.Present;
  RunDriver([&] { Present = PIRN_SYMBOL(Img(), RamBufferPresent)(); });

  EXPECT_EQ(Present, C.Present);
  std::vector<Access> Expected = {Msr(0x1B, C.ApicBase)};
  Expected.insert(Expected.end(), C.Reads.begin(), C.Reads.end());
  EXPECT_EQ(ProcessorAccesses(), Expected);
}

constexpr uint32_t Sig = RamBufferSignature;
constexpr uint32_t M1 = RamBufferMarker1;
constexpr uint32_t M2 = RamBufferMarker2;
const Access ReadSig = PhysIn(4, Base, Sig);
const Access ReadM1 = PhysIn(4, Base + 4, M1);
const Access ReadM2 = PhysIn(4, Base + 0xC, M2);

INSTANTIATE_TEST_SUITE_P(
    Headers, RamBufferPresentTest,
    ::testing::Values(
        PresentCase{"Empty", 0xFEE00900, {Sig, M1, 0, M2}, true, {ReadSig, ReadM1, ReadM2, PhysIn(4, Base + 8, 0)}},
        PresentCase{"OffsetAtLimit",
                    0xFEE00900,
                    {Sig, M1, 0x1000000, M2},
                    true,
                    {ReadSig, ReadM1, ReadM2, PhysIn(4, Base + 8, 0x1000000)}},
        PresentCase{"OffsetOneMore",
                    0xFEE00900,
                    {Sig, M1, 0x1000001, M2},
                    false,
                    {ReadSig, ReadM1, ReadM2, PhysIn(4, Base + 8, 0x1000001)}},
        PresentCase{"BadSignature", 0xFEE00900, {Sig ^ 1, M1, 0, M2}, false, {PhysIn(4, Base, Sig ^ 1)}},
        PresentCase{
            "BadMarker1", 0xFEE00900, {Sig, M1 ^ 0x100, 0, M2}, false, {ReadSig, PhysIn(4, Base + 4, M1 ^ 0x100)}},
        PresentCase{"BadMarker2", 0xFEE00900, {Sig, M1, 0, 0}, false, {ReadSig, ReadM1, PhysIn(4, Base + 0xC, 0)}},
        PresentCase{"ApplicationProcessor", 0xFEE00800, {Sig, M1, 0, M2}, false, {}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- Initialisation -------------------------------------------------------

TEST_F(RamBufferTest, InitWritesAFreshHeaderAndClearsTheWholeDataArea) {
  std::memset(Region().data(), 0xCC, Region().size());
  RunDriver([this] { PIRN_SYMBOL(Img(), RamBufferInit)(); });

  EXPECT_EQ(P().ramBuffer.Peek(0x0, 4), Sig);
  EXPECT_EQ(P().ramBuffer.Peek(0x4, 4), M1);
  EXPECT_EQ(WriteOffset(), 0u);
  EXPECT_EQ(P().ramBuffer.Peek(0xC, 4), M2);
  ExpectZero(0, DataSize);
  ExpectNothingOutsideTheRegion();
}

struct KeepCase {
  const char *Name;
  uint64_t ApicBase;
  bool ValidHeader;
};

class RamBufferKeepTest : public RamBufferTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(RamBufferKeepTest, InitLeavesEveryByteOfTheRegionAlone) {
  M().SetMsr(0x1B, GetParam().ApicBase);
  if (GetParam().ValidHeader) {
    ValidBuffer(3 * MiB, 3 * MiB);
  } else {
    std::memset(Region().data(), 0xCC, Region().size());
  }
  const std::vector<uint8_t> Before = Region();
  RunDriver([this] { PIRN_SYMBOL(Img(), RamBufferInit)(); });
  EXPECT_TRUE(Region() == Before) << "the region changed";
  ExpectNothingOutsideTheRegion();
}

INSTANTIATE_TEST_SUITE_P(Cases, RamBufferKeepTest,
                         ::testing::Values(KeepCase{"ValidBufferWithText", 0xFEE00900, true},
                                           KeepCase{"ApplicationProcessor", 0xFEE00800, false}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(RamBufferTest, InitStopsAfterOneWriteWhenNoMemoryAnswers) {
  M().Unmap(Base);
  RunDriver([this] { PIRN_SYMBOL(Img(), RamBufferInit)(); });
  EXPECT_THAT(ProcessorAccesses(), ElementsAre(Msr(0x1B, 0xFEE00900),          // boot processor
                                               Msr(0x1B, 0xFEE00900),          // header check
                                               PhysIn(4, Base, 0xFFFFFFFF),    //   signature: absent
                                               PhysOut(4, Base, Sig),          // signature
                                               PhysIn(4, Base, 0xFFFFFFFF)));  // read back: nothing there
}

// ---- Appending texts ----------------------------------------------------------

TEST_F(RamBufferTest, PrintWithAnInvalidHeaderDoesNothing) {
  ValidBuffer(MiB, MiB);
  P().ramBuffer.Poke(0xC, 0xBB66BB67, 4);
  const std::vector<uint8_t> Before = Region();
  const UINT8 Text[] = "hello";
  Print(Text, 5);
  EXPECT_TRUE(Region() == Before);
  ExpectNothingOutsideTheRegion();
}

TEST_F(RamBufferTest, PrintAppendsAtWriteOffset) {
  ValidBuffer(0x100, 0x100);
  const UINT8 Text[] = "hello";
  Print(Text, 5);
  Print(Text, 0);  // rewrites the offset with its own value, nothing else
  ExpectOldText(0, 0x100, 0);
  EXPECT_EQ(std::memcmp(Data() + 0x100, "hello", 5), 0);
  ExpectZero(0x105, DataSize);
  EXPECT_EQ(WriteOffset(), 0x105u);
  ExpectNothingOutsideTheRegion();
}

TEST_F(RamBufferTest, PrintThatFitsExactlyFillsTheDataAreaWithoutDiscard) {
  ValidBuffer(DataSize - 16, DataSize - 16);
  UINT8 Text[16];
  std::memset(Text, 'T', sizeof Text);
  Print(Text, sizeof Text);
  ExpectOldText(0, DataSize - 16, 0);
  EXPECT_EQ(std::memcmp(Data() + DataSize - 16, Text, 16), 0);
  EXPECT_EQ(WriteOffset(), DataSize);
  ExpectNothingOutsideTheRegion();
}

TEST_F(RamBufferTest, PrintOneByteTooLongAfter12MiBDiscardsTheOldest4MiB) {
  ValidBuffer(12 * MiB, 12 * MiB);
  const uint32_t Length = DataSize - 12 * MiB + 1;
  std::vector<UINT8> Text(Length, 'n');
  Print(Text.data(), Text.size());
  ExpectOldText(0, 8 * MiB, 4 * MiB);  // 8 MiB moved down from 4 MiB
  EXPECT_EQ(std::memcmp(Data() + 8 * MiB, Text.data(), Length), 0);
  ExpectZero(8 * MiB + Length, DataSize);
  EXPECT_EQ(WriteOffset(), 8 * MiB + Length);
  ExpectNothingOutsideTheRegion();
}

// A text that still does not fit after the discard is dropped; the header
// then follows the moved data, so the buffer stays consistent.
TEST_F(RamBufferTest, DroppedTextStoresTheReducedOffset) {
  ValidBuffer(8 * MiB, 8 * MiB);
  // Claims more bytes than exist: none of them may be read.
  const UINT8 Text[16] = {};
  Print(Text, DataSize - 4 * MiB + 1);
  ExpectOldText(0, 4 * MiB, 4 * MiB);
  ExpectZero(4 * MiB, DataSize);
  EXPECT_EQ(WriteOffset(), 4 * MiB);
  EXPECT_THAT(ProcessorAccesses(), ElementsAre(Msr(0x1B, 0xFEE00900))) << "assertions are off";
}

// A header offset above the data area (up to 0x1000000 passes the header
// check) counts as a full buffer: the discard moves only bytes inside the
// region.
TEST_F(RamBufferTest, OffsetBeyondTheDataAreaCountsAsFull) {
  ValidBuffer(DataSize, 0x1000000);
  const UINT8 Text[] = "0123456789abcdef";
  Print(Text, 16);
  ExpectOldText(0, DataSize - 4 * MiB, 4 * MiB);
  EXPECT_EQ(std::memcmp(Data() + DataSize - 4 * MiB, Text, 16), 0);
  ExpectZero(DataSize - 4 * MiB + 16, DataSize);
  EXPECT_EQ(WriteOffset(), DataSize - 4 * MiB + 16);
  ExpectNothingOutsideTheRegion();
}

TEST_F(RamBufferTest, EmptyPrintRepairsAnOffsetBeyondTheDataArea) {
  ValidBuffer(DataSize, DataSize + 8);
  Print(nullptr, 0);
  EXPECT_EQ(WriteOffset(), DataSize);
  ExpectOldText(0, DataSize, 0);
  ExpectNothingOutsideTheRegion();
}

// Below 4 MiB of old text a discard drops all of it; a text that fits the
// empty data area is then kept.
TEST_F(RamBufferTest, DiscardBelow4MiBDropsAllOldTextAndKeepsATextThatFits) {
  ValidBuffer(MiB, MiB);
  const uint32_t Length = 15 * MiB;
  std::vector<UINT8> Text(Length, 'w');
  Print(Text.data(), Text.size());
  EXPECT_EQ(std::memcmp(Data(), Text.data(), Length), 0);
  ExpectZero(Length, DataSize);
  EXPECT_EQ(WriteOffset(), Length);
  ExpectNothingOutsideTheRegion();
}

// A length so large that offset + length wraps in 64 bits must not pass as
// fitting: the assertion is raised, the text is dropped, nothing of it read.
TEST_F(RamBufferTest, HugeLengthIsRefusedWithoutWrapping) {
  Config().AssertEnable = 1;
  ValidBuffer(0x20, 0x20);
  const UINT8 Text[16] = {};
  Print(Text, ~0ULL - 0x10);
  EXPECT_EQ(WriteOffset(), 0u);
  ExpectZero(0, DataSize);
  EXPECT_THAT(ProcessorAccesses(), ElementsAre(Msr(0x1B, 0xFEE00900),         // header check
                                               PortOut(2, 0xE0, 0xDEAD),      // assertion 0x20850309
                                               PortOut(4, 0x80, 0x20850309),  //
                                               SimQuery(0x20850309, 1)));     //   returns under a simulator
}

}  // namespace

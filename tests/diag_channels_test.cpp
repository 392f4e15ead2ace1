// Debug output channels: the table and its start-up walk, the serial and
// post-port channels, and the memory write by width they build on.
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "tests/DiagFixture.h"

namespace {

using namespace diagtest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class ChannelTest : public DiagFixture {};

TEST_F(ChannelTest, TableHoldsThePostPortSerialAndRamBufferChannels) {
  const OUTPUT_CHANNEL *const *Table = *PIRN_SYMBOL(Img(), OutputChannelTable);
  const OUTPUT_CHANNEL *Post = PIRN_SYMBOL(Img(), PostPortChannel);
  const OUTPUT_CHANNEL *Serial = PIRN_SYMBOL(Img(), SerialChannel);
  const OUTPUT_CHANNEL *Ram = PIRN_SYMBOL(Img(), RamBufferChannel);
  EXPECT_THAT(std::vector<const OUTPUT_CHANNEL *>(Table, Table + 4), ElementsAre(Post, Serial, Ram, nullptr));

  auto False = PIRN_SYMBOL(Img(), ChannelCheckFalse);
  auto NoInit = PIRN_SYMBOL(Img(), ChannelNoInit);
  for (const OUTPUT_CHANNEL *C : {Post, Serial, Ram}) {
    EXPECT_EQ(C->InitCheck, False);
    EXPECT_EQ(C->PrintCheck, False);
  }
  EXPECT_EQ(Post->Init, NoInit);
  EXPECT_EQ(Serial->Init, NoInit);
  EXPECT_EQ(Ram->Init, PIRN_SYMBOL(Img(), RamBufferInit));
  EXPECT_EQ(Post->Print, PIRN_SYMBOL(Img(), PostPortPrint));
  EXPECT_EQ(Serial->Print, PIRN_SYMBOL(Img(), SerialPrint));
  EXPECT_EQ(Ram->Print, PIRN_SYMBOL(Img(), RamBufferPrint));
}

TEST_F(ChannelTest, StartUpWithThisTableTouchesNothing) {
  P().ramBuffer.Poke(0x100, 0x5A, 1);
  const std::vector<uint8_t> Before = P().ramBuffer.Data();
  BOOLEAN Any = TRUE;
  RunDriver([&] {
    Any = PIRN_SYMBOL(Img(), AnyChannelInitCheck)();
    PIRN_SYMBOL(Img(), InitOutputChannels)();
  });
  EXPECT_FALSE(Any);
  EXPECT_THAT(ProcessorAccesses(), IsEmpty());
  EXPECT_TRUE(P().ramBuffer.Data() == Before) << "the RAM buffer changed";
}

// Channels that log their calls; only the ones named in Yes answer true.
std::vector<std::string> gCalls;
std::string gYes;

template <char Name>
BOOLEAN TestInitCheck() {
  gCalls.push_back(std::string("InitCheck ") + Name);
  return gYes.find(Name) != std::string::npos ? TRUE : FALSE;
}
template <char Name>
VOID TestInit() {
  gCalls.push_back(std::string("Init ") + Name);
}
template <char Name>
BOOLEAN TestPrintCheck() {
  gCalls.push_back(std::string("PrintCheck ") + Name);
  return TRUE;
}
template <char Name>
VOID TestPrint(const UINT8 *, UINT64) {
  gCalls.push_back(std::string("Print ") + Name);
}
template <char Name>
constexpr OUTPUT_CHANNEL TestChannel = {TestInitCheck<Name>, TestInit<Name>, TestPrintCheck<Name>, TestPrint<Name>};

struct WalkCase {
  const char *Yes;
  std::vector<std::string> Calls;
};

class ChannelWalkTest : public ChannelTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(ChannelWalkTest, AsksEveryChannelThenInitialisesThoseThatAnswerYes) {
  static const OUTPUT_CHANNEL *const Table[] = {&TestChannel<'A'>, &TestChannel<'B'>, &TestChannel<'C'>, nullptr};
  gCalls.clear();
  gYes = GetParam().Yes;
  RunDriver([this] { PIRN_SYMBOL(Img(), InitOutputChannelsIn)(Table); });
  EXPECT_THAT(gCalls, ElementsAreArray(GetParam().Calls));
}

INSTANTIATE_TEST_SUITE_P(Answers, ChannelWalkTest,
                         ::testing::Values(WalkCase{"", {"InitCheck A", "InitCheck B", "InitCheck C"}},
                                           WalkCase{
                                               "C",
                                               {"InitCheck A", "InitCheck B", "InitCheck C",  // every channel is asked
                                                "InitCheck A", "InitCheck B", "InitCheck C", "Init C"}},
                                           WalkCase{"AC",
                                                    {"InitCheck A", "InitCheck B", "InitCheck C", "InitCheck A",
                                                     "Init A", "InitCheck B", "InitCheck C", "Init C"}}));

// ---- Serial channel ---------------------------------------------------------

TEST_F(ChannelTest, SerialWritesEachByteAfterOneReadyStatus) {
  const UINT8 Text[] = {'o', 'k', '\n'};
  RunDriver([&] { PIRN_SYMBOL(Img(), SerialPrint)(Text, sizeof Text); });
  EXPECT_THAT(ProcessorAccesses(), ElementsAre(PortIn(1, 0x3FD, 0x60), PortOut(1, 0x3F8, 'o'),  //
                                               PortIn(1, 0x3FD, 0x60), PortOut(1, 0x3F8, 'k'),  //
                                               PortIn(1, 0x3FD, 0x60), PortOut(1, 0x3F8, '\n')));
}

TEST_F(ChannelTest, SerialWaitsForBothReadyBitsWithAFreshBudgetPerByte) {
  // First byte: ready on the third read (0x20 and 0x40 alone are not
  // enough). Second byte: never ready within 2000 reads, dropped. Third
  // byte: ready at once.
  std::vector<uint8_t> Status = {0x20, 0x40, 0x61};
  Status.insert(Status.end(), 2000, 0x40);
  M().SetLineStatus(Status, 0xE0);
  const UINT8 Text[] = {'a', 'b', 'c'};
  RunDriver([&] { PIRN_SYMBOL(Img(), SerialPrint)(Text, sizeof Text); });

  EXPECT_EQ(M().LogOf({AccessKind::PortRead}).size(), 3u + 2000u + 1u);
  EXPECT_THAT(M().LogOf({AccessKind::PortWrite}), ElementsAre(PortOut(1, 0x3F8, 'a'), PortOut(1, 0x3F8, 'c')));
  EXPECT_EQ(ProcessorAccesses().size(), 3u + 2000u + 1u + 2u) << "only line-status reads and transmits";
}

TEST_F(ChannelTest, SerialNeverReadyReads2000TimesPerByteAndWritesNothing) {
  M().SetLineStatus({}, 0x00);
  const UINT8 Text[] = {'x', 'y'};
  RunDriver([&] { PIRN_SYMBOL(Img(), SerialPrint)(Text, sizeof Text); });
  const std::vector<Access> Expected(4000, PortIn(1, 0x3FD, 0x00));
  EXPECT_THAT(ProcessorAccesses(), ElementsAreArray(Expected));

  M().ClearLog();
  RunDriver([&] { PIRN_SYMBOL(Img(), SerialPrint)(Text, 0); });
  EXPECT_THAT(ProcessorAccesses(), IsEmpty()) << "length 0 reads nothing";
}

// ---- Post-port channel ------------------------------------------------------

TEST_F(ChannelTest, PostPortFramesTheBytesWithTwoMarkers) {
  const UINT8 Text[] = {0x41, 0x42};
  RunDriver([&] {
    PIRN_SYMBOL(Img(), PostPortPrint)(Text, sizeof Text);
    PIRN_SYMBOL(Img(), PostPortPrint)(Text, 0);
  });
  EXPECT_THAT(ProcessorAccesses(), ElementsAre(PortOut(4, 0x80, 0x5F535452),  // start marker
                                               PortOut(1, 0x80, 0x41),        //
                                               PortOut(1, 0x80, 0x42),        //
                                               PortOut(4, 0x80, 0x5F454E44),  // end marker
                                               PortOut(4, 0x80, 0x5F535452),  // empty text: markers only
                                               PortOut(4, 0x80, 0x5F454E44)));
}

// ---- Memory write by width --------------------------------------------------

struct WidthCase {
  ACCESS_WIDTH Width;
  std::vector<Access> Expected;
};

class MemWriteByWidthTest : public ChannelTest, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(MemWriteByWidthTest, WritesExactlyTheWidthReadFromTheValue) {
  Config().AssertEnable = 1;
  // Unaligned source: the value is read with the width, not as a whole word.
  alignas(8) UINT8 Source[9] = {0xFF, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  RunDriver([&] { PIRN_SYMBOL(Img(), MemWriteByWidth)(GetParam().Width, 0x2001, Source + 1); });
  EXPECT_THAT(ProcessorAccesses(), ElementsAreArray(GetParam().Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Widths, MemWriteByWidthTest,
    ::testing::Values(WidthCase{1, {PhysOut(1, 0x2001, 0x11)}}, WidthCase{0x81, {PhysOut(1, 0x2001, 0x11)}},
                      WidthCase{2, {PhysOut(2, 0x2001, 0x2211)}}, WidthCase{0x82, {PhysOut(2, 0x2001, 0x2211)}},
                      WidthCase{3, {PhysOut(4, 0x2001, 0x44332211)}}, WidthCase{0x83, {PhysOut(4, 0x2001, 0x44332211)}},
                      // Every other width, 64-bit included: the assertion, then nothing written.
                      WidthCase{0x84, {PortOut(2, 0xE0, 0xDEAD), PortOut(4, 0x80, 0x10320), SimQuery(0x10320, 1)}},
                      WidthCase{0, {PortOut(2, 0xE0, 0xDEAD), PortOut(4, 0x80, 0x10320), SimQuery(0x10320, 1)}},
                      WidthCase{5, {PortOut(2, 0xE0, 0xDEAD), PortOut(4, 0x80, 0x10320), SimQuery(0x10320, 1)}}));

}  // namespace

// Assertion halt (simulator and hardware mode), the assertion-site rule,
// and the core frequency that times the marquee.
#include <gmock/gmock.h>

#include "tests/DiagFixture.h"

namespace {

using namespace diagtest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr uint32_t MailboxCode = 0xA1130227;

class AssertHaltTest : public DiagFixture {};

TEST_F(AssertHaltTest, UnderASimulatorReturnsAfterTheTwoPortWrites) {
  RunDriver([this] { PIRN_SYMBOL(Img(), AssertHalt)(MailboxCode); });
  EXPECT_THAT(ProcessorAccesses(), ElementsAre(PortOut(2, 0xE0, 0xDEAD),       // mark
                                               PortOut(4, 0x80, MailboxCode),  // the plain code
                                               SimQuery(MailboxCode, 1)));     // ECX carries the code
}

class AssertHaltHardwareTest : public DiagFixture {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O;
    O.Simulator = false;
    return O;
  }
};

TEST_F(AssertHaltHardwareTest, RunsTheMarqueeWindowsEachFor2Point5Seconds) {
  // Watch eight windows: one full cycle and the start of the next.
  M().SetMarqueeWindowLimit(8);
  std::vector<uint64_t> WriteTimes;
  M().SetPortWriter(0x80, [&](uint8_t, uint32_t) { WriteTimes.push_back(M().Tsc()); });

  const bool Returned = M().Run([this] { PIRN_SYMBOL(Img(), AssertHalt)(MailboxCode); });

  ASSERT_FALSE(Returned) << "the halt never returns on hardware";
  EXPECT_EQ(M().LastStop().Reason, sim::StopReason::AssertHalt);
  EXPECT_EQ(M().LastStop().Code, MailboxCode);
  EXPECT_THAT(M().PortWrites(0xE0), ElementsAre(0xDEAD));
  EXPECT_THAT(M().PortWrites(0x80), ElementsAre(MailboxCode, 0x270000DE, 0x0000DEAD, 0x00DEADA1, 0xDEADA113, 0xADA11302,
                                                0xA1130227, 0x270000DE, 0x0000DEAD));

  // Each window lasts 2.5 s at the default 3.5 GHz: 8,750,000,000 ticks,
  // plus at most one pause step and two counter reads of overshoot.
  constexpr uint64_t WindowTicks = 8750000000ULL;
  const uint64_t Slack = 25000000 + 2 * 100;
  for (size_t I = 2; I < WriteTimes.size(); I++) {
    const uint64_t Shown = WriteTimes[I] - WriteTimes[I - 1];
    EXPECT_GE(Shown, WindowTicks) << "window " << I - 1;
    EXPECT_LE(Shown, WindowTicks + Slack) << "window " << I - 1;
  }

  // The frequency is computed once and served from the cache afterwards.
  EXPECT_EQ(M().LogOf({AccessKind::MsrRead}).size(), 2u);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mCoreFrequencyHz), 3500000000ULL);
  // No other kind of access.
  EXPECT_THAT(M().LogOf({AccessKind::PortRead, AccessKind::PhysRead, AccessKind::PhysWrite}), IsEmpty());
}

// An assertion site halts only when AssertEnable is set, and goes on with
// its own failure path either way; the 64-bit width of the memory write by
// width is such a site: it writes nothing.
class AssertSiteTest : public DiagFixture, public ::testing::WithParamInterface<UINT8> {};

TEST_P(AssertSiteTest, HaltsOnlyWhenEnabledAndWritesNothing) {
  Config().AssertEnable = GetParam();
  const UINT64 Value = 0x1122334455667788ULL;
  RunDriver([&] { PIRN_SYMBOL(Img(), MemWriteByWidth)(AccessWidth64, 0x1000, &Value); });
  if (GetParam() == 0) {
    EXPECT_THAT(ProcessorAccesses(), IsEmpty());
  } else {
    EXPECT_THAT(ProcessorAccesses(),
                ElementsAre(PortOut(2, 0xE0, 0xDEAD), PortOut(4, 0x80, 0x00010320), SimQuery(0x00010320, 1)));
  }
}

INSTANTIATE_TEST_SUITE_P(Enable, AssertSiteTest, ::testing::Values(0, 1));

struct FrequencyCase {
  const char *Name;
  uint32_t CpuidEax;
  uint64_t PStateStatus;  // MSR 0xC0010063; only bits 2:0 count
  uint64_t Definition;    // MSR 0xC0010064 + state
  uint64_t Hz;
};

class CoreFrequencyTest : public DiagFixture, public ::testing::WithParamInterface<FrequencyCase> {};

TEST_P(CoreFrequencyTest, ComputesFromTheCurrentPStateAndCachesNonZero) {
  const FrequencyCase &C = GetParam();
  const uint32_t State = static_cast<uint32_t>(C.PStateStatus & 7);
  M().SetCpuid(0x80000001, C.CpuidEax);
  M().SetMsr(0xC0010063, C.PStateStatus);
  M().SetMsr(0xC0010064, 0xDEADBEEF);  // a different state's definition
  M().SetMsr(0xC0010064 + State, C.Definition);
  auto Frequency = PIRN_SYMBOL(Img(), CoreFrequencyHz);

  uint64_t First = 1;
  uint64_t Second = 1;
  RunDriver([&] {
    First = Frequency();
    Second = Frequency();
  });

  EXPECT_EQ(First, C.Hz);
  EXPECT_EQ(Second, C.Hz);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mCoreFrequencyHz), C.Hz);
  const std::vector<Access> Once = {Cpuid(0x80000001, C.CpuidEax),           // processor kind
                                    Msr(0xC0010063, C.PStateStatus),         // current state
                                    Msr(0xC0010064 + State, C.Definition)};  // its definition
  std::vector<Access> Expected = Once;
  if (C.Hz == 0) {
    // Zero is never cached: the second call computes again.
    Expected.insert(Expected.end(), Once.begin(), Once.end());
  }
  EXPECT_THAT(ProcessorAccesses(), ElementsAreArray(Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CoreFrequencyTest,
    ::testing::Values(FrequencyCase{"TruncatedQuotient", 0x00800F11, 0, 0x0C64, 1666000000ULL},
                      FrequencyCase{"DivisorBelow8", 0x00800F11, 0, 0x0764, 2500000000ULL},
                      FrequencyCase{"DivisorAbove60", 0x00800F11, 0, 0x3D64, 2500000000ULL},
                      FrequencyCase{"DivisorZero", 0x00800F11, 0, 0x0064, 0},
                      FrequencyCase{"StateThreeHighBitsIgnored", 0x00800F11, 0xFFFFFFF3, 0x88C, 3500000000ULL},
                      FrequencyCase{"NewerKind", 0x00B00F00, 0, 0x80000000000002BCULL, 3500000000ULL},
                      FrequencyCase{"NewerKindStateSeven", 0x00C00F10, 7, 0x190, 2000000000ULL},
                      FrequencyCase{"ExtendedFamilyTooLow", 0x00A00F00, 0, 0x2BC, 4700000000ULL}),
    [](const auto &Info) { return std::string(Info.param.Name); });

}  // namespace

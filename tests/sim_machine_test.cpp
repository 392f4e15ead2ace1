// The machine model: access log, ports, physical bus, time, stop control.
#include <gtest/gtest.h>

#include <vector>

#include "sim/Machine.h"

namespace {

using sim::Access;
using sim::AccessKind;
using sim::Machine;
using sim::StopReason;

TEST(SimMachine, PortsAreLoggedAtTheirWidthAndReadsAnswerFromReaders) {
  Machine M;
  M.SetPortReader(0x71, [](uint8_t Width) { return Width == 1 ? 0x1234u : 0u; });
  M.SetLineStatus({0x00, 0x20}, 0x60);

  M.PortWrite(0x80, 1, 0xB000A902);  // kept to the byte
  M.PortWrite(0x80, 2, 0xB000A902);
  M.PortWrite(0x80, 4, 0xB000A902);
  EXPECT_EQ(M.PortRead(0x60, 1), 0xFFu);  // nothing there: all ones
  EXPECT_EQ(M.PortRead(0x71, 1), 0x34u);  // reader's answer cut to the width
  EXPECT_EQ(M.PortRead(0x3FD, 1), 0x00u);
  EXPECT_EQ(M.PortRead(0x3FD, 1), 0x20u);
  EXPECT_EQ(M.PortRead(0x3FD, 1), 0x60u);
  EXPECT_EQ(M.PortRead(0x3FD, 1), 0x60u);

  const std::vector<Access> Expected = {
      {AccessKind::PortWrite, 1, 0x80, 0x02},                                                // post code, byte
      {AccessKind::PortWrite, 2, 0x80, 0xA902},                                              // word
      {AccessKind::PortWrite, 4, 0x80, 0xB000A902},                                          // doubleword
      {AccessKind::PortRead, 1, 0x60, 0xFF},                                                 // unclaimed port
      {AccessKind::PortRead, 1, 0x71, 0x34},                                                 // reader
      {AccessKind::PortRead, 1, 0x3FD, 0x00},                                                // line status script
      {AccessKind::PortRead, 1, 0x3FD, 0x20},       {AccessKind::PortRead, 1, 0x3FD, 0x60},  // then steady
      {AccessKind::PortRead, 1, 0x3FD, 0x60},
  };
  EXPECT_EQ(M.Log(), Expected);
  EXPECT_EQ(M.PortWrites(0x80), (std::vector<uint32_t>{0x02, 0xA902, 0xB000A902}));
  EXPECT_EQ(M.Log().size(), Expected.size()) << "back doors must not log";
}

TEST(SimMachine, MsrCpuidAndSimulatorQueryAreLoggedWithWhatTheyAnswered) {
  Machine M;
  M.SetMsr(0x1B, 0xFEE00900);
  M.SetCpuid(0x80000001, 0x00800F11, 1, 2, 3);
  uint32_t Out[4] = {9, 9, 9, 9};

  EXPECT_EQ(M.MsrRead(0x1B), 0xFEE00900u);
  EXPECT_EQ(M.MsrRead(0xC0010063), 0u);  // unknown MSR reads 0
  M.Cpuid(0x80000001, 0x80000001, Out);
  EXPECT_EQ(Out[0], 0x00800F11u);
  EXPECT_EQ(Out[3], 3u);
  EXPECT_EQ(M.SimulatorQuery(0xA1130227), 1u);  // simulator by default
  M.SetSimulatorAnswer(0);
  EXPECT_EQ(M.SimulatorQuery(0x5), 0u);

  const std::vector<Access> Expected = {
      {AccessKind::MsrRead, 8, 0x1B, 0xFEE00900},
      {AccessKind::MsrRead, 8, 0xC0010063, 0},
      {AccessKind::Cpuid, 4, 0x80000001, 0x00800F11},
      {AccessKind::SimulatorQuery, 2, 0xA1130227, 1},  // ECX passed, answer
      {AccessKind::SimulatorQuery, 2, 0x5, 0},
  };
  EXPECT_EQ(M.Log(), Expected);
}

// A device that reports a derived access for each access it sees.
class EchoDevice : public sim::PhysDevice {
 public:
  explicit EchoDevice(Machine &M) : Mach(M) {}
  uint32_t Read(uint64_t Offset, uint8_t Width) override {
    Mach.Append({AccessKind::CfgRead, Width, Offset, 0x55});
    return 0x55;
  }
  void Write(uint64_t Offset, uint8_t Width, uint32_t Value) override {
    Mach.Append({AccessKind::CfgWrite, Width, Offset, Value});
  }

 private:
  Machine &Mach;
};

TEST(SimMachine, PhysicalBusRoutesByRegionAndLogsOnlyLoggedRegions) {
  Machine M;
  sim::RamDevice Quiet(0x100);
  sim::RamDevice Loud(0x100);
  EchoDevice Echo(M);
  M.Map(0x1000, 0x100, Quiet, false);
  M.Map(0x2000, 0x100, Loud, true);
  M.Map(0x3000, 0x100, Echo, true);

  M.PhysWrite(0x1004, 4, 0x11223344);
  EXPECT_EQ(M.PhysRead(0x1005, 1), 0x33u);
  M.PhysWrite(0x20FE, 2, 0xBEEF);  // last two bytes of the region
  EXPECT_EQ(M.PhysRead(0x20FE, 2), 0xBEEFu);
  EXPECT_EQ(M.PhysRead(0x3010, 4), 0x55u);
  M.PhysWrite(0x3010, 1, 0x1FF);
  EXPECT_EQ(M.PhysRead(0x20FF, 4), 0xFFFFFFFFu);  // straddles the region's end: unmapped
  M.PhysWrite(0x9000, 4, 1);                      // unmapped: dropped

  const std::vector<Access> Expected = {
      // 0x1000 region is unlogged
      {AccessKind::PhysWrite, 2, 0x20FE, 0xBEEF},    {AccessKind::PhysRead, 2, 0x20FE, 0xBEEF},
      {AccessKind::PhysRead, 4, 0x3010, 0x55},  // the access first...
      {AccessKind::CfgRead, 4, 0x10, 0x55},     // ...then what the device derived
      {AccessKind::PhysWrite, 1, 0x3010, 0xFF},      {AccessKind::CfgWrite, 1, 0x10, 0xFF},
      {AccessKind::PhysRead, 4, 0x20FF, 0xFFFFFFFF}, {AccessKind::PhysWrite, 4, 0x9000, 1},
  };
  EXPECT_EQ(M.Log(), Expected);
  EXPECT_EQ(Quiet.Peek(4, 4), 0x11223344u);
  EXPECT_EQ(M.PeekPhys(0x20FE, 2), 0xBEEFu);
  M.PokePhys(0x1000, 0xAB, 1);
  EXPECT_EQ(Quiet.Peek(0), 0xABu);
  EXPECT_EQ(M.Log().size(), Expected.size()) << "back doors must not log";
}

TEST(SimMachine, BusyWaitOfSecondsCostsOnlyHundredsOfPauses) {
  Machine M;
  const uint64_t Ticks = 3500000000ULL * 2500000 / 1000000;  // 2.5 s at 3.5 GHz
  const uint64_t Deadline = M.TscRead() + Ticks;
  while (M.TscRead() <= Deadline) {
    M.SpinPause();
  }
  EXPECT_GT(M.Tsc(), Deadline);
  EXPECT_LT(M.Pauses(), 1000u);
  EXPECT_GT(M.Pauses(), 100u);
  EXPECT_TRUE(M.Log().empty()) << "time is counted, not logged";
}

// The six windows of the assertion marquee of code 0xA1130227.
const uint32_t kWindows[] = {0x270000DE, 0x0000DEAD, 0x00DEADA1, 0xDEADA113, 0xADA11302, 0xA1130227};

void ShowMarquee(Machine &M, unsigned Cycles) {
  M.PortWrite(0xE0, 2, 0xDEAD);
  M.PortWrite(0x80, 4, 0xA1130227);
  for (unsigned C = 0; C < Cycles; C++) {
    for (uint32_t W : kWindows) {
      M.PortWrite(0x80, 4, W);
    }
  }
}

TEST(SimMachine, HardwareAssertionMarqueeStopsTheRunWithItsCode) {
  Machine M;
  M.SetSimulatorAnswer(0);
  M.SetMarqueeWindowLimit(12);  // two full cycles: the 16-bit turn between them must be followed
  bool Returned = true;
  EXPECT_FALSE(M.Run([&] {
    ShowMarquee(M, 3);
    Returned = false;  // never reached
  }));
  EXPECT_TRUE(Returned);
  EXPECT_EQ(M.LastStop().Reason, StopReason::AssertHalt);
  EXPECT_EQ(M.LastStop().Code, 0xA1130227u);
  EXPECT_EQ(M.PortWrites(0x80).size(), 1u + 12u) << "stopped right after the 12th window";
}

TEST(SimMachine, MarqueeIsNotRecognisedUnderASimulatorOrWhenTheWindowsAreWrong) {
  Machine M;  // simulator mode
  EXPECT_TRUE(M.Run([&] { ShowMarquee(M, 2); }));
  EXPECT_EQ(M.LastStop().Reason, StopReason::None);

  M.SetSimulatorAnswer(0);
  EXPECT_TRUE(M.Run([&] {
    M.PortWrite(0xE0, 2, 0xDEAD);
    M.PortWrite(0x80, 4, 0xA1130227);
    for (uint32_t W : kWindows) {
      M.PortWrite(0x80, 4, W ^ 1);  // not the rotation of the ring
    }
  }));
  EXPECT_EQ(M.LastStop().Reason, StopReason::None);
}

TEST(SimMachine, WatchdogStopsEndlessAccessAndEndlessTime) {
  Machine M;
  M.SetAccessBudget(1000);
  EXPECT_FALSE(M.Run([&] {
    for (;;) {
      M.PortRead(0x3FD, 1);
    }
  }));
  EXPECT_EQ(M.LastStop().Reason, StopReason::Watchdog);
  EXPECT_EQ(M.AccessCount(), 1001u);

  M.SetTimeBudget(1000000000);  // a wait that never ends is stopped by virtual time
  EXPECT_FALSE(M.Run([&] {
    for (;;) {
      M.SpinPause();
    }
  }));
  EXPECT_EQ(M.LastStop().Reason, StopReason::Watchdog);
  EXPECT_LT(M.Pauses(), 100u);
}

TEST(SimMachine, StopUnwindsToTheInnermostRunOnly) {
  Machine M;
  bool InnerStopped = false;
  bool OuterFinished = false;
  EXPECT_TRUE(M.Run([&] {
    InnerStopped = !M.Run([&] { M.Stop(StopReason::Device, "controller never answered"); });
    OuterFinished = true;
  }));
  EXPECT_TRUE(InnerStopped);
  EXPECT_TRUE(OuterFinished);
  EXPECT_FALSE(M.Running());
  EXPECT_EQ(M.LastStop().Message, "controller never answered");
}

TEST(SimMachineDeathTest, StopOutsideRunAbortsInsteadOfHanging) {
  EXPECT_DEATH(
      {
        Machine M;
        M.Stop(StopReason::Watchdog, "no guard");
      },
      "outside Machine::Run.*no guard");
}

}  // namespace

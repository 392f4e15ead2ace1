// The default platform and the image loader: separate module state per
// image, the driver's primitives reaching the machine, stops out of driver
// code.
#include <gtest/gtest.h>

#include "diag/Diag.h"
#include "firmware/Firmware.h"
#include "tests/PlatformFixture.h"

namespace {

using sim::Access;
using sim::AccessKind;

class SimTwoImages : public PlatformFixture {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O = PlatformFixture::Options();
    O.Images = 2;
    return O;
  }
};

TEST_F(SimTwoImages, EachImageHasItsOwnModuleGlobals) {
  EFI_SYSTEM_TABLE **First = PIRN_SYMBOL(Img(0), mSystemTable);
  EFI_SYSTEM_TABLE **Second = PIRN_SYMBOL(Img(1), mSystemTable);
  ASSERT_NE(First, Second);
  EXPECT_NE(Img(0).Handle(), Img(1).Handle());

  EXPECT_EQ(Boot(0), EFI_SUCCESS);
  EXPECT_EQ(*First, Fw().SystemTable());
  EXPECT_EQ(*Second, nullptr) << "starting one image must not touch the other";

  EXPECT_EQ(Boot(1), EFI_SUCCESS);
  EXPECT_EQ(*Second, Fw().SystemTable());
  EXPECT_EQ(Fw().ProtocolCount(gTevQeltServiceProtocolGuid), 2u);
}

class SimHardware : public PlatformFixture {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O = PlatformFixture::Options();
    O.Simulator = false;
    return O;
  }
};

TEST_F(SimHardware, DriverAssertionHaltIsStoppedAfterOneMarqueeCycle) {
  auto Halt = PIRN_SYMBOL(Img(), AssertHalt);
  M().ClearLog();
  EXPECT_FALSE(P().Run([&] { Halt(0xA1130227); }));
  EXPECT_EQ(M().LastStop().Reason, sim::StopReason::AssertHalt);
  EXPECT_EQ(M().LastStop().Code, 0xA1130227u);

  const std::vector<Access> Expected = {
      {AccessKind::PortWrite, 2, 0xE0, 0xDEAD},        // assertion mark
      {AccessKind::PortWrite, 4, 0x80, 0xA1130227},    // the plain code
      {AccessKind::SimulatorQuery, 2, 0xA1130227, 0},  // hardware: no simulator
      {AccessKind::PortWrite, 4, 0x80, 0x270000DE},    // marquee windows
      {AccessKind::PortWrite, 4, 0x80, 0x0000DEAD},   {AccessKind::PortWrite, 4, 0x80, 0x00DEADA1},
      {AccessKind::PortWrite, 4, 0x80, 0xDEADA113},   {AccessKind::PortWrite, 4, 0x80, 0xADA11302},
      {AccessKind::PortWrite, 4, 0x80, 0xA1130227},
  };
  EXPECT_EQ(Accesses({AccessKind::PortWrite, AccessKind::SimulatorQuery}), Expected);
  // Five 2.5 s waits at the default 3.5 GHz, a few hundred pauses each.
  EXPECT_GT(M().Pauses(), 5u * 300u);
  EXPECT_LT(M().Pauses(), 5u * 400u);
}

struct HaltContext {
  void (*Halt)(UINT32);
};
VOID EFIAPI HaltingNotify(EFI_EVENT, VOID *Context) { static_cast<HaltContext *>(Context)->Halt(0x000A0847); }

TEST_F(SimHardware, StopInsideANotificationLeavesTheTplAsItWas) {
  HaltContext Context{PIRN_SYMBOL(Img(), AssertHalt)};
  EFI_EVENT Event = nullptr;
  ASSERT_EQ(Fw().BootServices()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, HaltingNotify, &Context, &Event),
            EFI_SUCCESS);
  EXPECT_FALSE(P().Run([&] { Fw().BootServices()->SignalEvent(Event); }));
  EXPECT_EQ(M().LastStop().Code, 0x000A0847u);
  EXPECT_EQ(Fw().CurrentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
}

TEST_F(PlatformFixture, DefaultPlatformOffersItsFirmwarePiecesAndAQuietRamBuffer) {
  EXPECT_FALSE(M().HardwareMode());
  EXPECT_EQ(Fw().FindProtocol(gPcdProtocolGuid), Pcd().PcdProtocol());
  EXPECT_EQ(Fw().FindProtocol(gEfiPcdProtocolGuid), Pcd().PiPcdProtocol());
  EXPECT_EQ(Fw().FindProtocol(gTevDebugPrintProtocolGuid), Trace().Protocol());

  // The driver's own physical-write primitive lands in the RAM buffer
  // without a log entry; the configuration window next to it is logged.
  M().ClearLog();
  PIRN_SYMBOL(Img(), PhysWrite8)(RamBufferBase + 0x10, 0x41);
  PIRN_SYMBOL(Img(), PhysWrite32)(RamBufferBase, RamBufferSignature);
  EXPECT_EQ(P().ramBuffer.Peek(0x10), 0x41u);
  EXPECT_EQ(P().ramBuffer.Peek(0, 4), RamBufferSignature);
  EXPECT_TRUE(M().Log().empty());
}

}  // namespace

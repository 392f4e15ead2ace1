// Hardware-init lock hook: the first PCI I/O installation sets the lock bit
// of the three lock registers of every instance of the topology protocol's
// block, records the writes for resume and closes its event; every way the
// topology can be unavailable locks nothing and still closes the event.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "HubExpect.h"
#include "PlatformFixture.h"
#include "diag/Diag.h"
#include "driver/Driver.h"
#include "sim/S3SaveState.h"
#include "sim/TopologyBuilder.h"

namespace {

using sim::HubInstance;
using sim::ScriptEntry;
using sim::ScriptKind;
using sim::TopologyBlock;
using sim::TopologyGroup;

constexpr uint32_t SavedIndex(uint8_t Bus) { return 0x5A000000U | Bus; }

// Power-on values of the lock registers of bus 0x20: the bit clear with
// other bits set, already set, and clear under all other ones.
constexpr uint32_t PowerOn20[3] = {0x00000010, 0x00000001, 0xFFFFFFFE};

class LockHookTest : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    Prepare();
  }

  // Boots the driver (which arms the hook) and sets up the hubs.
  void Prepare() {
    ASSERT_EQ(Boot(), EFI_SUCCESS);
    for (int Bus : {0x00, 0x20, 0x40, 0x60}) {
      P().HubOn(static_cast<uint8_t>(Bus)).PokeIndex(SavedIndex(static_cast<uint8_t>(Bus)));
    }
    for (int I = 0; I < 3; I++) {
      P().HubOn(0x20).SetPowerOn(HwInitLockRegs[I], PowerOn20[I]);
    }
    ASSERT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 1u);
    Clear();
  }

  void Clear() {
    M().ClearLog();
    Trace().Clear();
    P().s3SaveState.ClearScript();
  }

  void UseTopology(const TopologyBlock &Block) {
    P().hobs.Topology = Block;
    P().hobs.Install();
  }

  // The three read-modify-writes of one instance.
  static void ExpectLocked(AccessList &List, uint8_t Bus, const uint32_t (&Before)[3]) {
    for (int I = 0; I < 3; I++) {
      List.HubRead(Bus, HwInitLockRegs[I], Before[I], SavedIndex(Bus))
          .HubWrite(Bus, HwInitLockRegs[I], Before[I] | 1, SavedIndex(Bus));
    }
  }
  static void ExpectScript(std::vector<ScriptEntry> &Script, uint8_t Bus, const uint32_t (&Before)[3]) {
    const uint64_t Index = ConfigWindowBase + PciAddress(0, Bus, 0, 0, HubIndexRegister);
    for (int I = 0; I < 3; I++) {
      Script.push_back(Write32(Index, HwInitLockRegs[I]));
      Script.push_back(Write32(Index + 4, Before[I] | 1));  // the value read at boot, bit 0 set
    }
  }

  // What every run of the hook shows, whatever it locks.
  void ExpectFrame() {
    EXPECT_EQ(Trace().Texts(FilterFlow),
              (std::vector<std::string>{"PirnBaseHookPciIO Entry\n", "PirnBaseHookPciIO Exit\n"}));
    EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 0u) << "the hook closed its event";
  }
};

constexpr uint32_t Zero[3] = {0, 0, 0};

TEST_F(LockHookTest, ThreeInstancesGetNineReadModifyWritesInListOrder) {
  UseTopology(TopologyBlock({TopologyGroup({
      HubInstance(1, PciAddress(0, 0x20, 0, 0, 0)),
      HubInstance(2, PciAddress(0, 0x40, 0, 0, 0)),
      HubInstance(3, PciAddress(0, 0x60, 0, 0, 0)),
  })}));
  ASSERT_TRUE(P().InstallPciIo());

  AccessList Expected;
  Expected.TestPoint(TpPciIoHookStart);
  ExpectLocked(Expected, 0x20, PowerOn20);  // instance 1: 0x101311AC, 0x101313AC, 0x101315AC
  ExpectLocked(Expected, 0x40, Zero);       // instance 2
  ExpectLocked(Expected, 0x60, Zero);       // instance 3
  Expected.TestPoint(TpPciIoHookEnd);
  ExpectAccesses(M().Log(), Expected);

  std::vector<ScriptEntry> Script;
  ExpectScript(Script, 0x20, PowerOn20);
  ExpectScript(Script, 0x40, Zero);
  ExpectScript(Script, 0x60, Zero);
  EXPECT_EQ(P().s3SaveState.Script(), Script);

  ExpectFrame();
  EXPECT_EQ(Trace().Texts(FilterHub), (std::vector<std::string>{
                                          "PirnBaseSetHwInitLock Enter\n",
                                          "PirnBaseSetHwInitLock Exit\n",
                                          "PirnBaseSetHwInitLock Enter\n",
                                          "PirnBaseSetHwInitLock Exit\n",
                                          "PirnBaseSetHwInitLock Enter\n",
                                          "PirnBaseSetHwInitLock Exit\n",
                                      }));
  for (int I = 0; I < 3; I++) {
    EXPECT_EQ(P().HubOn(0x20).PeekSysReg(HwInitLockRegs[I]), PowerOn20[I] | 1);
  }
  EXPECT_EQ(P().HubOn(0x00).PeekSysReg(HwInitLockRegs[0]), 0u) << "bus 0 is not in this topology";

  // A second PCI I/O installation finds no hook left.
  Clear();
  ASSERT_TRUE(P().InstallPciIo());
  EXPECT_TRUE(M().Log().empty());
  EXPECT_TRUE(Trace().Lines().empty());
  EXPECT_TRUE(P().s3SaveState.Script().empty());
}

// One descriptor that is its list's last; its segment field is ignored and
// the bus is locked on segment 0.
TEST_F(LockHookTest, SingleInstanceOnAnotherSegmentLocksItsBusOnSegmentZero) {
  UseTopology(TopologyBlock({TopologyGroup({HubInstance(7, PciAddress(3, 0x20, 5, 2, 0x40))})}));
  ASSERT_TRUE(P().InstallPciIo());

  AccessList Expected;
  Expected.TestPoint(TpPciIoHookStart);
  ExpectLocked(Expected, 0x20, PowerOn20);
  Expected.TestPoint(TpPciIoHookEnd);
  ExpectAccesses(M().Log(), Expected);
  std::vector<ScriptEntry> Script;
  ExpectScript(Script, 0x20, PowerOn20);
  EXPECT_EQ(P().s3SaveState.Script(), Script);
  ExpectFrame();
}

TEST_F(LockHookTest, WithoutAUsableTopologyNothingIsLockedAndTheEventCloses) {
  struct Case {
    const char *Name;
    std::function<void(sim::Platform &)> Arrange;
  };
  using Mode = sim::TopologyProtocol::Mode;
  const Case Cases[] = {
      {"protocol fails without a block", [](sim::Platform &Plat) { Plat.topology.SetMode(Mode::FailNoStore); }},
      {"protocol fails with a block", [](sim::Platform &Plat) { Plat.topology.SetMode(Mode::FailWithBlock); }},
      {"protocol stores no block", [](sim::Platform &Plat) { Plat.topology.SetMode(Mode::SucceedNoStore); }},
      {"block without an instance list",
       [](sim::Platform &Plat) {
         Plat.hobs.Topology = TopologyBlock({TopologyGroup({TopologyGroup({})})});
         Plat.hobs.Install();
       }},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    if (Plat == nullptr) {
      Plat = sim::MakeDefaultPlatform(Options());
      Prepare();
    }
    C.Arrange(P());
    ASSERT_TRUE(P().InstallPciIo());

    ExpectAccesses(M().Log(), AccessList().TestPoint(TpPciIoHookStart).TestPoint(TpPciIoHookEnd));
    EXPECT_TRUE(P().s3SaveState.Script().empty());
    EXPECT_TRUE(Trace().Texts(FilterHub).empty());
    EXPECT_EQ(P().topology.Calls(), 1u);
    ExpectFrame();
    for (const auto &V : P().Violations()) {
      ADD_FAILURE() << "model violation: " << V;
    }
    Plat.reset();  // a fresh platform for the next case
  }
}

class LockHookNoTopologyTest : public LockHookTest {
  sim::PlatformOptions Options() const override {
    auto O = LockHookTest::Options();
    O.Topology = false;
    return O;
  }
};

TEST_F(LockHookNoTopologyTest, MissingProtocolLocksNothingAndClosesTheEvent) {
  ASSERT_TRUE(P().InstallPciIo());
  ExpectAccesses(M().Log(), AccessList().TestPoint(TpPciIoHookStart).TestPoint(TpPciIoHookEnd));
  EXPECT_TRUE(P().s3SaveState.Script().empty());
  EXPECT_EQ(P().topology.Calls(), 0u);
  ExpectFrame();
}

// A PCI I/O protocol installed before the driver entry armed the hook does
// not run it; the first one after does.
TEST(LockHookArming, InstallationBeforeTheEntryDoesNotTriggerTheHook) {
  auto Plat = sim::MakeDefaultPlatform();
  ASSERT_TRUE(Plat->InstallPciIo());
  ASSERT_EQ(Plat->StartDriver(), EFI_SUCCESS);
  EXPECT_TRUE(Plat->machine.LogOf({sim::AccessKind::SysRegWrite}).empty());
  EXPECT_EQ(Plat->firmware.NotifyRegistrationCount(gEfiPciIoProtocolGuid), 1u);

  ASSERT_TRUE(Plat->InstallPciIo());
  // Four instances of the default topology, three lock writes each.
  EXPECT_EQ(Plat->machine.LogOf({sim::AccessKind::SysRegWrite}).size(), 12u);
  EXPECT_EQ(Plat->firmware.NotifyRegistrationCount(gEfiPciIoProtocolGuid), 0u);
  EXPECT_TRUE(Plat->Violations().empty());
}

}  // namespace

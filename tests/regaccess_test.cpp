// Register access: configuration reads and writes through the window at
// every width code, the addresses outside it, and the system-register
// sequences through a hub's index/data pair with their resume entries.
#include "regaccess/RegAccess.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "HubExpect.h"
#include "PlatformFixture.h"
#include "diag/Diag.h"
#include "s3save/S3Save.h"

namespace {

using sim::ScriptEntry;
using sim::ScriptKind;

// The index register of bus 0x20 serves as a plain 32-bit target.
constexpr uint32_t Index20 = PciAddress(0, 0x20, 0, 0, HubIndexRegister);
constexpr uint32_t IndexInitial = 0x11223344;
// What a caller's 64-bit buffer holds; a width takes its low bytes.
constexpr uint64_t Source = 0x8877665544332211ULL;
// A target the driver must leave alone where it stores nothing.
constexpr uint64_t Poison = 0xA5A5A5A5A5A5A5A5ULL;

ScriptEntry MemWrite(uint64_t Width, uint64_t Address, uint64_t Value) {
  ScriptEntry E;
  E.Kind = ScriptKind::MemWrite;
  E.Width = Width;
  E.Address = Address;
  E.Value = Value;
  return E;
}

class RegAccessTest : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    ASSERT_EQ(Boot(), EFI_SUCCESS);
    P().HubOn(0x20).PokeIndex(IndexInitial);
    M().ClearLog();
    P().s3SaveState.ClearScript();
  }

  void SetAssertions(bool On) { PIRN_SYMBOL(Img(), DiagConfig)->AssertEnable = On ? 1 : 0; }

  template <class Fn>
  void Call(Fn &&F) {
    ASSERT_TRUE(P().Run(F)) << M().LastStop().Message;
  }
  void CfgRead(uint32_t Address, ACCESS_WIDTH Width, void *Value) {
    Call([&] { PIRN_SYMBOL(Img(), PciCfgRead)(Address, Width, Value); });
  }
  void CfgWrite(uint32_t Address, ACCESS_WIDTH Width, const void *Value) {
    Call([&] { PIRN_SYMBOL(Img(), PciCfgWrite)(Address, Width, Value); });
  }
  uint8_t WidthBytes(ACCESS_WIDTH Width) {
    uint8_t Bytes = 0xEE;
    Call([&] { Bytes = PIRN_SYMBOL(Img(), AccessWidthBytes)(Width); });
    return Bytes;
  }
  void Reset() {
    M().ClearLog();
    P().s3SaveState.ClearScript();
    P().HubOn(0x20).PokeIndex(IndexInitial);
  }
};

// ---------------------------------------------------------------------------
// Width codes
// ---------------------------------------------------------------------------
struct WidthCase {
  ACCESS_WIDTH Width;
  uint8_t AccessBytes;         // size of the configuration access; 0: refused
  uint8_t CountBytes;          // AccessWidthBytes
  bool Recorded;               // a write goes to the recorder first
  uint64_t ScriptWidth;        // boot-script width of that entry
  uint32_t RecorderAssertion;  // the recorder's own assertion for the code, 0 for none
};

constexpr WidthCase WidthCases[] = {
    {0, 0, 0, false, 0, 0},
    {1, 1, 1, false, 0, 0},
    {2, 2, 2, false, 0, 0},
    {3, 4, 4, false, 0, 0},
    {4, 0, 8, false, 0, 0},
    {5, 0, 0, false, 0, 0},
    {0x80, 0, 0, false, 0, 0},
    {0x81, 1, 1, true, 0, 0},
    {0x82, 2, 2, true, 1, 0},
    {0x83, 4, 4, true, 2, 0},
    {0x84, 0, 8, true, 3, 0},
    // The recorder receives 5, files it as an 8-bit entry after its own
    // assertion.
    {0x85, 0, 0, true, 0, AssertS3ScriptWidth},
};

uint64_t Low(uint64_t Value, unsigned Bytes) { return Bytes >= 8 ? Value : Value & ((1ULL << (8 * Bytes)) - 1); }

TEST_F(RegAccessTest, WidthCodesOfReadWriteAndByteCount) {
  for (const WidthCase &C : WidthCases) {
    for (bool Assertions : {false, true}) {
      SCOPED_TRACE(testing::Message() << "width 0x" << std::hex << C.Width << (Assertions ? ", asserting" : ""));
      SetAssertions(Assertions);

      // Read of the index register of bus 0x20.
      Reset();
      uint64_t Out = Poison;
      CfgRead(Index20, C.Width, &Out);
      AccessList Read;
      if (C.AccessBytes != 0) {
        const uint64_t Value = Low(IndexInitial, C.AccessBytes);
        Read.CfgRead(Index20, static_cast<uint32_t>(Value), C.AccessBytes);  // one access of exactly that size
        EXPECT_EQ(Out, (Poison & ~Low(~0ULL, C.AccessBytes)) | Value);
      } else {
        if (Assertions) {
          Read.Assertion(AssertPciCfgReadWidth);
        }
        EXPECT_EQ(Out, Poison) << "a refused read stores nothing";
      }
      ExpectAccesses(M().Log(), Read);

      // Write of the same register.
      Reset();
      CfgWrite(Index20, C.Width, &Source);
      AccessList Write;
      if (C.RecorderAssertion != 0 && Assertions) {
        Write.Assertion(C.RecorderAssertion);  // the recording comes first
      }
      if (C.AccessBytes != 0) {
        Write.CfgWrite(Index20, static_cast<uint32_t>(Low(Source, C.AccessBytes)), C.AccessBytes);
        const uint64_t Mask = Low(~0ULL, C.AccessBytes);
        EXPECT_EQ(P().HubOn(0x20).PeekIndex(), (IndexInitial & ~Mask) | (Source & Mask));
      } else {
        if (Assertions) {
          Write.Assertion(AssertPciCfgWriteWidth);
        }
        EXPECT_EQ(P().HubOn(0x20).PeekIndex(), IndexInitial);
      }
      ExpectAccesses(M().Log(), Write);
      if (C.Recorded) {
        const unsigned ScriptBytes = 1U << C.ScriptWidth;
        EXPECT_EQ(P().s3SaveState.Script(), std::vector<ScriptEntry>{MemWrite(C.ScriptWidth, ConfigWindowBase + Index20,
                                                                              Low(Source, ScriptBytes))});
      } else {
        EXPECT_TRUE(P().s3SaveState.Script().empty());
      }

      // Byte count.
      Reset();
      EXPECT_EQ(WidthBytes(C.Width), C.CountBytes);
      AccessList Count;
      if (C.CountBytes == 0 && Assertions) {
        Count.Assertion(AssertAccessWidthBytes);
      }
      ExpectAccesses(M().Log(), Count);
    }
  }
}

// ---------------------------------------------------------------------------
// Addresses at and beyond the end of the window
// ---------------------------------------------------------------------------
TEST_F(RegAccessTest, AddressesOutsideTheWindowReadAllOnesAndDropWrites) {
  uint64_t Out = Poison;
  CfgRead(ConfigWindowLimit, AccessWidth16, &Out);  // first address of segment 1
  EXPECT_EQ(Out & 0xFFFF, 0xFFFFu);
  EXPECT_EQ(Out >> 16, Poison >> 16);
  EXPECT_TRUE(M().Log().empty()) << "no access outside the window";

  // The last doubleword of the window is still reached (no device there).
  Out = 0;
  CfgRead(ConfigWindowLimit - 4, AccessWidth32, &Out);
  EXPECT_EQ(Out, 0xFFFFFFFFu);
  ExpectAccesses(M().Log(), AccessList().CfgRead(0x0FFFFFFC, 0xFFFFFFFF));

  // A recorded write to segment 1 is recorded in the PCI form and dropped.
  M().ClearLog();
  const uint32_t Segment1 = PciAddress(1, 0x20, 0, 0, HubIndexRegister);
  const uint32_t Value = 0xCAFEF00D;
  CfgWrite(Segment1, AccessWidth32Recorded, &Value);
  EXPECT_TRUE(M().Log().empty());
  ScriptEntry Pci;
  Pci.Kind = ScriptKind::PciWrite;
  Pci.Width = 2;
  Pci.Segment = 1;
  Pci.Address = BootScriptPciAddress(Segment1);
  Pci.Value = Value;
  EXPECT_EQ(P().s3SaveState.Script(), std::vector<ScriptEntry>{Pci});
  EXPECT_EQ(P().HubOn(0x20).PeekIndex(), IndexInitial);
}

// ---------------------------------------------------------------------------
// System registers
// ---------------------------------------------------------------------------
TEST_F(RegAccessTest, SysRegReadSavesSelectsReadsRestoresAndRecordsNothing) {
  sim::Hub &Hub5 = P().AddHub(5);
  Hub5.PokeIndex(0x0BADBEEF);
  Hub5.PokeSysReg(0x101311AC, 0x00C0FFEE);
  M().ClearLog();

  UINT32 Value = 0;
  Call([&] { PIRN_SYMBOL(Img(), SysRegRead)(PciAddress(0, 5, 0, 0, 0xB8), 0x101311AC, &Value); });

  EXPECT_EQ(Value, 0x00C0FFEEu);
  ExpectAccesses(M().Log(), AccessList()
                                .CfgRead(0x005000B8, 0x0BADBEEF)        // save the index
                                .CfgWrite(0x005000B8, 0x101311AC)       // select the register
                                .CfgRead(0x005000BC, 0x00C0FFEE)        // the data register ...
                                .SysRegRead(5, 0x101311AC, 0x00C0FFEE)  // ... reaches the register
                                .CfgWrite(0x005000B8, 0x0BADBEEF));     // restore the index
  EXPECT_TRUE(P().s3SaveState.Script().empty());
  EXPECT_EQ(Hub5.PeekIndex(), 0x0BADBEEFu);
}

TEST_F(RegAccessTest, RecordedSysRegWriteFilesIndexThenDataButNotTheRestore) {
  sim::Hub &Hub5 = P().AddHub(5);
  Hub5.PokeIndex(0x0BADBEEF);
  M().ClearLog();

  const UINT32 Value = 0x12345678;
  Call([&] { PIRN_SYMBOL(Img(), SysRegWrite)(0x005000B8, 0x101313AC, AccessWidth32Recorded, &Value); });

  ExpectAccesses(M().Log(), AccessList()
                                .CfgRead(0x005000B8, 0x0BADBEEF)         // save the index
                                .CfgWrite(0x005000B8, 0x101313AC)        // select the register (recorded)
                                .CfgWrite(0x005000BC, 0x12345678)        // the data register (recorded) ...
                                .SysRegWrite(5, 0x101313AC, 0x12345678)  // ... reaches the register
                                .CfgWrite(0x005000B8, 0x0BADBEEF));      // restore the index (not recorded)
  EXPECT_EQ(Hub5.PeekSysReg(0x101313AC), 0x12345678u);
  EXPECT_EQ(P().s3SaveState.Script(), (std::vector<ScriptEntry>{
                                          MemWrite(2, 0xE05000B8, 0x101313AC),
                                          MemWrite(2, 0xE05000BC, 0x12345678),
                                      }));
}

// A 64-bit code is refused by every configuration step, yet the recorder
// still reads eight bytes behind the register address it is handed: they
// must be the address, zero-extended, and nothing beyond the caller's value.
TEST_F(RegAccessTest, SysRegWriteWith64BitCodeRecordsTwoWritesAndChangesNothing) {
  sim::Hub &Hub5 = P().AddHub(5);
  Hub5.PokeIndex(0x0BADBEEF);
  M().ClearLog();

  Call([&] {
    PIRN_SYMBOL(Img(), SysRegWrite)(0x005000B8, 0x101315AC, AccessWidth64 | AccessWidthRecordFlag, &Source);
  });

  ExpectAccesses(M().Log(), AccessList()
                                .Assertion(AssertPciCfgReadWidth)     // save refused
                                .Assertion(AssertPciCfgWriteWidth)    // select refused, after recording
                                .Assertion(AssertPciCfgWriteWidth)    // data refused, after recording
                                .Assertion(AssertPciCfgWriteWidth));  // restore refused
  EXPECT_EQ(Hub5.PeekIndex(), 0x0BADBEEFu);
  EXPECT_EQ(Hub5.PeekSysReg(0x101315AC), 0u);
  EXPECT_EQ(P().s3SaveState.Script(),
            (std::vector<ScriptEntry>{
                MemWrite(3, 0xE05000B8, 0x101315AC), MemWrite(3, 0xE05000C0, Source),  // data at index + 8
            }));
}

}  // namespace

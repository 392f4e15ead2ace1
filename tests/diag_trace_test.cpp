// Trace lines: forwarding to the debug-print protocol, argument slots, and
// the retry while that protocol is missing.
#include <gmock/gmock.h>

#include "tests/DiagFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A debug-print driver that keeps the raw 8-byte argument slots.
struct SlotRecorder {
  static inline uint64_t Filter;
  static inline const char *Format;
  static inline uint64_t Slots[4];
  static inline unsigned Calls;

  static EFI_STATUS EFIAPI Print(UINT64 F, CONST CHAR8 *Fmt, VA_LIST Marker) {
    Filter = F;
    Format = Fmt;
    for (uint64_t &Slot : Slots) {
      Slot = VA_ARG(Marker, UINT64);
    }
    ++Calls;
    return EFI_DEVICE_ERROR;  // a failing print function
  }
};

class TracePrintTest : public DiagFixture {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O;
    O.DebugPrint = false;
    return O;
  }
  void SetUp() override {
    DiagFixture::SetUp();
    AttachFirmware();
  }
};

TEST_F(TracePrintTest, ForwardsFilterFormatAndArgumentSlotsAndReturnsThePrintStatus) {
  TEV_DEBUG_PRINT_PROTOCOL Protocol = {SlotRecorder::Print};
  Fw().InstallProtocol(gTevDebugPrintProtocolGuid, &Protocol);
  static const char Format[] = "%a %x %lx %r\n";
  static const char Name[] = "name";

  EFI_STATUS Status = 0;
  RunDriver([&] {
    Status = PIRN_SYMBOL(Img(), TracePrint)(FilterHub, Format, Name, 0xFFFFFFFFu, 0x1122334455667788ULL, EFI_NOT_FOUND);
  });

  EXPECT_EQ(Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(SlotRecorder::Calls, 1u);
  EXPECT_EQ(SlotRecorder::Filter, FilterHub);
  EXPECT_EQ(SlotRecorder::Format, Format) << "the format is passed, not copied or formatted";
  EXPECT_EQ(SlotRecorder::Slots[0], reinterpret_cast<uint64_t>(Name));
  EXPECT_EQ(SlotRecorder::Slots[1] & 0xFFFFFFFFu, 0xFFFFFFFFu);
  EXPECT_EQ(SlotRecorder::Slots[2], 0x1122334455667788ULL);
  EXPECT_EQ(SlotRecorder::Slots[3], EFI_NOT_FOUND);
}

TEST_F(TracePrintTest, RetriesTheLocateUntilTheProtocolAppearsThenKeepsIt) {
  auto Print = PIRN_SYMBOL(Img(), TracePrint);

  EFI_STATUS Before = 0;
  RunDriver([&] { Before = Print(FilterFlow, "%a\n", "early"); });
  EXPECT_EQ(Before, EFI_NOT_FOUND);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mDebugPrintProtocol), nullptr);

  Trace().Install(Fw());
  EFI_STATUS After = EFI_ABORTED;
  RunDriver([&] {
    After = Print(FilterFlow, "%a %d\n", "late", 42);
    Print(FilterError, "%x\n", 0xAB);
  });
  EXPECT_EQ(After, EFI_SUCCESS);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mDebugPrintProtocol), Trace().Protocol());
  EXPECT_THAT(Trace().Texts(FilterFlow), ElementsAre("late 42\n"));
  EXPECT_THAT(Trace().Texts(FilterError), ElementsAre("AB\n"));
  // One failed locate, one that found it; the third call used the cache.
  EXPECT_EQ(Fw().CallCount("LocateProtocol"), 2u);
  EXPECT_THAT(ProcessorAccesses(), IsEmpty());
}

}  // namespace

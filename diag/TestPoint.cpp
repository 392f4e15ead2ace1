// Test points: a 16-bit progress code, marked, on port 0x80, as a trace line
// and optionally mirrored into a hub system register.
#include "diag/Diag.h"

namespace {
constexpr UINT16 TestPointPort = 0x80;
// Index and data registers of device 0, function 0 on bus 0.
constexpr UINT64 MirrorIndexAddress = ConfigWindowBase + HubIndexRegister;
constexpr UINT64 MirrorDataAddress = ConfigWindowBase + HubDataRegister;
static_assert(MirrorIndexAddress == 0xE00000B8 && MirrorDataAddress == 0xE00000BC);
}  // namespace

extern "C" {

VOID TestPointPortWrite(UINT8 Width, const UINT32 *Value) {
  switch (Width) {
    case AccessWidth8:
    case AccessWidth8 | AccessWidthRecordFlag:
      PortWrite8(TestPointPort, static_cast<UINT8>(*Value));
      break;
    case AccessWidth16:
    case AccessWidth16 | AccessWidthRecordFlag:
      PortWrite16(TestPointPort, static_cast<UINT16>(*Value));
      break;
    default:
      PortWrite32(TestPointPort, *Value);
      break;
  }
}

VOID MirrorTestPoint(UINT32 Value) {
  if (!DiagConfig.ScratchMirrorEnable) {
    return;
  }
  UINT8 Select = DiagConfig.ScratchMirrorSelect;
  if (Select == 0x0F) {
    Select = DiagConfig.ScratchMirrorSelectAlt;
  }
  if (Select != 2 && Select != 3) {
    return;
  }
  // Written directly: the index is neither saved nor restored, and nothing
  // is recorded for resume.
  PhysWrite32(MirrorIndexAddress, DiagConfig.ScratchMirrorRegister);
  PhysWrite32(MirrorDataAddress, Value);
}

VOID PostTestPoint(UINT32 Code) {
  const UINT32 Value = TestPointValue(Code);
  if (DiagConfig.TestPointPortEnable != 0) {
    TestPointPortWrite(DiagConfig.TestPointPortWidth, &Value);
  }
  TracePrint(FilterTestPoint, "KORVU_TP:[%x]\n", Value);
  if (DiagConfig.TestPointMirrorEnable) {
    MirrorTestPoint(Value);
  }
}

}  // extern "C"

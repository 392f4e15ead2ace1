// PCI configuration access through the fixed memory-mapped window of
// segment 0. Every access is one physical access of exactly the requested
// size; writes flagged for resume are handed to the recorder first.
#include "diag/Diag.h"
#include "regaccess/RegAccess.h"
#include "s3save/S3Save.h"

namespace {

// Byte count of an accepted configuration access, or 0 for a refused width.
// 64-bit and unknown codes are refused.
UINT8 CfgAccessBytes(ACCESS_WIDTH Width) {
  switch (Width) {
    case AccessWidth8:
    case AccessWidth8 | AccessWidthRecordFlag:
      return 1;
    case AccessWidth16:
    case AccessWidth16 | AccessWidthRecordFlag:
      return 2;
    case AccessWidth32:
    case AccessWidth32Recorded:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

extern "C" {

VOID PciCfgWrite(UINT32 Address, ACCESS_WIDTH Width, const VOID *Value) {
  // The recording comes first, before the width or the address is judged, so
  // the resume script holds every flagged write the caller asked for.
  if (Width >= (AccessWidth8 | AccessWidthRecordFlag)) {
    S3RecordPciWrite(Width - AccessWidthRecordFlag, Address, Value);
  }

  const UINT8 Bytes = CfgAccessBytes(Width);
  if (Bytes == 0) {
    AssertSite(AssertPciCfgWriteWidth);
    return;
  }
  if (Address >= ConfigWindowLimit) {
    return;
  }

  const UINT64 Target = ConfigWindowBase + Address;
  UINT32 Data = 0;
  MemCopy(&Data, Value, Bytes);
  switch (Bytes) {
    case 1:
      PhysWrite8(Target, static_cast<UINT8>(Data));
      break;
    case 2:
      PhysWrite16(Target, static_cast<UINT16>(Data));
      break;
    default:
      PhysWrite32(Target, Data);
      break;
  }
}

VOID PciCfgRead(UINT32 Address, ACCESS_WIDTH Width, VOID *Value) {
  const UINT8 Bytes = CfgAccessBytes(Width);
  if (Bytes == 0) {
    AssertSite(AssertPciCfgReadWidth);
    return;
  }

  UINT32 Data = 0xFFFFFFFF;
  if (Address < ConfigWindowLimit) {
    const UINT64 Source = ConfigWindowBase + Address;
    switch (Bytes) {
      case 1:
        Data = PhysRead8(Source);
        break;
      case 2:
        Data = PhysRead16(Source);
        break;
      default:
        Data = PhysRead32(Source);
        break;
    }
  }
  MemCopy(Value, &Data, Bytes);
}

}  // extern "C"

// Physical memory write of a value by its access width.
#include "diag/Diag.h"

extern "C" VOID MemWriteByWidth(ACCESS_WIDTH Width, UINT64 Address, const VOID *Value) {
  switch (Width) {
    case AccessWidth8:
    case AccessWidth8 | AccessWidthRecordFlag: {
      UINT8 Byte;
      __builtin_memcpy(&Byte, Value, sizeof(Byte));
      PhysWrite8(Address, Byte);
      break;
    }
    case AccessWidth16:
    case AccessWidth16 | AccessWidthRecordFlag: {
      UINT16 Word;
      __builtin_memcpy(&Word, Value, sizeof(Word));
      PhysWrite16(Address, Word);
      break;
    }
    case AccessWidth32:
    case AccessWidth32 | AccessWidthRecordFlag: {
      UINT32 Dword;
      __builtin_memcpy(&Dword, Value, sizeof(Dword));
      PhysWrite32(Address, Dword);
      break;
    }
    default:
      // 64-bit and unknown widths write nothing.
      AssertSite(AssertMemWriteWidth);
      break;
  }
}

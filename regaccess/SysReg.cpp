// Hub system-register access through an instance's index/data pair. Every
// access saves the index register first and restores it last, so callers
// that share the pair never see it moved.
#include "regaccess/RegAccess.h"

extern "C" {

VOID SysRegRead(UINT32 IndexAddress, UINT32 SysRegAddress, UINT32 *Value) {
  const UINT32 DataAddress = IndexAddress + AccessWidthBytes(AccessWidth32);
  UINT32 Saved = 0;
  PciCfgRead(IndexAddress, AccessWidth32, &Saved);
  PciCfgWrite(IndexAddress, AccessWidth32, &SysRegAddress);
  PciCfgRead(DataAddress, AccessWidth32, Value);
  PciCfgWrite(IndexAddress, AccessWidth32, &Saved);
}

VOID SysRegWrite(UINT32 IndexAddress, UINT32 SysRegAddress, ACCESS_WIDTH Width, const VOID *Value) {
  const UINT8 Bytes = AccessWidthBytes(Width);
  // Both locals are 64 bits wide: with a 64-bit width code the recorder
  // still reads eight bytes behind each pointer before the access is refused.
  UINT64 Saved = 0;
  const UINT64 Index = SysRegAddress;
  PciCfgRead(IndexAddress, Width, &Saved);
  PciCfgWrite(IndexAddress, Width, &Index);
  PciCfgWrite(IndexAddress + Bytes, Width, Value);
  PciCfgWrite(IndexAddress, Width & ~AccessWidthRecordFlag, &Saved);
}

}  // extern "C"

// Byte-copy and fill helpers. The compiler may also emit calls to memcpy and
// memset in the image; those live in the image runtime, not here.
#include "firmware/Firmware.h"

extern "C" VOID *MemCopy(VOID *Destination, const VOID *Source, UINTN Count) {
  volatile UINT8 *Dst = static_cast<volatile UINT8 *>(Destination);
  const volatile UINT8 *Src = static_cast<const volatile UINT8 *>(Source);
  const UINTN DstAddr = reinterpret_cast<UINTN>(Destination);
  const UINTN SrcAddr = reinterpret_cast<UINTN>(Source);

  if (DstAddr > SrcAddr && DstAddr < SrcAddr + Count) {
    // Destination overlaps the tail of the source: copy from the last byte down.
    while (Count > 0) {
      Count--;
      Dst[Count] = Src[Count];
    }
    return Destination;
  }

  UINTN Index = 0;
  for (; Index + 8 <= Count; Index += 8) {
    UINT64 Chunk;
    __builtin_memcpy(&Chunk, const_cast<const UINT8 *>(Src) + Index, 8);
    __builtin_memcpy(const_cast<UINT8 *>(Dst) + Index, &Chunk, 8);
  }
  for (; Index < Count; Index++) {
    Dst[Index] = Src[Index];
  }
  return Destination;
}

extern "C" VOID *MemFill(VOID *Buffer, UINTN Count, UINT8 Value) {
  volatile UINT8 *Dst = static_cast<volatile UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Count; Index++) {
    Dst[Index] = Value;
  }
  return Buffer;
}

extern "C" VOID *MemZero(VOID *Buffer, UINTN Count) { return MemFill(Buffer, Count, 0); }

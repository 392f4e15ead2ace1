// What the compiler may call on its own in the EFI image: it can turn
// structure copies and clears into calls of memcpy, memset and memmove even
// in freestanding code. String instructions keep these tiny and leave no
// loop that the optimiser could turn back into a call of itself. The
// direction flag is clear on entry by the calling convention and is never
// changed here.
#include "firmware/Firmware.h"

extern "C" {

VOID *memcpy(VOID *Destination, const VOID *Source, UINTN Count) {
  VOID *Result = Destination;
  __asm__ __volatile__("rep movsb" : "+D"(Destination), "+S"(Source), "+c"(Count) : : "memory");
  return Result;
}

VOID *memmove(VOID *Destination, const VOID *Source, UINTN Count) {
  const UINTN Dst = reinterpret_cast<UINTN>(Destination);
  const UINTN Src = reinterpret_cast<UINTN>(Source);
  if (Dst <= Src || Dst >= Src + Count) {
    return memcpy(Destination, Source, Count);
  }
  // Destination overlaps the tail of the source: copy from the last byte
  // down. A plain loop rather than a backward string copy, so the direction
  // flag is never set where an interrupt could find it set.
  volatile UINT8 *To = static_cast<volatile UINT8 *>(Destination);
  const volatile UINT8 *From = static_cast<const volatile UINT8 *>(Source);
  while (Count > 0) {
    Count--;
    To[Count] = From[Count];
  }
  return Destination;
}

VOID *memset(VOID *Buffer, int Value, UINTN Count) {
  VOID *Result = Buffer;
  __asm__ __volatile__("rep stosb" : "+D"(Buffer), "+c"(Count) : "a"(Value) : "memory");
  return Result;
}

int memcmp(const VOID *Left, const VOID *Right, UINTN Count) {
  const volatile UINT8 *A = static_cast<const volatile UINT8 *>(Left);
  const volatile UINT8 *B = static_cast<const volatile UINT8 *>(Right);
  for (UINTN Index = 0; Index < Count; Index++) {
    if (A[Index] != B[Index]) {
      return A[Index] < B[Index] ? -1 : 1;
    }
  }
  return 0;
}

}  // extern "C"

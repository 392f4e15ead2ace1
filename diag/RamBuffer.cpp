// RAM debug buffer: a 16 MiB region at a fixed physical address holding a
// 16-byte header and a data area of texts, oldest first. The region outlives
// the driver; texts of several drivers and boot stages accumulate in it.
#include "diag/Diag.h"

namespace {
constexpr UINT32 MsrApicBase = 0x1B;
constexpr UINT64 ApicBaseBsp = 1ULL << 8;

constexpr UINT64 SignatureAddress = RamBufferBase + 0x0;
constexpr UINT64 Marker1Address = RamBufferBase + 0x4;
constexpr UINT64 WriteOffsetAddress = RamBufferBase + 0x8;
constexpr UINT64 Marker2Address = RamBufferBase + 0xC;
constexpr UINT64 DataAddress = RamBufferBase + RamBufferDataOffset;
// Largest WriteOffset a valid header may carry.
constexpr UINT32 WriteOffsetLimit = 0x1000000;
// Bytes a discard removes from the front of the data area.
constexpr UINT32 DiscardSize = 0x400000;
static_assert(RamBufferDataOffset + RamBufferDataSize == RamBufferRegionSize);

BOOLEAN IsBootProcessor() { return (MsrRead(MsrApicBase) & ApicBaseBsp) != 0; }

VOID WriteDataByte(UINT32 DataOffset, UINT8 Value) { MemWriteByWidth(AccessWidth8, DataAddress + DataOffset, &Value); }

VOID WriteHeaderField(UINT64 Address, UINT32 Value) { MemWriteByWidth(AccessWidth32, Address, &Value); }

// Drops the oldest bytes of the data area: moves the rest down to data
// offset 0 and clears everything above it. Returns the new offset.
//
// At most Offset bytes exist, so below DiscardSize everything is dropped;
// Offset never exceeds the data area, so no access leaves the region.
UINT32 DiscardOldest(UINT32 Offset) {
  const UINT32 Dropped = Offset < DiscardSize ? Offset : DiscardSize;
  const UINT32 NewOffset = Offset - Dropped;
  for (UINT32 Index = 0; Index < NewOffset; Index++) {
    WriteDataByte(Index, PhysRead8(DataAddress + Dropped + Index));
  }
  for (UINT32 Index = NewOffset; Index < RamBufferDataSize; Index++) {
    WriteDataByte(Index, 0);
  }
  return NewOffset;
}

// True when Length bytes fit after Offset (Offset within the data area);
// written so that no sum can wrap, however large Length is.
constexpr bool Fits(UINT32 Offset, UINT64 Length) { return Length <= static_cast<UINT64>(RamBufferDataSize - Offset); }
static_assert(Fits(RamBufferDataSize - 16, 16) && !Fits(RamBufferDataSize - 16, 17));
static_assert(!Fits(1, ~0ULL) && Fits(RamBufferDataSize, 0));
}  // namespace

extern "C" {

BOOLEAN RamBufferPresent(VOID) {
  if (!IsBootProcessor()) {
    return FALSE;
  }
  if (PhysRead32(SignatureAddress) != RamBufferSignature) {
    return FALSE;
  }
  if (PhysRead32(Marker1Address) != RamBufferMarker1) {
    return FALSE;
  }
  if (PhysRead32(Marker2Address) != RamBufferMarker2) {
    return FALSE;
  }
  return PhysRead32(WriteOffsetAddress) <= WriteOffsetLimit;
}

VOID RamBufferInit(VOID) {
  if (!IsBootProcessor()) {
    return;
  }
  if (RamBufferPresent()) {
    // An existing buffer keeps its contents.
    return;
  }
  WriteHeaderField(SignatureAddress, RamBufferSignature);
  if (PhysRead32(SignatureAddress) != RamBufferSignature) {
    // No memory answers there.
    return;
  }
  WriteHeaderField(Marker1Address, RamBufferMarker1);
  WriteHeaderField(Marker2Address, RamBufferMarker2);
  WriteHeaderField(WriteOffsetAddress, 0);
  for (UINT32 Index = 0; Index < RamBufferDataSize; Index++) {
    WriteDataByte(Index, 0);
  }
}

VOID RamBufferPrint(const UINT8 *Text, UINT64 Length) {
  if (!RamBufferPresent()) {
    return;
  }
  if (Length > RamBufferDataSize) {
    AssertSite(AssertRamBufferLength);
  }

  UINT32 Offset = PhysRead32(WriteOffsetAddress);
  // A header may claim up to 0x1000000 bytes, a little more than the data
  // area holds: such a buffer counts as full, so nothing is read or written
  // past the end of the region.
  if (Offset > RamBufferDataSize) {
    Offset = RamBufferDataSize;
  }

  if (!Fits(Offset, Length)) {
    Offset = DiscardOldest(Offset);
    if (!Fits(Offset, Length)) {
      // The text is dropped; the header follows the data that was moved.
      WriteHeaderField(WriteOffsetAddress, Offset);
      return;
    }
  }

  for (UINT64 Index = 0; Index < Length; Index++) {
    WriteDataByte(Offset + static_cast<UINT32>(Index), Text[Index]);
  }
  WriteHeaderField(WriteOffsetAddress, Offset + static_cast<UINT32>(Length));
}

}  // extern "C"

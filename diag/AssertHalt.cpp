// Assertion halt: the code on port 0x80 as a marquee that runs until reset,
// skipped when a simulator answers the query.
#include "diag/Diag.h"

namespace {
constexpr UINT16 MarkPort = 0xE0;
constexpr UINT16 DisplayPort = 0x80;
constexpr UINT16 MarkValue = 0xDEAD;
constexpr UINT64 WindowMicroseconds = 2500000;

constexpr UINT64 RotateLeft(UINT64 Value, unsigned Bits) { return (Value << Bits) | (Value >> (64 - Bits)); }
static_assert(static_cast<UINT32>(RotateLeft(MarqueeValue(0xA1130227), 8)) == 0x270000DE);
static_assert(RotateLeft(RotateLeft(0x0123456789ABCDEFULL, 8), 56) == 0x0123456789ABCDEFULL);

// Busy-waits one marquee window on the time-stamp counter.
VOID WaitWindow() {
  const UINT64 Ticks = CoreFrequencyHz() * WindowMicroseconds / 1000000;
  const UINT64 Deadline = TscRead() + Ticks;
  while (TscRead() <= Deadline) {
    SpinPause();
  }
}
}  // namespace

extern "C" VOID AssertHalt(UINT32 Code) {
  PortWrite16(MarkPort, MarkValue);
  PortWrite32(DisplayPort, Code);
  // ECX carries the assertion code into the query.
  if (SimulatorQuery(Code) != 0) {
    return;
  }

  UINT64 Ring = MarqueeValue(Code);
  for (;;) {
    for (int Window = 0; Window < 6; Window++) {
      Ring = RotateLeft(Ring, 8);
      PortWrite32(DisplayPort, static_cast<UINT32>(Ring));
      WaitWindow();
    }
    // 6 * 8 + 16 bits: the ring is back at the marquee value.
    Ring = RotateLeft(Ring, 16);
  }
}

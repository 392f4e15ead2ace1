// Core frequency from the current performance state, cached once known.
#include "diag/Diag.h"

namespace {
constexpr UINT32 CpuidExtendedSignature = 0x80000001;
constexpr UINT32 MsrPStateStatus = 0xC0010063;
constexpr UINT32 MsrPStateDef0 = 0xC0010064;

// Base family 0xF with extended family 0x0B or more.
constexpr bool IsNewerKind(UINT32 Eax) { return (Eax & 0xF00) == 0xF00 && (Eax & 0x0FF00000) >= 0x00B00000; }
static_assert(IsNewerKind(0x00B00F00) && !IsNewerKind(0x00A00F00) && !IsNewerKind(0x00B00E00));

constexpr UINT64 FrequencyHz(bool Newer, UINT64 Definition) {
  if (Newer) {
    return (Definition & 0xFFF) * 5000000ULL;
  }
  const UINT32 Divisor = static_cast<UINT32>((Definition >> 8) & 0x3F);
  const UINT32 Multiplier = static_cast<UINT32>(Definition & 0xFF);
  UINT32 Mhz;
  if (Divisor == 0) {
    Mhz = 0;
  } else if (Divisor < 8 || Divisor > 60) {
    Mhz = Multiplier * 25;
  } else {
    Mhz = (Multiplier * 200) / Divisor;
  }
  return static_cast<UINT64>(Mhz) * 1000000ULL;
}
static_assert(FrequencyHz(false, 0x0C64) == 1666000000ULL);
static_assert(FrequencyHz(false, 0x0764) == 2500000000ULL && FrequencyHz(false, 0x3D64) == 2500000000ULL);
static_assert(FrequencyHz(false, 0x0064) == 0 && FrequencyHz(true, 0x2BC) == 3500000000ULL);
}  // namespace

extern "C" {

UINT64 mCoreFrequencyHz;

UINT64 CoreFrequencyHz(VOID) {
  if (mCoreFrequencyHz != 0) {
    return mCoreFrequencyHz;
  }
  UINT32 Eax = 0;
  CpuidRead(CpuidExtendedSignature, &Eax, nullptr, nullptr, nullptr);
  const UINT32 State = static_cast<UINT32>(MsrRead(MsrPStateStatus) & 0x7);
  const UINT64 Definition = MsrRead(MsrPStateDef0 + State);
  // A zero result leaves the cache at zero, so the next call computes again.
  mCoreFrequencyHz = FrequencyHz(IsNewerKind(Eax), Definition);
  return mCoreFrequencyHz;
}

}  // extern "C"

// The debug-print protocol of the platform, as the smoke test provides it:
// each line the driver prints is formatted, echoed on the debug console and
// kept for the checks.
#include "efi/smoke/Smoke.h"

namespace {

constexpr UINTN TraceCapacity = 128;
constexpr UINTN TraceLineSize = 160;

CHAR8 mTraceLines[TraceCapacity][TraceLineSize];
UINTN mTraceCount;
UINTN mTraceDropped;

const CHAR8 *FilterTag(UINT64 Filter) {
  switch (Filter) {
    case FilterError:
      return "ERROR";
    case FilterFlow:
      return "FLOW";
    case FilterHub:
      return "HUB";
    case FilterTestPoint:
      return "TP";
    default:
      return "?";
  }
}

EFI_STATUS EFIAPI SmokeDebugPrint(IN UINT64 Filter, IN CONST CHAR8 *Format, IN VA_LIST Marker) {
  CHAR8 Line[TraceLineSize];
  UINTN Length = SmokeFormat(Line, sizeof(Line), Format, Marker);
  if (Length > 0 && Line[Length - 1] == '\n') {
    Line[--Length] = 0;
  }
  SmokeLog("  | %-5a %a\n", FilterTag(Filter), Line);
  if (mTraceCount < TraceCapacity) {
    memcpy(mTraceLines[mTraceCount++], Line, Length + 1);
  } else {
    mTraceDropped++;
  }
  return EFI_SUCCESS;
}

TEV_DEBUG_PRINT_PROTOCOL mDebugPrint = {SmokeDebugPrint};

BOOLEAN SameText(const CHAR8 *Left, const CHAR8 *Right) {
  for (; *Left != 0 && *Left == *Right; Left++, Right++) {
  }
  return *Left == *Right;
}

}  // namespace

extern "C" {

VOID SmokeInstallDebugPrint(VOID) {
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = gSmokeBootServices->InstallProtocolInterface(&Handle, &gTevDebugPrintProtocolGuid,
                                                                         EFI_NATIVE_INTERFACE, &mDebugPrint);
  SmokeCheck(Status == EFI_SUCCESS, "debug-print protocol installed (%r)", Status);
}

UINTN SmokeTraceMark(VOID) { return mTraceCount; }

BOOLEAN SmokeCheckTrace(UINTN Mark, const CHAR8 *const *Expected, UINTN Count, const CHAR8 *What) {
  BOOLEAN Same = mTraceDropped == 0 && Mark + Count == mTraceCount;
  for (UINTN Index = 0; Same && Index < Count; Index++) {
    Same = SameText(mTraceLines[Mark + Index], Expected[Index]);
  }
  if (Same) {
    return SmokeCheck(TRUE, "%a: %u trace lines as expected", What, static_cast<UINT32>(Count));
  }
  SmokeCheck(FALSE, "%a: trace lines differ (got %u, expected %u)", What, static_cast<UINT32>(mTraceCount - Mark),
             static_cast<UINT32>(Count));
  for (UINTN Index = 0; Index < Count; Index++) {
    SmokeLog("     expected: %a\n", Expected[Index]);
  }
  for (UINTN Index = Mark; Index < mTraceCount; Index++) {
    SmokeLog("     got:      %a\n", mTraceLines[Index]);
  }
  return FALSE;
}

}  // extern "C"

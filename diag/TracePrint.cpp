// Trace lines: handed unformatted to the debug-print protocol of another
// driver, which filters, formats and shows them.
#include "diag/Diag.h"

extern "C" {

TEV_DEBUG_PRINT_PROTOCOL *mDebugPrintProtocol;

EFI_STATUS EFIAPI TracePrint(IN UINT64 Filter, IN CONST CHAR8 *Format, ...) {
  if (mDebugPrintProtocol == nullptr) {
    // Locate into a local so that a failed locate leaves the cache null,
    // whatever the firmware stored on failure.
    VOID *Interface = nullptr;
    EFI_STATUS Status = mBootServices->LocateProtocol(&gTevDebugPrintProtocolGuid, nullptr, &Interface);
    if (EfiError(Status)) {
      return Status;
    }
    if (Interface == nullptr) {
      return EFI_NOT_FOUND;
    }
    mDebugPrintProtocol = static_cast<TEV_DEBUG_PRINT_PROTOCOL *>(Interface);
  }

  VA_LIST Marker;
  VA_START(Marker, Format);
  EFI_STATUS Status = mDebugPrintProtocol->Print(Filter, Format, Marker);
  VA_END(Marker);
  return Status;
}

}  // extern "C"

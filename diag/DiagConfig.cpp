// Diagnostics configuration: the 27-byte record loaded from PCD values at
// start-up, and the cached lookup of the PCD protocol.
#include "diag/Diag.h"

extern "C" {

DIAG_CONFIG DiagConfig;
PCD_PROTOCOL *mPcdProtocol;

PCD_PROTOCOL *GetPcdProtocol(VOID) {
  if (mPcdProtocol == nullptr) {
    // A failed locate leaves the pointer null; the next call tries again.
    mBootServices->LocateProtocol(&gPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&mPcdProtocol));
  }
  return mPcdProtocol;
}

VOID TevCfgPcdBufLibDxeConstructor(VOID) {
  MemZero(&DiagConfig, sizeof(DiagConfig));

  PCD_PROTOCOL *Pcd = nullptr;
  EFI_STATUS Status = mBootServices->LocateProtocol(&gPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Pcd));
  if (EfiError(Status)) {
    TracePrint(FilterError, "[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n", "TevCfgPcdBufLibDxeConstructor",
               Status);
    return;
  }

  // The PI protocol is only required to be present; it is not called here.
  EFI_PCD_PROTOCOL *PiPcd = nullptr;
  Status = mBootServices->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&PiPcd));
  if (EfiError(Status)) {
    TracePrint(FilterError, "[%a] LocateProtocol: gEfiPcdProtocolGuid, Status: %r\n", "TevCfgPcdBufLibDxeConstructor",
               Status);
    return;
  }

  DiagConfig.TestPointPortEnable = 1;
  DiagConfig.FixedByte1 = 1;
  DiagConfig.TestPointPort = 0x0080;
  DiagConfig.TestPointPortWidth = static_cast<UINT8>(AccessWidth32);
  DiagConfig.AssertEnable = 1;

  // Eleven reads in this fixed order; values are kept as returned.
  DiagConfig.TestPointMirrorEnable = GetPcdProtocol()->GetBool(PcdTestPointMirrorEnable);
  DiagConfig.ScratchMirrorEnable = GetPcdProtocol()->GetBool(PcdScratchMirrorEnable);
  DiagConfig.ScratchMirrorSelect = GetPcdProtocol()->Get8(PcdScratchMirrorSelect);
  DiagConfig.ScratchMirrorSelectAlt = GetPcdProtocol()->Get8(PcdScratchMirrorSelectAlt);
  DiagConfig.Token4A6 = GetPcdProtocol()->Get8(PcdToken4A6);
  DiagConfig.Token4A4 = GetPcdProtocol()->Get8(PcdToken4A4);
  DiagConfig.ScratchMirrorRegister = GetPcdProtocol()->Get32(PcdScratchMirrorRegister);
  DiagConfig.Token4A2 = GetPcdProtocol()->GetBool(PcdToken4A2);
  DiagConfig.Token45E = GetPcdProtocol()->Get32(PcdToken45E);
  DiagConfig.Token45D = GetPcdProtocol()->Get32(PcdToken45D);
  DiagConfig.Token4A3 = GetPcdProtocol()->Get8(PcdToken4A3);

  DiagConfig.FixedByte26 = 2;
}

}  // extern "C"

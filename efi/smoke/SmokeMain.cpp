// Smoke test of the driver inside real UEFI firmware (skeleton).
#include "firmware/Firmware.h"

extern "C" EFI_STATUS EFIAPI SmokeMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  const char *Text = "PIRN SMOKE: skeleton\n";
  for (const char *C = Text; *C != 0; C++) {
    PortWrite8(0xE9, static_cast<UINT8>(*C));
  }
  PortWrite32(0xF4, 0);
  return EFI_SUCCESS;
}

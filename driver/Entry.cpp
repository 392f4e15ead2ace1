// Image entry: the start-up constructors in their fixed order, then the
// driver entry that publishes the mailbox service and arms the PCI I/O hook.
#include "diag/Diag.h"
#include "driver/Driver.h"
#include "platform/PlatformData.h"
#include "s3save/S3Save.h"

namespace {
constexpr CHAR8 DriverEntryName[] = "TevPirnBaseDxeEntry";
}  // namespace

extern "C" {

VOID RunConstructors(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  // No step's status is examined: each runs whatever the earlier ones achieved.
  mSystemTable = SystemTable;
  mBootServices = SystemTable->BootServices;
  if (EfiError(mBootServices->LocateProtocol(&gEfiS3SaveStateProtocolGuid, nullptr,
                                             reinterpret_cast<VOID **>(&mS3SaveState)))) {
    mS3SaveState = nullptr;
  }

  TevS3SaveLibConstructor(ImageHandle, SystemTable);
  TevCfgPcdBufLibDxeConstructor();
  HobListCacheConstructor();
  TevHeapLibConstructor();
  InitOutputChannels();
}

VOID RunDestructors(VOID) { TevS3SaveLibDestructor(); }

EFI_STATUS EFIAPI TevPirnBaseDxeEntry(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;

  PostTestPoint(TpDriverEntryStart);
  TracePrint(FilterFlow, "%a\n", DriverEntryName);

  EFI_HANDLE Handle = nullptr;
  mBootServices->InstallProtocolInterface(&Handle, &gTevQeltServiceProtocolGuid, EFI_NATIVE_INTERFACE,
                                          &mQeltServiceProtocol);

  // The hook runs on the first PCI I/O installation after the registration.
  // Without an event there is nothing to register.
  EFI_EVENT Event = nullptr;
  const EFI_STATUS Status =
      mBootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, PirnBaseHookPciIO, nullptr, nullptr, &Event);
  if (!EfiError(Status) && Event != nullptr) {
    VOID *Registration = nullptr;
    mBootServices->RegisterProtocolNotify(&gEfiPciIoProtocolGuid, Event, &Registration);
  }

  TracePrint(FilterFlow, "%a\n", DriverEntryName);
  PostTestPoint(TpDriverEntryEnd);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ImageEntry(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  RunConstructors(ImageHandle, SystemTable);
  const EFI_STATUS Status = TevPirnBaseDxeEntry(ImageHandle, SystemTable);
  if (EfiError(Status)) {
    RunDestructors();
  }
  return Status;
}

}  // extern "C"

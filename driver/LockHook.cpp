// Hardware-init lock: on the first installation of a PCI I/O protocol, set
// the lock bit of the three lock registers of every hub instance, with
// writes recorded for resume.
#include "diag/Diag.h"
#include "driver/Driver.h"
#include "regaccess/RegAccess.h"

extern "C" {

VOID SetHwInitLockBit(UINT32 Bus, UINT32 Register) {
  const UINT32 IndexAddress = LockIndexAddress(Bus);
  UINT32 Value = 0;
  SysRegRead(IndexAddress, Register, &Value);
  // Written even when already set, so the resume script restores the lock.
  Value |= 1;
  SysRegWrite(IndexAddress, Register, AccessWidth32Recorded, &Value);
}

VOID PirnBaseSetHwInitLock(const TOPOLOGY_DESCRIPTOR *Descriptor) {
  TracePrint(FilterHub, "%a Enter\n", "PirnBaseSetHwInitLock");
  const UINT32 Bus = PciAddressBus(Descriptor->PciAddress);
  for (UINT32 Register : HwInitLockRegs) {
    SetHwInitLockBit(Bus, Register);
  }
  TracePrint(FilterHub, "%a Exit\n", "PirnBaseSetHwInitLock");
}

VOID EFIAPI PirnBaseHookPciIO(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  PostTestPoint(TpPciIoHookStart);
  TracePrint(FilterFlow, "%a Entry\n", "PirnBaseHookPciIO");

  TEV_TOPOLOGY_PROTOCOL *Topology = nullptr;
  EFI_STATUS Status =
      mBootServices->LocateProtocol(&gTevTopologyProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Topology));
  if (Status == EFI_SUCCESS && Topology != nullptr) {
    // A block handed out with a failure status is not trusted, and a call
    // that stores nothing leaves the pointer null.
    VOID *Block = nullptr;
    Status = Topology->GetTopologyBlock(Topology, &Block);
    if (!EfiError(Status) && Block != nullptr) {
      // The block's own prefix gives its extent, which bounds every step.
      const UINTN BlockSize = TopologyBlockSize(Block);
      for (const TOPOLOGY_DESCRIPTOR *Instance = TopologyInstanceListHead(Block, BlockSize); Instance != nullptr;
           Instance = TopologyNextInstance(Block, BlockSize, Instance)) {
        PirnBaseSetHwInitLock(Instance);
      }
    }
  }

  // Closing the event also ends the protocol-notify registration.
  mBootServices->CloseEvent(Event);
  TracePrint(FilterFlow, "%a Exit\n", "PirnBaseHookPciIO");
  PostTestPoint(TpPciIoHookEnd);
}

}  // extern "C"

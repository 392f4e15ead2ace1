// The platform-topology protocol and the PCI bus driver's installations.
#include "sim/TopologyProtocol.h"

namespace sim {

EFI_STATUS EFIAPI TopologyProtocol::Thunk(TEV_TOPOLOGY_PROTOCOL *This, VOID **Block) {
  // The instance is the first member of its holder, which names the model.
  return reinterpret_cast<Holder *>(This)->Owner->DoGetTopologyBlock(Block);
}

TopologyProtocol::TopologyProtocol() : Self{{Thunk}, this} {}

void TopologyProtocol::Install(Firmware &Fw) {
  InstalledHandle = Fw.InstallProtocol(gTevTopologyProtocolGuid, &Self.Instance);
}

EFI_STATUS TopologyProtocol::DoGetTopologyBlock(VOID **Block) {
  CallCount++;
  VOID *Found = BlockSource ? BlockSource() : nullptr;
  switch (Behaviour) {
    case Mode::Normal:
      *Block = Found;
      return EFI_SUCCESS;
    case Mode::FailNoStore:
      return FailStatus;
    case Mode::FailWithBlock:
      *Block = Found;
      return FailStatus;
    case Mode::SucceedNoStore:
      return EFI_SUCCESS;
  }
  return EFI_SUCCESS;
}

EFI_HANDLE PciBusDriver::Install(Firmware &Fw) {
  Devices.push_back(std::make_unique<Device>(Device{0x50434949 + Devices.size()}));
  return Fw.InstallProtocol(gEfiPciIoProtocolGuid, Devices.back().get());
}

}  // namespace sim

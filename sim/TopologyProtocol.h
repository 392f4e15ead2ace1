// The platform-topology protocol of another driver (TEV_TOPOLOGY_PROTOCOL)
// as this platform provides it, and the PCI bus driver's installations of
// PCI I/O protocol instances.
//
// GetTopologyBlock stores the address of the block its source hands out
// (the platform's topology block, asked anew on every call) and returns
// success. On demand it fails, with or without storing the block, or
// succeeds without storing anything.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "driver/Driver.h"
#include "sim/Firmware.h"

namespace sim {

class TopologyProtocol {
 public:
  // How the next calls of GetTopologyBlock behave.
  enum class Mode : uint8_t {
    Normal,          // stores the block, returns success
    FailNoStore,     // returns Status, stores nothing
    FailWithBlock,   // stores the block, returns Status
    SucceedNoStore,  // returns success, stores nothing
  };

  TopologyProtocol();
  TopologyProtocol(const TopologyProtocol &) = delete;
  TopologyProtocol &operator=(const TopologyProtocol &) = delete;

  // Where the block comes from; asked on every call. Without a source the
  // call stores null.
  void SetBlockSource(std::function<VOID *()> Source) { BlockSource = std::move(Source); }
  void SetMode(Mode M, EFI_STATUS Status = EFI_NOT_READY) {
    Behaviour = M;
    FailStatus = Status;
  }

  // Installs the protocol on a new handle, as the topology driver does.
  void Install(Firmware &Fw);
  bool Installed() const { return InstalledHandle != nullptr; }
  TEV_TOPOLOGY_PROTOCOL *Protocol() { return &Self.Instance; }

  // GetTopologyBlock calls so far.
  size_t Calls() const { return CallCount; }

  EFI_STATUS DoGetTopologyBlock(VOID **Block);

 private:
  // The protocol instance first, so that This leads back to the model.
  struct Holder {
    TEV_TOPOLOGY_PROTOCOL Instance;
    TopologyProtocol *Owner;
  };
  static EFI_STATUS EFIAPI Thunk(TEV_TOPOLOGY_PROTOCOL *This, VOID **Block);

  Holder Self;
  std::function<VOID *()> BlockSource;
  Mode Behaviour = Mode::Normal;
  EFI_STATUS FailStatus = EFI_NOT_READY;
  EFI_HANDLE InstalledHandle = nullptr;
  size_t CallCount = 0;
};

// The PCI bus driver: each Install puts a PCI I/O protocol instance on a new
// device handle, which signals the drivers that watch for PCI I/O.
class PciBusDriver {
 public:
  EFI_HANDLE Install(Firmware &Fw);
  size_t Count() const { return Devices.size(); }

 private:
  // Stands in for EFI_PCI_IO_PROTOCOL; the driver only watches for it.
  struct Device {
    UINT64 Tag;
  };
  std::vector<std::unique_ptr<Device>> Devices;
};

}  // namespace sim

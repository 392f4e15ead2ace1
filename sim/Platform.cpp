// The default platform.
#include "sim/Platform.h"

#include <cstdio>
#include <cstdlib>

#include "diag/Diag.h"

namespace sim {

Platform::Platform(const PlatformOptions &Options) : ramBuffer(RamBufferRegionSize), Opts(Options) {}

Platform::~Platform() {
  // Unload the images before the firmware and the machine they point into.
  Images.clear();
}

DriverImage &Platform::LoadDriver() {
  Images.push_back(std::make_unique<DriverImage>(machine, firmware.CreateHandle()));
  return *Images.back();
}

EFI_STATUS Platform::StartDriver(size_t Index) {
  const EFI_TPL Tpl = firmware.CurrentTpl();
  const EFI_STATUS Status = Image(Index).Start(firmware.SystemTable());
  if (machine.LastStop().Reason != StopReason::None) {
    firmware.ResetTpl(Tpl);
  }
  return Status;
}

bool Platform::Run(const std::function<void()> &Fn) {
  const EFI_TPL Tpl = firmware.CurrentTpl();
  const bool Finished = machine.Run(Fn);
  if (!Finished) {
    firmware.ResetTpl(Tpl);
  }
  return Finished;
}

void Platform::ClearRecords() {
  machine.ClearLog();
  machine.ClearPortWrites();
  debugPrint.Clear();
  firmware.ClearCalls();
  s3SaveState.ClearScript();
  s3SaveState.ClearCalls();
  for (const auto &H : hubs) {
    H->Qelt().ClearMessages();
  }
}

std::vector<std::string> Platform::Violations() const {
  std::vector<std::string> All;
  for (const std::string &V : firmware.Violations()) {
    All.push_back("firmware: " + V);
  }
  for (const std::string &V : pcd.Violations()) {
    All.push_back("pcd: " + V);
  }
  for (const std::string &V : s3SaveState.Violations()) {
    All.push_back("s3 save state: " + V);
  }
  for (const std::string &V : cfgWindow.Violations()) {
    All.push_back("configuration window: " + V);
  }
  for (const auto &H : hubs) {
    for (const std::string &V : H->Violations()) {
      All.push_back("hub: " + V);
    }
  }
  return All;
}

bool Platform::InstallSmmReadyToLock() {
  return Run([this] { firmware.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, nullptr); });
}

bool Platform::SignalReadyToBoot() {
  return Run([this] { firmware.SignalEventGroup(gEfiEventReadyToBootGuid); });
}

Hub &Platform::AddHub(uint8_t Bus) {
  hubs.push_back(std::make_unique<Hub>(machine, Bus));
  cfgWindow.Attach(*hubs.back());
  return *hubs.back();
}

Hub &Platform::HubOn(uint8_t Bus) {
  for (const auto &H : hubs) {
    if (H->Bus() == Bus) {
      return *H;
    }
  }
  std::fprintf(stderr, "sim::Platform: no hub on bus 0x%02X\n", Bus);
  std::abort();
}

void Platform::ResetHubs() {
  for (const auto &H : hubs) {
    H->Reset();
  }
}

bool Platform::InstallPciIo() {
  return Run([this] { pciBus.Install(firmware); });
}

void BuildDefaultPlatform(Platform &P) {
  const PlatformOptions &O = P.Options();

  // ---- Processor: identity, clock, boot processor, configuration window ----
  P.machine.SetSimulatorAnswer(O.Simulator ? 1 : 0);
  P.machine.SetCpuid(0x80000001, DefaultCpuidFamily);
  P.machine.SetMsr(0x1B, DefaultApicBase);
  P.machine.SetMsr(0xC0010058, DefaultMmioCfgBaseMsr);
  P.machine.SetMsr(0xC0010063, 0);
  P.machine.SetMsr(0xC0010064, DefaultPStateDef);

  // ---- RAM debug buffer: plain memory, unlogged, header absent by default --
  P.machine.Map(RamBufferBase, RamBufferRegionSize, P.ramBuffer, /*Logged=*/false);
  if (O.RamBufferHeader) {
    P.ramBuffer.Poke(0x0, RamBufferSignature, 4);
    P.ramBuffer.Poke(0x4, RamBufferMarker1, 4);
    P.ramBuffer.Poke(0x8, 0, 4);
    P.ramBuffer.Poke(0xC, RamBufferMarker2, 4);
  }

  // ---- PCD values -----------------------------------------------------------
  // Resume library: shared record and table (none yet), table size, and the
  // SMM communicate buffer.
  P.pcd.Set(PcdS3PrivateData, 0);
  P.pcd.Set(PcdS3Table, 0);
  P.pcd.Set(PcdS3TableSize, S3TableMinSize);
  P.pcd.Set(gTevPcdTokenSpaceGuid, PcdSmmCommBuffer, P.smm.CommBufferAddress());

  // ---- Platform pieces (hubs, HOB list, S3 Save State, SMM, ...) ------------
  if (O.S3SaveState) {
    P.s3SaveState.Install(P.firmware);
  }
  if (O.SmmCommunication) {
    P.smm.Install(P.firmware);
  }

  // HOB list: four hub instances under one root, heap HOBs A and B (runtime
  // data) to migrate and C to stay.
  P.hobs.HeapHobs = DefaultHeapHobs();
  P.hobs.Install();

  // Configuration window and one hub per instance bus; the topology driver
  // hands out the block of the HOB list's topology.
  P.cfgWindow.Install();
  for (int Bus : {0x00, 0x20, 0x40, 0x60}) {
    P.AddHub(static_cast<uint8_t>(Bus));
  }
  P.topology.SetBlockSource([&P] { return P.hobs.TopologyProtocolBlock(); });
  if (O.Topology) {
    P.topology.Install(P.firmware);
  }

  // ---- Firmware protocols of other drivers ----------------------------------
  if (O.Pcd || O.PiPcd) {
    P.pcd.Install(P.firmware, O.Pcd, O.PiPcd);
  }
  if (O.DebugPrint) {
    P.debugPrint.Install(P.firmware);
  }
  P.debugPrint.SetEcho(O.EchoTrace);

  // ---- Driver images, loaded last: nothing of theirs runs before Start ------
  for (unsigned I = 0; I < O.Images; I++) {
    P.LoadDriver();
  }
}

std::unique_ptr<Platform> MakeDefaultPlatform(const PlatformOptions &Options) {
  auto P = std::make_unique<Platform>(Options);
  BuildDefaultPlatform(*P);
  return P;
}

}  // namespace sim

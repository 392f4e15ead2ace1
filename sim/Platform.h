// The default platform: the machine, the firmware with its PCD database and
// debug-print driver, the RAM debug buffer, and the loaded driver images.
//
// MakeDefaultPlatform builds it. Platform pieces that other models add
// (hubs, HOB list, S3 Save State, SMM) get a member in the block marked
// "Platform pieces" below and their set-up in BuildDefaultPlatform.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "sim/DebugPrint.h"
#include "sim/Firmware.h"
#include "sim/Hub.h"
#include "sim/Image.h"
#include "sim/Machine.h"
#include "sim/Pcd.h"
#include "sim/PlatformHobs.h"
#include "sim/S3SaveState.h"
#include "sim/SmmComm.h"
#include "sim/TopologyProtocol.h"

namespace sim {

struct PlatformOptions {
  // Firmware pieces that exist.
  bool DebugPrint = true;  // the debug-print driver's protocol
  bool Pcd = true;         // PCD_PROTOCOL
  bool PiPcd = true;       // EFI_PCD_PROTOCOL
  // Simulator mode (the simulator query answers 1) or hardware mode (0).
  bool Simulator = true;
  // Driver images loaded (not started) by MakeDefaultPlatform.
  unsigned Images = 1;
  // Echo trace lines to stdout.
  bool EchoTrace = false;
  // Put a valid, empty header into the RAM debug buffer.
  bool RamBufferHeader = false;
  // The firmware's S3 Save State service and the SMM Communication protocol.
  bool S3SaveState = true;
  bool SmmCommunication = true;
  // The platform-topology driver's protocol.
  bool Topology = true;
};

// Default processor identity and clock.
inline constexpr uint32_t DefaultCpuidFamily = 0x00800F11;           // leaf 0x80000001 EAX: family 0x17
inline constexpr uint64_t DefaultPStateDef = 0x800000000000088CULL;  // divisor 8, multiplier 0x8C: 3500 MHz
inline constexpr uint64_t DefaultCoreHz = 3500000000ULL;
inline constexpr uint64_t DefaultApicBase = 0xFEE00900ULL;        // bit 8: boot processor
inline constexpr uint64_t DefaultMmioCfgBaseMsr = 0xE0000021ULL;  // base 0xE0000000, 256 buses, enabled

class Platform {
 public:
  explicit Platform(const PlatformOptions &Options);
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  const PlatformOptions &Options() const { return Opts; }

  // Loads one more driver image (not started); returns it.
  DriverImage &LoadDriver();
  DriverImage &Image(size_t Index = 0) { return *Images.at(Index); }
  size_t ImageCount() const { return Images.size(); }
  // Starts image Index with this platform's system table.
  EFI_STATUS StartDriver(size_t Index = 0);
  // Machine::Run, for driver code reached through the firmware (protocol
  // calls, event notifications). When the machine stops the run, the
  // firmware's TPL goes back to what it was at the start (a stop inside a
  // notification would otherwise leave it raised).
  bool Run(const std::function<void()> &Fn);

  // Model-side violations of every piece, each prefixed with its source.
  std::vector<std::string> Violations() const;

  // Forgets what the model records and that would otherwise grow with every
  // request of a long run: the access log and the values written to ports,
  // the trace lines, the boot-service call log, the resume script and call
  // log of the S3 Save State service, the hubs' message histories. None of it
  // is state the driver reads back.
  void ClearRecords();

  // Construction order is destruction order reversed: the images go first,
  // the machine last.
  Machine machine;
  Firmware firmware;
  PcdDatabase pcd;
  DebugPrint debugPrint;
  RamDevice ramBuffer;  // 16 MiB at RamBufferBase, mapped unlogged

  // ---- Platform pieces (hubs, HOB list, S3 Save State, SMM, ...) ----------
  S3SaveState s3SaveState;  // installed unless Options().S3SaveState is false
  SmmCommunication smm;     // installed unless Options().SmmCommunication is false; owns the buffer of PCD 0x27001
  // The platform's SMM ready-to-lock point: installs the DXE SMM ready-to-lock
  // protocol (null interface) under Run; false when the machine stopped it.
  bool InstallSmmReadyToLock();
  // Signals the ready-to-boot event group under Run.
  bool SignalReadyToBoot();

  // HOB list in the configuration table: the topology HOB (also the block
  // the topology protocol hands out) and the heap HOBs. Change the fields
  // and call hobs.Install() again, or hobs.Remove() it.
  PlatformHobs hobs{firmware};

  // PCI configuration window of segment 0, mapped at ConfigWindowBase, and a
  // hub per instance bus of the default topology (0x00, 0x20, 0x40, 0x60).
  ConfigWindow cfgWindow{machine};
  std::vector<std::unique_ptr<Hub>> hubs;
  // Adds a hub on Bus, attached to the window.
  Hub &AddHub(uint8_t Bus);
  // The hub on Bus; aborts when there is none.
  Hub &HubOn(uint8_t Bus);
  // Power-on reset of every hub, as on an S3 resume.
  void ResetHubs();
  // The platform-topology protocol (installed unless Options().Topology is
  // false); it hands out hobs' topology block.
  TopologyProtocol topology;
  // The PCI bus driver: InstallPciIo puts a PCI I/O protocol instance on a
  // new handle under Run, so watching drivers are notified; false when the
  // machine stopped the run.
  PciBusDriver pciBus;
  bool InstallPciIo();

  // ---- end of platform pieces ----------------------------------------------

 private:
  PlatformOptions Opts;
  std::vector<std::unique_ptr<DriverImage>> Images;
};

// Fills P with the default platform: processor identity and clock, RAM
// buffer, PCD values, the firmware's protocols, and loads the images.
void BuildDefaultPlatform(Platform &P);

std::unique_ptr<Platform> MakeDefaultPlatform(const PlatformOptions &Options = {});

}  // namespace sim

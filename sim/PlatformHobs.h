// The platform's HOB list: what the earlier boot phase hands over in the
// configuration table under the HOB-list GUID. By default it carries the
// topology HOB and the heap HOBs; tests change the fields and reinstall, or
// install a list of their own.
#pragma once

#include <memory>
#include <vector>

#include "sim/Firmware.h"
#include "sim/HeapHobBuilder.h"
#include "sim/HobBuilder.h"
#include "sim/TopologyBuilder.h"

namespace sim {

class PlatformHobs {
 public:
  explicit PlatformHobs(Firmware &Fw) : Fw(Fw) {}
  PlatformHobs(const PlatformHobs &) = delete;
  PlatformHobs &operator=(const PlatformHobs &) = delete;

  // What Install() lays out, in this order: a hand-off information HOB (a
  // HOB of another type the searches step over), the topology HOB when
  // HasTopologyHob, the heap HOBs, the end-of-list HOB.
  TopologyBlock Topology = DefaultTopology();
  bool HasTopologyHob = true;
  std::vector<HeapHob> HeapHobs;

  // Builds the list from the fields above and puts it into the configuration
  // table; also remakes the block the topology protocol hands out.
  void Install();
  // Puts List into the configuration table as it is.
  void Install(const HobList &List);
  // Takes the HOB-list entry out of the configuration table; List() is then
  // null.
  void Remove();

  // The installed list, or null.
  ExactBuffer *List() { return Installed.get(); }
  // Address of the installed HOB at Offset into the list.
  uint8_t *HobAt(size_t Offset) { return Installed->At(Offset); }
  // Offset of the topology HOB and of each heap HOB in the list Install()
  // made last.
  size_t TopologyHobOffset() const { return TopologyOffset; }
  const std::vector<size_t> &HeapHobOffsets() const { return HeapOffsets; }

  // The topology block a platform-topology protocol hands out: a copy of
  // Topology's bytes in memory of exactly its size. Ask again after every
  // Install(), which remakes it.
  VOID *TopologyProtocolBlock();

 private:
  Firmware &Fw;
  std::unique_ptr<ExactBuffer> Installed;
  std::unique_ptr<ExactBuffer> ProtocolBlock;
  // Lists and blocks replaced by a later Install() or Remove() stay alive:
  // the driver may still hold a pointer into them, as it may into firmware
  // memory.
  std::vector<std::unique_ptr<ExactBuffer>> Retired;
  size_t TopologyOffset = 0;
  std::vector<size_t> HeapOffsets;
};

}  // namespace sim

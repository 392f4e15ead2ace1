#include "sim/PlatformHobs.h"

namespace sim {

namespace {

// Body of the hand-off information HOB (PI type 0x0001, 56 bytes in all);
// its contents are not read by the driver.
constexpr uint16_t HandoffHobType = 0x0001;
constexpr size_t HandoffHobBodySize = 48;

}  // namespace

void PlatformHobs::Install() {
  HobList List;
  const std::vector<uint8_t> Handoff(HandoffHobBodySize, 0);
  List.AddHob(HandoffHobType, Handoff);
  TopologyOffset = List.NextOffset();
  if (HasTopologyHob) {
    List.AddRaw(Topology.Bytes());
  }
  HeapOffsets.clear();
  for (const HeapHob &Hob : HeapHobs) {
    HeapOffsets.push_back(List.NextOffset());
    AddHeapHob(List, Hob);
  }
  List.AddEnd();
  Install(List);
  if (ProtocolBlock) {
    Retired.push_back(std::move(ProtocolBlock));
  }
  ProtocolBlock = std::make_unique<ExactBuffer>(Topology.Bytes());
}

void PlatformHobs::Install(const HobList &List) {
  auto Fresh = std::make_unique<ExactBuffer>(List.Bytes());
  Fw.SetConfigurationTable(gEfiHobListGuid, Fresh->Data());
  if (Installed) {
    Retired.push_back(std::move(Installed));
  }
  Installed = std::move(Fresh);
}

void PlatformHobs::Remove() {
  Fw.RemoveConfigurationTable(gEfiHobListGuid);
  if (Installed) {
    Retired.push_back(std::move(Installed));
  }
}

VOID *PlatformHobs::TopologyProtocolBlock() {
  if (!ProtocolBlock) {
    ProtocolBlock = std::make_unique<ExactBuffer>(Topology.Bytes());
  }
  return ProtocolBlock->Data();
}

}  // namespace sim

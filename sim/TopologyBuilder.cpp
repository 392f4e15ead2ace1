#include "sim/TopologyBuilder.h"

#include <stdexcept>

#include "sim/HobBuilder.h"

namespace sim {

namespace {

// Fill of the bytes the driver does not examine, so a read of the wrong
// field shows up.
constexpr uint8_t UnexaminedFill = 0x5A;

size_t SubtreeCount(const TopologyNode &Node) {
  size_t Count = 1;
  for (const TopologyNode &Child : Node.Children) {
    Count += SubtreeCount(Child);
  }
  return Count;
}

uint16_t Offset16(size_t Distance) {
  if (Distance > 0xFFFF) {
    throw std::length_error("topology offset does not fit 16 bits");
  }
  return static_cast<uint16_t>(Distance);
}

}  // namespace

TopologyNode HubInstance(uint8_t InstanceId, uint32_t PciAddress) {
  return TopologyNode{TopologyFlagInstance, InstanceId, PciAddress, {}};
}

TopologyNode TopologyGroup(std::vector<TopologyNode> Children) { return TopologyNode{0, 0, 0, std::move(Children)}; }

TopologyBlock::TopologyBlock(const std::vector<TopologyNode> &Roots, size_t DescriptorSize)
    : DescriptorSize_(DescriptorSize) {
  if (DescriptorSize < sizeof(TOPOLOGY_DESCRIPTOR)) {
    throw std::invalid_argument("descriptor smaller than the fields the driver reads");
  }
  size_t Count = 0;
  for (const TopologyNode &Root : Roots) {
    Count += SubtreeCount(Root);
  }
  const size_t Size = (TopologyPrefixSize + Count * DescriptorSize + 7) & ~static_cast<size_t>(7);
  Bytes_.assign(Size, 0);
  Put16(Bytes_, OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobType), EFI_HOB_TYPE_GUID_EXTENSION);
  Put16(Bytes_, OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobLength), Offset16(Size));
  PutGuid(Bytes_, OFFSET_OF(EFI_HOB_GUID_TYPE, Name), gTevTopologyHobGuid);
  Layout(Roots, TopologyPrefixSize);
}

size_t TopologyBlock::Layout(const std::vector<TopologyNode> &List, size_t At) {
  for (size_t I = 0; I < List.size(); I++) {
    const TopologyNode &Node = List[I];
    const size_t Mine = At;
    Offsets_.push_back(Mine);
    for (size_t B = 0; B < DescriptorSize_; B++) {
      Bytes_[Mine + B] = UnexaminedFill;
    }
    const bool Last = I + 1 == List.size();
    Put32(Bytes_, Mine + OFFSET_OF(TOPOLOGY_DESCRIPTOR, Flags), Node.Flags | (Last ? TopologyFlagLast : 0));
    Bytes_[Mine + OFFSET_OF(TOPOLOGY_DESCRIPTOR, InstanceId)] = Node.InstanceId;
    Put32(Bytes_, Mine + OFFSET_OF(TOPOLOGY_DESCRIPTOR, PciAddress), Node.PciAddress);
    Put16(Bytes_, Mine + OFFSET_OF(TOPOLOGY_DESCRIPTOR, ChildOffset),
          Node.Children.empty() ? 0 : Offset16(DescriptorSize_));
    At = Layout(Node.Children, Mine + DescriptorSize_);
    Put16(Bytes_, Mine + OFFSET_OF(TOPOLOGY_DESCRIPTOR, SiblingOffset), Last ? 0 : Offset16(At - Mine));
  }
  return At;
}

TopologyBlock &TopologyBlock::SetFlags(size_t Index, uint32_t Flags) {
  Put32(Bytes_, DescriptorOffset(Index) + OFFSET_OF(TOPOLOGY_DESCRIPTOR, Flags), Flags);
  return *this;
}

TopologyBlock &TopologyBlock::SetSiblingOffset(size_t Index, uint16_t Offset) {
  Put16(Bytes_, DescriptorOffset(Index) + OFFSET_OF(TOPOLOGY_DESCRIPTOR, SiblingOffset), Offset);
  return *this;
}

TopologyBlock &TopologyBlock::SetChildOffset(size_t Index, uint16_t Offset) {
  Put16(Bytes_, DescriptorOffset(Index) + OFFSET_OF(TOPOLOGY_DESCRIPTOR, ChildOffset), Offset);
  return *this;
}

TopologyBlock &TopologyBlock::SetInstanceId(size_t Index, uint8_t InstanceId) {
  Bytes_.at(DescriptorOffset(Index) + OFFSET_OF(TOPOLOGY_DESCRIPTOR, InstanceId)) = InstanceId;
  return *this;
}

TopologyBlock &TopologyBlock::SetLength(uint16_t Length) {
  Put16(Bytes_, OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobLength), Length);
  return *this;
}

TopologyBlock &TopologyBlock::Truncate(size_t Size) {
  if (Size < Bytes_.size()) {
    Bytes_.resize(Size);
  }
  return *this;
}

TopologyBlock DefaultTopology() {
  return TopologyBlock({TopologyGroup({
      HubInstance(0, PciAddress(0, 0x00, 0, 0, 0)),
      HubInstance(1, PciAddress(0, 0x20, 0, 0, 0)),
      HubInstance(2, PciAddress(0, 0x40, 0, 0, 0)),
      HubInstance(3, PciAddress(0, 0x60, 0, 0, 0)),
  })});
}

}  // namespace sim
